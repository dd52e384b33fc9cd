// Native-messaging manifests: the host's name, the extension IDs that may
// start it, and the file that tells a browser both and where the host is.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "browsers.h"

// Lower-case letters, digits and underscores in dot-separated pieces: the
// strictest of the browsers' rules, so that one name serves them all.
bool IsValidHostName(const std::string& name);

// The extensions allowed to start the host, sorted by the browser family that
// knows them. A Chromium ID is 32 letters a to p; a Firefox add-on ID is a
// braced GUID or looks like an e-mail address.
struct ExtensionIds {
    std::vector<std::string> chromium;
    std::vector<std::string> firefox;

    // Files the ID under its family; false when it has neither form. The
    // origin form "chrome-extension://ID/" is taken too.
    bool Add(const std::string& id);
    const std::vector<std::string>& For(Family family) const;
};

nlohmann::json MakeManifest(Family family, const std::string& name, const std::string& host_path,
                            const std::vector<std::string>& ids);

// What keeps a browser from starting the host through this manifest: one text
// per fault, none when it is good. Every ID in `required` must be allowed.
std::vector<std::string> ManifestFaults(const nlohmann::json& manifest, Family family, const std::string& name,
                                        const std::vector<std::string>& required);

// Why the file at `path` cannot be started as a host, or "" when it can.
std::string HostFault(const std::string& path);
