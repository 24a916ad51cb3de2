# Fixtures of the driver, plug-in and home-page helper tests (tests/fixtures/drivers),
# placed in testdata/drivers:
#   fake_driver.sys        a kernel driver that records its load, I/O controls and unload
#   service_program.exe    an own-process service that records the controls it receives
#   recorder-signed.exe    the stand-in launcher and helper, signed with the trusted test certificate
#   recorder-unsigned.exe  the same, as linked
#   recorder-tampered.exe  the signed one with one byte of the signed content flipped

set(_driver_src ${CMAKE_SOURCE_DIR}/tests/fixtures/drivers)
set(_driver_data ${CMAKE_BINARY_DIR}/testdata/drivers)

# The driver links against the kernel only; MinGW-w64 ships the kernel headers under ddk/.
find_path(LUMORA_DDK_INCLUDE_DIR ntddk.h PATH_SUFFIXES ddk REQUIRED)
add_library(fake_driver SHARED ${_driver_src}/fake_driver.c)
target_include_directories(fake_driver PRIVATE ${LUMORA_DDK_INCLUDE_DIR})
target_link_options(fake_driver PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,-e,_DriverEntry@8)
target_link_libraries(fake_driver PRIVATE ntoskrnl)
set_target_properties(fake_driver PROPERTIES PREFIX "" SUFFIX ".sys" RUNTIME_OUTPUT_DIRECTORY ${_driver_data})

add_executable(service_program WIN32 ${_driver_src}/service_program.c)
target_link_libraries(service_program PRIVATE advapi32 shell32)
set_target_properties(service_program PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${_driver_data})

add_executable(driver_recorder WIN32 ${_driver_src}/recorder_program.c)
set_target_properties(driver_recorder PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${_driver_data}/linked)

set(_recorder $<TARGET_FILE:driver_recorder>)
_lumora_sign_command(_sign_recorder trusted ${_recorder} ${_driver_data}/recorder-signed.exe)
add_custom_command(
  OUTPUT ${_driver_data}/recorder-signed.exe ${_driver_data}/recorder-unsigned.exe ${_driver_data}/recorder-tampered.exe
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_driver_data}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${_driver_data}/recorder-signed.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${_recorder} ${_driver_data}/recorder-unsigned.exe
  COMMAND ${_sign_recorder}
  COMMAND ${CMAKE_COMMAND} -E copy ${_driver_data}/recorder-signed.exe ${_driver_data}/recorder-tampered.exe
  # Offset 78 lies in the DOS stub's message: covered by the digest, never read by the loader.
  COMMAND ${LUMORA_BASH} ${CMAKE_SOURCE_DIR}/tools/flip-byte.sh ${_driver_data}/recorder-tampered.exe 78
  DEPENDS driver_recorder ${_lumora_pki_outputs} ${CMAKE_SOURCE_DIR}/tools/flip-byte.sh
  COMMENT "Creating the signed, unsigned and tampered recorder programs"
  VERBATIM)
add_custom_target(driver_fixtures
  DEPENDS ${_driver_data}/recorder-signed.exe ${_driver_data}/recorder-unsigned.exe
          ${_driver_data}/recorder-tampered.exe fake_driver service_program)
if(TARGET driver_tests)
  add_dependencies(driver_tests driver_fixtures)
endif()
