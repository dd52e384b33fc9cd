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

    // Files the ID under its family. The origin "chrome-extension://ID/", with
    // or without its slash, is taken too. Returns why the text is no ID of
    // either kind, or "" when it was taken.
    std::string Add(const std::string& text);
    const std::vector<std::string>& For(Family family) const;
};

nlohmann::json MakeManifest(Family family, const std::string& name, const std::string& host_path,
                            const std::vector<std::string>& ids);

// The extension IDs a manifest of this family allows, in its own order;
// entries that are no ID of the family's kind are left out.
std::vector<std::string> AllowedIds(const nlohmann::json& manifest, Family family);

// `ids` after `more`, without repeats; `ids` without `fewer`.
std::vector<std::string> Merged(std::vector<std::string> ids, const std::vector<std::string>& more);
std::vector<std::string> Without(std::vector<std::string> ids, const std::vector<std::string>& fewer);

// Parses a manifest's text. On failure `error` says where and what, as
// "line 3, column 7: ..." for text that is not JSON.
nlohmann::json ParseManifest(const std::string& text, std::string& error);

// What keeps a browser from starting the host through this manifest: one text
// per fault, none when it is good. Every ID in `required` must be allowed.
std::vector<std::string> ManifestFaults(const nlohmann::json& manifest, Family family, const std::string& name,
                                        const std::vector<std::string>& required);

// The argument a browser of the family starts the host with to name the
// extension: Chromium's origin, or Firefox's add-on ID as it is.
std::string CallerArgument(Family family, const std::string& id);
