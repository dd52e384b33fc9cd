# The Windows executables: the host on hidapi's Windows backend, the same host
# on virtual devices, and the player of a virtual device. Included by the
# top-level CMakeLists.txt when cross-building (cmake/mingw-w64.cmake).

# Settings of the Linux build that dev.sh gives every build, which mean
# nothing here.
set(unused ${BUILD_TESTING} ${BRIDGE_HOST_INSTALL_DIR})

# hidapi's Windows backend is not packaged for mingw: its source comes from
# Debian's hidapi source package, of the version the Linux build links.
set(HIDAPI_SOURCE_DIR "" CACHE PATH "Debian's hidapi source package, unpacked (./dev.sh windows fetches it)")
if(NOT EXISTS "${HIDAPI_SOURCE_DIR}/windows/hid.c")
  message(FATAL_ERROR "HIDAPI_SOURCE_DIR must name the unpacked hidapi source package (./dev.sh windows)")
endif()

# nlohmann JSON is header-only: its own folder of the build machine's headers,
# not the folder with the C library's headers beside it.
find_path(NLOHMANN_JSON_INCLUDE_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH
  REQUIRED)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/json-include)
file(CREATE_LINK ${NLOHMANN_JSON_INCLUDE_DIR}/nlohmann ${PROJECT_BINARY_DIR}/json-include/nlohmann SYMBOLIC)
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${PROJECT_BINARY_DIR}/json-include)

# The C and C++ runtimes linked in: the executables need no DLL beside them.
add_link_options(-static)
add_compile_definitions(NOMINMAX)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})

add_library(bridge_host_code OBJECT ${BRIDGE_HOST_SOURCES} plugin/platform_windows.cpp plugin/device_windows.cpp)
target_include_directories(bridge_host_code PUBLIC plugin ${HIDAPI_SOURCE_DIR}/hidapi)
target_link_libraries(bridge_host_code PUBLIC nlohmann_json)

# The export table: the names of plugin/exports.list, ordinals 1 to N in
# alphabetical order.
file(STRINGS plugin/exports.list BRIDGE_EXPORT_NAMES REGEX "^ *hid_[a-z_]+;")
list(TRANSFORM BRIDGE_EXPORT_NAMES REPLACE "^ *(hid_[a-z_]+);.*" "\\1")
list(SORT BRIDGE_EXPORT_NAMES)
set(BRIDGE_EXPORTS_DEF "EXPORTS\n")
set(ordinal 0)
foreach(name IN LISTS BRIDGE_EXPORT_NAMES)
  math(EXPR ordinal "${ordinal} + 1")
  string(APPEND BRIDGE_EXPORTS_DEF "  ${name} @${ordinal}\n")
endforeach()
file(CONFIGURE OUTPUT exports.def CONTENT "${BRIDGE_EXPORTS_DEF}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS plugin/exports.list)

function(add_bridge_host name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE bridge_host_code)
  target_link_options(${name} PRIVATE ${PROJECT_BINARY_DIR}/exports.def)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${PROJECT_BINARY_DIR}/exports.def)
endfunction()

# hidapi's backend is compiled in one unit with the host's reading of its
# device record, the one place that sees its struct hid_device_.
add_bridge_host(bridge-host plugin/device_record_hidapi_windows.c)
target_include_directories(bridge-host PRIVATE ${HIDAPI_SOURCE_DIR}/windows)
# GCC 12 finds an access out of bounds in hidapi's register_string_error on
# the path of a null device, which hidapi never takes with one.
set_source_files_properties(plugin/device_record_hidapi_windows.c PROPERTIES COMPILE_OPTIONS -Wno-array-bounds)

# Virtual devices, played by bridge-sim-player.exe over named pipes.
add_library(hidsim_directory STATIC tools/hidsim/directory.cpp)
target_include_directories(hidsim_directory PUBLIC tools/hidsim)
add_library(hidsim STATIC tools/hidsim/hidapi_sim.cpp tools/hidsim/sim_connection_windows.cpp)
target_include_directories(hidsim PUBLIC ${HIDAPI_SOURCE_DIR}/hidapi)
target_link_libraries(hidsim PRIVATE hidsim_directory nlohmann_json)
add_bridge_host(bridge-host-sim plugin/device_record_sim_windows.cpp)
target_link_libraries(bridge-host-sim PRIVATE hidsim)
target_include_directories(bridge-host-sim PRIVATE tools/hidsim)
add_executable(bridge-sim-player tools/hidsim/sim_player_windows.cpp)
target_include_directories(bridge-sim-player PRIVATE tools/hidsim ${HIDAPI_SOURCE_DIR}/hidapi)

# For the tests under Wine: what Wine's cfgmgr32.dll lacks (tests/wine/).
add_library(wine-cfgmgr32 SHARED tests/wine/cfgmgr32.c tests/wine/cfgmgr32.def)
set_target_properties(wine-cfgmgr32 PROPERTIES OUTPUT_NAME cfgmgr32 PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/wine)
target_link_libraries(wine-cfgmgr32 PRIVATE setupapi)
add_executable(wine-cfgmgr32-test tests/wine/cfgmgr32_test.c)
set_target_properties(wine-cfgmgr32-test PROPERTIES OUTPUT_NAME cfgmgr32-test RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/wine)
target_link_libraries(wine-cfgmgr32-test PRIVATE cfgmgr32)

# bridge-host-setup.exe: the shared parts of tools/setup with the Windows
# ones, which register the manifests in the registry.
add_executable(bridge-host-setup tools/setup/setup.cpp tools/setup/options.cpp tools/setup/install.cpp
  tools/setup/check.cpp tools/setup/policy.cpp tools/setup/manifest.cpp tools/setup/files.cpp
  tools/setup/browsers_windows.cpp tools/setup/machine_windows.cpp tools/setup/host_windows.cpp)
target_compile_definitions(bridge-host-setup PRIVATE BRIDGE_HOST_FROM_SETUP=".")
target_include_directories(bridge-host-setup PRIVATE tools)
target_link_libraries(bridge-host-setup PRIVATE hidsim_directory nlohmann_json shell32 ole32)

# Signing, with a code-signing certificate given: the programs once linked,
# before the installers take them in, and the installers once made.
set(BRIDGE_SIGN_PKCS12 "" CACHE FILEPATH
    "A PKCS#12 file whose certificate signs the Windows programs and installers, its password in \
$BRIDGE_SIGN_PASSWORD when building; empty: nothing is signed")
set(BRIDGE_SIGN_TIMESTAMP "" CACHE STRING "An RFC 3161 timestamp server's URL for the signatures; empty: none")
set(BRIDGE_UNSIGNED "")
if(BRIDGE_SIGN_PKCS12)
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  message(STATUS "Signing the Windows programs and installers with ${BRIDGE_SIGN_PKCS12}")
else()
  set(BRIDGE_UNSIGNED " (not signed: no -DBRIDGE_SIGN_PKCS12 given)")
  message(STATUS "Not signing the Windows programs and installers: no -DBRIDGE_SIGN_PKCS12 given")
endif()

# bridge_sign_command(VARIABLE FILE): the command that signs FILE, for the
# custom command that makes it; none without a certificate.
function(bridge_sign_command variable file)
  set(command)
  if(BRIDGE_SIGN_PKCS12)
    set(command COMMAND ${CMAKE_COMMAND} -DFILE=${file} -DOSSLSIGNCODE=${OSSLSIGNCODE} -DPKCS12=${BRIDGE_SIGN_PKCS12}
        -DTIMESTAMP=${BRIDGE_SIGN_TIMESTAMP} -P ${PROJECT_SOURCE_DIR}/packaging/windows/sign.cmake)
  endif()
  set(${variable} ${command} PARENT_SCOPE)
endfunction()

# The programs are signed once linked; they are linked anew when the signing
# changes, so that none is left signed or unsigned as it was before.
file(CONFIGURE OUTPUT signing.options CONTENT "${BRIDGE_SIGN_PKCS12} ${BRIDGE_SIGN_TIMESTAMP}\n")
foreach(program bridge-host bridge-host-setup)
  set_property(TARGET ${program} APPEND PROPERTY LINK_DEPENDS ${PROJECT_BINARY_DIR}/signing.options)
  bridge_sign_command(sign $<TARGET_FILE:${program}>)
  if(sign)
    add_custom_command(TARGET ${program} POST_BUILD ${sign} VERBATIM)
  endif()
endforeach()

# The per-user installer, bridge-host-VERSION-setup.exe, made with Debian's nsis.
find_program(MAKENSIS makensis)
if(MAKENSIS)
  set(BRIDGE_INSTALLER ${PROJECT_BINARY_DIR}/bridge-host-${PROJECT_VERSION}-setup.exe)
  set(BRIDGE_INSTALLER_SCRIPT ${PROJECT_SOURCE_DIR}/packaging/windows/installer.nsi)
  bridge_sign_command(sign ${BRIDGE_INSTALLER})
  add_custom_command(OUTPUT ${BRIDGE_INSTALLER}
    COMMAND ${MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DBUILD_DIR=${PROJECT_BINARY_DIR}
            -DOUTFILE=${BRIDGE_INSTALLER} ${BRIDGE_INSTALLER_SCRIPT}
    ${sign}
    DEPENDS ${BRIDGE_INSTALLER_SCRIPT} bridge-host bridge-host-setup
    COMMENT "Making the installer ${BRIDGE_INSTALLER}${BRIDGE_UNSIGNED}")
  add_custom_target(installer ALL DEPENDS ${BRIDGE_INSTALLER})
else()
  message(WARNING "makensis (Debian's nsis package) not found: no installer")
endif()

# The per-machine MSI, bridge-host-VERSION-x64.msi, made with Debian's wixl
# for the extensions given, whose manifests it carries.
if(BRIDGE_EXTENSIONS)
  find_program(WIXL wixl)
  if(WIXL)
    set(BRIDGE_MSI ${PROJECT_BINARY_DIR}/bridge-host-${PROJECT_VERSION}-x64.msi)
    list(JOIN BRIDGE_EXTENSIONS "," extensions)
    # A make build reruns a command whose options changed only through a file it depends on.
    file(CONFIGURE OUTPUT msi.options CONTENT "${BRIDGE_HOST_NAME} ${extensions}\n")
    bridge_sign_command(sign ${BRIDGE_MSI})
    add_custom_command(OUTPUT ${BRIDGE_MSI}
      COMMAND ${CMAKE_COMMAND} -DWIXL=${WIXL} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DOUTPUT=${BRIDGE_MSI}
              -DVERSION=${PROJECT_VERSION} -DHOST_NAME=${BRIDGE_HOST_NAME} -DEXTENSIONS=${extensions}
              -P ${PROJECT_SOURCE_DIR}/packaging/windows/msi.cmake
      ${sign}
      DEPENDS ${PROJECT_SOURCE_DIR}/packaging/windows/msi.cmake ${PROJECT_SOURCE_DIR}/packaging/windows/bridge-host.wxs
              ${PROJECT_BINARY_DIR}/msi.options bridge-host bridge-host-setup
      COMMENT "Making the MSI ${BRIDGE_MSI}${BRIDGE_UNSIGNED}"
      VERBATIM)
    add_custom_target(msi ALL DEPENDS ${BRIDGE_MSI})
  else()
    message(WARNING "wixl (Debian's wixl package) not found: no MSI")
  endif()
else()
  message(STATUS "No MSI: it carries the manifests of given extensions (-DBRIDGE_EXTENSIONS=ID;ID)")
endif()
