# Makes the MSI of bridge-host.wxs for given extensions: the manifests, one
# for the Chromium-based browsers and one for Firefox as there are IDs of
# their kind, then the package. Run as
#   cmake -DWIXL=wixl -DBUILD_DIR=DIR -DOUTPUT=FILE.msi -DVERSION=1.0.0
#         -DHOST_NAME=NAME -DEXTENSIONS=ID,ID -P msi.cmake
# by the Windows build (cmake/windows.cmake) and by its test; BUILD_DIR holds
# bridge-host.exe and bridge-host-setup.exe.
foreach(variable WIXL BUILD_DIR OUTPUT VERSION HOST_NAME EXTENSIONS)
  if("${${variable}}" STREQUAL "")
    message(FATAL_ERROR "msi.cmake needs -D${variable}=")
  endif()
endforeach()

# The same rules as bridge-host-setup's for names and IDs.
if(NOT HOST_NAME MATCHES "^[a-z0-9_]+(\\.[a-z0-9_]+)*$")
  message(FATAL_ERROR "host name \"${HOST_NAME}\" must be lower-case letters, digits and underscores, "
                      "in pieces joined by single dots")
endif()
set(chromium_origins)
set(firefox_ids)
# CMake's regular expressions know no counts: the lengths are spelt out.
string(REPEAT "[a-p]" 32 chromium_id)
string(REPEAT "[0-9A-Fa-f]" 4 hex4)
set(guid "[{]${hex4}${hex4}-${hex4}-${hex4}-${hex4}-${hex4}${hex4}${hex4}[}]")
string(REPLACE "," ";" extensions "${EXTENSIONS}")
foreach(id IN LISTS extensions)
  string(STRIP "${id}" id)
  if(id MATCHES "^(chrome-extension://(${chromium_id})/?|(${chromium_id}))$")
    list(APPEND chromium_origins "\"chrome-extension://${CMAKE_MATCH_2}${CMAKE_MATCH_3}/\"")
  elseif(id MATCHES "^[A-Za-z0-9._-]*@[A-Za-z0-9._-]+$" OR id MATCHES "^${guid}$")
    list(APPEND firefox_ids "\"${id}\"")
  else()
    message(FATAL_ERROR "\"${id}\" is neither a Chromium extension ID (32 letters a-p) "
                        "nor a Firefox add-on ID (name@domain or {GUID})")
  endif()
endforeach()

# The package's files in a folder of their own, where wixl looks for them:
# the programs, and the manifests as bridge-host-setup writes them, but for
# the host beside them (browsers on Windows read a relative path as relative
# to the manifest), so that they hold wherever the package is installed.
set(files ${OUTPUT}.files)
file(REMOVE_RECURSE ${files})
file(COPY ${BUILD_DIR}/bridge-host.exe ${BUILD_DIR}/bridge-host-setup.exe DESTINATION ${files})
function(write_manifest family key ids)
  list(JOIN ids ",\n    " allowed)
  file(WRITE ${files}/${HOST_NAME}.${family}-family.json "{
  \"${key}\": [
    ${allowed}
  ],
  \"description\": \"Lets the browser extension reach its USB HID device\",
  \"name\": \"${HOST_NAME}\",
  \"path\": \"bridge-host.exe\",
  \"type\": \"stdio\"
}
")
endfunction()
set(chromium no)
set(firefox no)
if(chromium_origins)
  write_manifest(chromium allowed_origins "${chromium_origins}")
  set(chromium yes)
endif()
if(firefox_ids)
  write_manifest(firefox allowed_extensions "${firefox_ids}")
  set(firefox yes)
endif()

# The next version up, below which installed versions are replaced.
string(REGEX MATCH "^([0-9]+\\.[0-9]+\\.)([0-9]+)$" numbers "${VERSION}")
if(NOT numbers)
  message(FATAL_ERROR "version \"${VERSION}\" is not MAJOR.MINOR.PATCH")
endif()
math(EXPR next_patch "${CMAKE_MATCH_2} + 1")

get_filename_component(here ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
execute_process(
  COMMAND ${WIXL} --arch x64 -D Version=${VERSION} -D UpgradeBelow=${CMAKE_MATCH_1}${next_patch}
          -D HostName=${HOST_NAME} -D Chromium=${chromium} -D Firefox=${firefox} -o ${OUTPUT} ${here}/bridge-host.wxs
  WORKING_DIRECTORY ${files}
  RESULT_VARIABLE status)
file(REMOVE_RECURSE ${files})
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "wixl could not make ${OUTPUT}")
endif()
