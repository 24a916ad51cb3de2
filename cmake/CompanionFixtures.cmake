# Companion programs and libraries for the companion-call tests, each recording
# how it was called (tests/fixtures/companions). Three variants of each file:
#   testdata/companions/unsigned/  as linked
#   testdata/companions/signed/    signed with the trusted test certificate
#   testdata/companions/second/    signed with a second trusted publisher's certificate

set(_companion_src ${CMAKE_SOURCE_DIR}/tests/fixtures/companions)
set(_companion_data ${CMAKE_BINARY_DIR}/testdata/companions)

# The second publisher's certificate: the script only adds what a folder lacks.
set(_second_pki ${LUMORA_TEST_PKI_DIR}/second-chain.pem ${LUMORA_TEST_PKI_DIR}/second.key)
add_custom_command(
  OUTPUT ${_second_pki}
  COMMAND ${LUMORA_BASH} ${CMAKE_SOURCE_DIR}/tools/make-test-certs.sh ${LUMORA_TEST_PKI_DIR}
  DEPENDS ${_lumora_pki_outputs}
  COMMENT "Creating the second publisher's test certificate"
  VERBATIM)

function(_companion_library target source def)
  add_library(${target} SHARED ${_companion_src}/${source} ${_companion_src}/${def})
  set_target_properties(${target} PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${_companion_data}/linked)
endfunction()
function(_companion_program target)
  add_executable(${target} WIN32 ${_companion_src}/companion_program.c)
  target_compile_definitions(${target} PRIVATE ${ARGN})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${_companion_data}/linked)
endfunction()

_companion_library(companion_simple simple_library.c simple_library.def)
_companion_library(companion_interface interface_library.c interface_library.def)
_companion_library(companion_gamecenter gamecenter_library.c gamecenter_library.def)
_companion_program(companion_program)
_companion_program(companion_rundll RECORD_KIND=L"rundll")

set(_companion_outputs)
set(_companion_commands)
foreach(_target companion_simple companion_interface companion_gamecenter companion_program companion_rundll)
  set(_file $<TARGET_FILE:${_target}>)
  set(_name $<TARGET_FILE_NAME:${_target}>)
  if(_target MATCHES "program|rundll")
    set(_plain ${_target}.exe)
  else()
    set(_plain ${_target}.dll)
  endif()
  list(APPEND _companion_outputs ${_companion_data}/unsigned/${_plain} ${_companion_data}/signed/${_plain}
                                 ${_companion_data}/second/${_plain})
  _lumora_sign_command(_sign_trusted trusted ${_file} ${_companion_data}/signed/${_name})
  _lumora_sign_command(_sign_second second ${_file} ${_companion_data}/second/${_name})
  list(APPEND _companion_commands
    COMMAND ${CMAKE_COMMAND} -E rm -f ${_companion_data}/signed/${_name} ${_companion_data}/second/${_name}
    COMMAND ${CMAKE_COMMAND} -E copy ${_file} ${_companion_data}/unsigned/${_name}
    COMMAND ${_sign_trusted}
    COMMAND ${_sign_second})
endforeach()

add_custom_command(
  OUTPUT ${_companion_outputs}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_companion_data}/unsigned ${_companion_data}/signed
          ${_companion_data}/second
  ${_companion_commands}
  DEPENDS companion_simple companion_interface companion_gamecenter companion_program companion_rundll
          ${_lumora_pki_outputs} ${_second_pki}
  COMMENT "Creating the signed and unsigned companion fixtures"
  VERBATIM)
add_custom_target(companion_fixtures DEPENDS ${_companion_outputs})
