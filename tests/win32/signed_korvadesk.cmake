# A signed copy of Korvadesk.exe for the Windows Authenticode suite: a self-signed test
# signer made once at configure time with openssl (RSA: wine checks no ECDSA certificate
# signatures), applied at build time with osslsigncode.
# Without either tool the suite skips its signed case.
find_program(VOVU_OPENSSL openssl)
find_program(VOVU_OSSLSIGNCODE osslsigncode)
if(NOT VOVU_OPENSSL OR NOT VOVU_OSSLSIGNCODE)
  return()
endif()

set(signer_dir ${CMAKE_CURRENT_BINARY_DIR}/test-signer)
if(NOT EXISTS ${signer_dir}/signer.pem)
  file(MAKE_DIRECTORY ${signer_dir})
  execute_process(
    COMMAND ${VOVU_OPENSSL} req -x509 -newkey rsa:2048 -nodes
            -days 3650 -subj "/CN=Korva Test Signer" -addext extendedKeyUsage=codeSigning
            -keyout ${signer_dir}/signer.key -out ${signer_dir}/signer.pem
    RESULT_VARIABLE signer_result OUTPUT_QUIET ERROR_QUIET)
  if(NOT signer_result EQUAL 0)
    file(REMOVE ${signer_dir}/signer.pem)
    return()
  endif()
endif()
execute_process(
  COMMAND ${VOVU_OPENSSL} x509 -noout -fingerprint -sha1 -in ${signer_dir}/signer.pem
  OUTPUT_VARIABLE signer_fingerprint RESULT_VARIABLE fingerprint_result ERROR_QUIET)
if(NOT fingerprint_result EQUAL 0)
  return()
endif()
# "SHA1 Fingerprint=AB:CD:..." -> "abcd...".
string(REGEX REPLACE "^.*=" "" signer_fingerprint "${signer_fingerprint}")
string(REPLACE ":" "" signer_fingerprint "${signer_fingerprint}")
string(STRIP "${signer_fingerprint}" signer_fingerprint)
string(TOLOWER "${signer_fingerprint}" signer_fingerprint)

set(signed_korvadesk ${CMAKE_CURRENT_BINARY_DIR}/Korvadesk-signed.exe)
add_custom_command(OUTPUT ${signed_korvadesk}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${signed_korvadesk}
  COMMAND ${VOVU_OSSLSIGNCODE} sign -certs ${signer_dir}/signer.pem -key ${signer_dir}/signer.key
          -in $<TARGET_FILE:Korvadesk> -out ${signed_korvadesk}
  DEPENDS Korvadesk ${signer_dir}/signer.pem
  VERBATIM)
add_custom_target(vovu_tests_signed_korvadesk DEPENDS ${signed_korvadesk})
add_dependencies(vovu_tests vovu_tests_signed_korvadesk)
target_compile_definitions(vovu_tests PRIVATE
  VOVU_SIGNED_KORVADESK_THUMBPRINT="${signer_fingerprint}")
