# What `cmake --install` lays out under the prefix, and the Debian and RPM
# packages that `cpack -G DEB` and `cpack -G RPM` make of it.
include(GNUInstallDirs)

set(BRIDGE_UDEV_RULE_FILE 70-bridge-host.rules)

install(TARGETS bridge-host DESTINATION ${BRIDGE_HOST_INSTALL_DIR})
install(TARGETS bridge-host-setup bridge-console DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/setup/${BRIDGE_UDEV_RULE_FILE} DESTINATION lib/udev/rules.d)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/bridge-host)
# The pages README.md links to, and their pictures, at the same place beside it.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/bridge-host/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")

# Manual pages, compressed as both kinds of system keep them.
set(compressed_pages)
foreach(page bridge-host-setup.1 bridge-console.1 bridge-host.8)
  set(source ${CMAKE_CURRENT_LIST_DIR}/man/${page})
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND gzip -9nf ${copy}
    DEPENDS ${source} VERBATIM)
  string(REGEX MATCH "[0-9]$" section ${page})
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  list(APPEND compressed_pages ${copy}.gz)
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${compressed_pages})

# For those who ship the host with their extension: the machine-wide
# manifests that `bridge-host-setup install` would write as root, made by it
# at build time under a folder of the build with the built host in them, and
# installed with the installed host's path in its place.
if(BRIDGE_EXTENSIONS)
  set(made ${CMAKE_CURRENT_BINARY_DIR}/machine-manifests)
  set(extension_options)
  foreach(id IN LISTS BRIDGE_EXTENSIONS)
    list(APPEND extension_options --extension ${id})
  endforeach()
  # A make build reruns a command whose options changed only through a file it depends on.
  file(CONFIGURE OUTPUT ${made}.options CONTENT "${BRIDGE_HOST_NAME} ${BRIDGE_EXTENSIONS}\n")
  add_custom_command(OUTPUT ${made}.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${made}
    COMMAND bridge-host-setup install --system --root ${made} --name ${BRIDGE_HOST_NAME}
            --host $<TARGET_FILE:bridge-host> ${extension_options}
    COMMAND ${CMAKE_COMMAND} -E touch ${made}.stamp
    DEPENDS bridge-host-setup bridge-host ${made}.options VERBATIM)
  add_custom_target(machine_manifests ALL DEPENDS ${made}.stamp)
  install(CODE "set(BRIDGE_MADE_MANIFESTS \"${made}\")
                set(BRIDGE_BUILT_HOST \"$<TARGET_FILE:bridge-host>\")
                set(BRIDGE_HOST_INSTALL_DIR \"${BRIDGE_HOST_INSTALL_DIR}\")")
  install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install_manifests.cmake)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bridge-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "bridge host developers")
set(CPACK_PACKAGE_CONTACT "bridge host developers <bridge-host@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "native-messaging host that lets a browser extension reach its USB HID device")
set(CPACK_PACKAGE_DESCRIPTION "A browser starts the host for its extension and talks to it over standard \
input and output; the host lists USB HID devices and opens the one it serves. bridge-host-setup registers \
the host with the browsers; bridge-console talks to it by hand.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# cpack would name the building machine's architecture.
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()

# The scripts that tell udev about the rule, and that take away on removal
# what the setup command installed for the package's host; the same for both
# kinds of package.
set(BRIDGE_PACKAGED_HOST ${CPACK_PACKAGING_INSTALL_PREFIX}/${BRIDGE_HOST_INSTALL_DIR}/bridge-host)
configure_file(${CMAKE_CURRENT_LIST_DIR}/scripts/prerm.in ${CMAKE_CURRENT_BINARY_DIR}/scripts/prerm @ONLY)
set(post_install ${CMAKE_CURRENT_LIST_DIR}/scripts/postinst)
set(pre_remove ${CMAKE_CURRENT_BINARY_DIR}/scripts/prerm)
set(post_remove ${CMAKE_CURRENT_LIST_DIR}/scripts/postrm)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS udev)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${post_install} ${pre_remove} ${post_remove})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE "see /usr/share/doc/bridge-host/copyright")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
# The manifests and the scripts name the host where the package puts it.
set(CPACK_PACKAGE_RELOCATABLE OFF)
# The same files as the Debian package: no links by build ID beside them.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none")
set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE ${post_install})
set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE ${pre_remove})
set(CPACK_RPM_POST_UNINSTALL_SCRIPT_FILE ${post_remove})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/rpm_manifests.cmake)
# Folders that the system's own packages own.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /etc/opt /usr/lib/udev /usr/lib/udev/rules.d
    /usr/share/man /usr/share/man/man1 /usr/share/man/man8)
include(CPack)
