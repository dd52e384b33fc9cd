# Signs a Windows program, installer or MSI in place with Debian's
# osslsigncode (Authenticode, SHA-256), with the certificate and key of a
# PKCS#12 file whose password is in $BRIDGE_SIGN_PASSWORD (none when unset),
# and a timestamp from an RFC 3161 server if one is named. Run as
#   cmake -DOSSLSIGNCODE=osslsigncode -DPKCS12=FILE.p12 [-DTIMESTAMP=URL]
#         -DFILE=FILE -P sign.cmake
# by the Windows build (cmake/windows.cmake) and by its test.
foreach(variable OSSLSIGNCODE PKCS12 FILE)
  if("${${variable}}" STREQUAL "")
    message(FATAL_ERROR "sign.cmake needs -D${variable}=")
  endif()
endforeach()

# The password goes to osslsigncode in a file only this user can read, not
# on its command line, which every user of the machine can see.
set(password_file ${FILE}.password)
file(REMOVE ${password_file})
file(TOUCH ${password_file})
file(CHMOD ${password_file} PERMISSIONS OWNER_READ OWNER_WRITE)
file(APPEND ${password_file} "$ENV{BRIDGE_SIGN_PASSWORD}")

set(timestamp)
if(TIMESTAMP)
  set(timestamp -ts ${TIMESTAMP})
endif()
file(REMOVE ${FILE}.signed)
execute_process(
  COMMAND ${OSSLSIGNCODE} sign -pkcs12 ${PKCS12} -readpass ${password_file} -h sha256 -n "bridge host"
          ${timestamp} -in ${FILE} -out ${FILE}.signed
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(REMOVE ${password_file})
if(NOT status EQUAL 0)
  file(REMOVE ${FILE}.signed)
  message(FATAL_ERROR "osslsigncode could not sign ${FILE}:\n${output}")
endif()
file(RENAME ${FILE}.signed ${FILE})
