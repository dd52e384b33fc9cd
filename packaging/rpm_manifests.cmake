# Run by cpack before it makes each package from the files installed for it.
# Firefox as RPM-based systems build it (Fedora, openSUSE) reads machine-wide
# manifests from /usr/lib64/mozilla, not /usr/lib/mozilla: the RPM carries
# Firefox's manifests in both, for that Firefox and for others.
if(NOT CPACK_GENERATOR STREQUAL "RPM")
  return()
endif()
set(staged ${CPACK_TEMPORARY_DIRECTORY})
file(GLOB manifests ${staged}/usr/lib/mozilla/native-messaging-hosts/*.json)
if(manifests)
  file(COPY ${manifests} DESTINATION ${staged}/usr/lib64/mozilla/native-messaging-hosts)
endif()
