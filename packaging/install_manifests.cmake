# Installs the manifests that the setup command made for the package's
# extensions into the machine's browser folders, naming the installed host
# where they named the built one. Run by `cmake --install` and by CPack, with
# BRIDGE_MADE_MANIFESTS, BRIDGE_BUILT_HOST and BRIDGE_HOST_INSTALL_DIR set.
set(installed_host "${CMAKE_INSTALL_PREFIX}/${BRIDGE_HOST_INSTALL_DIR}/bridge-host")
set(rewritten "${BRIDGE_MADE_MANIFESTS}.installed")
file(REMOVE_RECURSE "${rewritten}")
file(GLOB_RECURSE manifests RELATIVE "${BRIDGE_MADE_MANIFESTS}" "${BRIDGE_MADE_MANIFESTS}/*.json")
foreach(manifest IN LISTS manifests)
  file(READ "${BRIDGE_MADE_MANIFESTS}/${manifest}" text)
  string(REPLACE "\"${BRIDGE_BUILT_HOST}\"" "\"${installed_host}\"" text "${text}")
  file(WRITE "${rewritten}/${manifest}" "${text}")
  get_filename_component(folder "/${manifest}" DIRECTORY)
  file(INSTALL "${rewritten}/${manifest}" DESTINATION "${folder}")
endforeach()
