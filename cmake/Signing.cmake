# Test signing. Every build signs its programs with a throw-away certificate
# whose subject is one of the trusted publishers, so the uninstaller's signature
# checks meet the same kind of file as in a release. The test root is never
# installed anywhere, so Windows reports such signatures as CERT_E_UNTRUSTEDROOT.
#
# Release builds are NOT signed here: the maker signs the shipped programs with
# its real code-signing certificate as a separate, external step.
#
# Tools: openssl (certificates, tools/make-test-certs.sh) and osslsigncode.

find_program(LUMORA_OPENSSL openssl REQUIRED)
find_program(LUMORA_OSSLSIGNCODE osslsigncode REQUIRED)
find_program(LUMORA_BASH bash REQUIRED)

set(LUMORA_TEST_PKI_DIR ${CMAKE_BINARY_DIR}/testpki)
set(LUMORA_SIGNING_TESTDATA_DIR ${CMAKE_BINARY_DIR}/testdata/signing)

set(_lumora_pki_outputs)
foreach(_cert trusted wrong-signer expired)
  list(APPEND _lumora_pki_outputs ${LUMORA_TEST_PKI_DIR}/${_cert}-chain.pem ${LUMORA_TEST_PKI_DIR}/${_cert}.key)
endforeach()
# Made once per build folder and then kept (delete testpki/ to make a new set).
add_custom_command(
  OUTPUT ${_lumora_pki_outputs}
  COMMAND ${LUMORA_BASH} ${CMAKE_SOURCE_DIR}/tools/make-test-certs.sh ${LUMORA_TEST_PKI_DIR}
  COMMENT "Creating the test-signing certificates"
  VERBATIM)
add_custom_target(lumora_test_pki DEPENDS ${_lumora_pki_outputs})

# The osslsigncode command that signs IN as OUT with certificate CERT of the test PKI.
function(_lumora_sign_command out_var cert in out)
  set(${out_var}
    ${LUMORA_OSSLSIGNCODE} sign -h sha256 -n Lumora
      -certs ${LUMORA_TEST_PKI_DIR}/${cert}-chain.pem -key ${LUMORA_TEST_PKI_DIR}/${cert}.key
      -in ${in} -out ${out}
    PARENT_SCOPE)
endfunction()

# Test-signs a program target's output after every link.
function(lumora_sign target)
  add_dependencies(${target} lumora_test_pki)
  set(_file $<TARGET_FILE:${target}>)
  _lumora_sign_command(_sign trusted ${_file} ${_file}.signed)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E rm -f ${_file}.signed
    COMMAND ${_sign}
    COMMAND ${CMAKE_COMMAND} -E rename ${_file}.signed ${_file}
    COMMENT "Test-signing ${target}"
    VERBATIM)
endfunction()

# Test subjects for the signature and version checks, in testdata/signing:
#   unsigned.exe      the version fixture as linked
#   signed.exe        signed with the trusted test certificate
#   tampered.exe      signed.exe with one byte of the signed content flipped
#   wrong-signer.exe  signed with a certificate not on the publisher list
#   expired.exe       signed with an expired certificate of a trusted name
#   version-blank.exe, version-large.exe  version resource variants (unsigned)
function(_lumora_version_fixture target)
  add_executable(${target} ${CMAKE_SOURCE_DIR}/tests/fixtures/version_fixture.c
                           ${CMAKE_SOURCE_DIR}/tests/fixtures/version_fixture.rc)
  target_compile_definitions(${target} PRIVATE ${ARGN})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LUMORA_SIGNING_TESTDATA_DIR}/programs)
endfunction()

_lumora_version_fixture(version_fixture)
_lumora_version_fixture(version_fixture_blank EMPTY_STRING_VERSION)
_lumora_version_fixture(version_fixture_large LARGE_VERSION_RESOURCE)

set(_data ${LUMORA_SIGNING_TESTDATA_DIR})
set(_fixture $<TARGET_FILE:version_fixture>)
_lumora_sign_command(_sign_trusted trusted ${_fixture} ${_data}/signed.exe)
_lumora_sign_command(_sign_wrong wrong-signer ${_fixture} ${_data}/wrong-signer.exe)
_lumora_sign_command(_sign_expired expired ${_fixture} ${_data}/expired.exe)
add_custom_command(
  OUTPUT ${_data}/unsigned.exe ${_data}/signed.exe ${_data}/tampered.exe ${_data}/wrong-signer.exe
         ${_data}/expired.exe ${_data}/version-blank.exe ${_data}/version-large.exe
  COMMAND ${CMAKE_COMMAND} -E rm -f ${_data}/signed.exe ${_data}/wrong-signer.exe ${_data}/expired.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${_fixture} ${_data}/unsigned.exe
  COMMAND ${_sign_trusted}
  COMMAND ${_sign_wrong}
  COMMAND ${_sign_expired}
  COMMAND ${CMAKE_COMMAND} -E copy ${_data}/signed.exe ${_data}/tampered.exe
  # Offset 78 is in the DOS stub's message: covered by the signature's digest,
  # never read by the loader, so the damaged copy still loads and parses.
  COMMAND ${LUMORA_BASH} ${CMAKE_SOURCE_DIR}/tools/flip-byte.sh ${_data}/tampered.exe 78
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:version_fixture_blank> ${_data}/version-blank.exe
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:version_fixture_large> ${_data}/version-large.exe
  DEPENDS version_fixture version_fixture_blank version_fixture_large ${_lumora_pki_outputs}
          ${CMAKE_SOURCE_DIR}/tools/flip-byte.sh
  COMMENT "Creating the signed, unsigned, tampered, wrong-signer and expired test programs"
  VERBATIM)
add_custom_target(lumora_signing_testdata ALL
  DEPENDS ${_data}/unsigned.exe ${_data}/signed.exe ${_data}/tampered.exe ${_data}/wrong-signer.exe
          ${_data}/expired.exe ${_data}/version-blank.exe ${_data}/version-large.exe)

# The system-check tests read these files and the signed Uninstall.exe: build
# them first, once the tests directory has defined its programs.
function(_lumora_signing_testdata_dependency)
  if(TARGET sysinfo_tests)
    add_dependencies(sysinfo_tests lumora_signing_testdata Uninstall)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _lumora_signing_testdata_dependency)
