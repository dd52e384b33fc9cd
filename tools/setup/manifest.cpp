#include "manifest.h"

#include <algorithm>
#include <regex>

#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;

namespace {

constexpr size_t CHROMIUM_ID_LENGTH = 32;
constexpr size_t MAX_FIREFOX_ID_LENGTH = 255;
const std::string ORIGIN_SCHEME = "chrome-extension://";

const char* const DESCRIPTION = "Lets the browser extension reach its USB HID device";

bool IsChromiumId(const std::string& id)
{
    return id.size() == CHROMIUM_ID_LENGTH &&
           std::all_of(id.begin(), id.end(), [](char c) { return c >= 'a' && c <= 'p'; });
}

bool IsFirefoxId(const std::string& id)
{
    static const std::regex form(R"(\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}|[a-z0-9._-]*@[a-z0-9._-]+)",
                                 std::regex::icase);
    return id.size() <= MAX_FIREFOX_ID_LENGTH && std::regex_match(id, form);
}

std::string Origin(const std::string& id)
{
    return ORIGIN_SCHEME + id + "/";
}

// The ID inside "chrome-extension://ID/", or "" for anything else.
std::string IdOfOrigin(const std::string& origin)
{
    if (origin.size() != ORIGIN_SCHEME.size() + CHROMIUM_ID_LENGTH + 1 || !origin.starts_with(ORIGIN_SCHEME) ||
        !origin.ends_with("/"))
        return "";
    const std::string id = origin.substr(ORIGIN_SCHEME.size(), CHROMIUM_ID_LENGTH);
    return IsChromiumId(id) ? id : "";
}

const char* AllowedKey(Family family)
{
    return family == Family::Chromium ? "allowed_origins" : "allowed_extensions";
}

// The IDs a manifest allows, checking each entry's form on the way.
std::vector<std::string> AllowedIds(const json& allowed, Family family, std::vector<std::string>& faults)
{
    std::vector<std::string> ids;
    for (const json& entry : allowed) {
        const std::string text = entry.is_string() ? entry.get<std::string>() : entry.dump();
        const std::string id = family == Family::Chromium ? IdOfOrigin(text) : (IsFirefoxId(text) ? text : "");
        if (id.empty())
            faults.push_back(std::string(AllowedKey(family)) + " holds " + text +
                             (family == Family::Chromium ? ", which is not chrome-extension://ID/"
                                                         : ", which is not a Firefox add-on ID"));
        else
            ids.push_back(id);
    }
    return ids;
}

bool IsNonEmptyString(const json& manifest, const char* key)
{
    const auto member = manifest.find(key);
    return member != manifest.end() && member->is_string() && !member->get<std::string>().empty();
}

}  // namespace

bool IsValidHostName(const std::string& name)
{
    static const std::regex form(R"([a-z0-9_]+(\.[a-z0-9_]+)*)");
    return std::regex_match(name, form);
}

bool ExtensionIds::Add(const std::string& id)
{
    const std::string from_origin = IdOfOrigin(id);
    if (!from_origin.empty())
        chromium.push_back(from_origin);
    else if (IsChromiumId(id))
        chromium.push_back(id);
    else if (IsFirefoxId(id))
        firefox.push_back(id);
    else
        return false;
    return true;
}

const std::vector<std::string>& ExtensionIds::For(Family family) const
{
    return family == Family::Chromium ? chromium : firefox;
}

json MakeManifest(Family family, const std::string& name, const std::string& host_path,
                  const std::vector<std::string>& ids)
{
    json allowed = json::array();
    for (const std::string& id : ids)
        allowed.push_back(family == Family::Chromium ? Origin(id) : id);
    return {{"name", name},
            {"description", DESCRIPTION},
            {"path", host_path},
            {"type", "stdio"},
            {AllowedKey(family), allowed}};
}

std::vector<std::string> ManifestFaults(const json& manifest, Family family, const std::string& name,
                                        const std::vector<std::string>& required)
{
    if (!manifest.is_object())
        return {"it is not a JSON object"};
    std::vector<std::string> faults;
    if (manifest.value("name", json()) != name)
        faults.push_back("its \"name\" is not \"" + name + "\"");
    if (!IsNonEmptyString(manifest, "description"))
        faults.push_back("it has no \"description\"");
    if (manifest.value("type", json()) != "stdio")
        faults.push_back("its \"type\" is not \"stdio\"");
    if (!IsNonEmptyString(manifest, "path") || !manifest["path"].get<std::string>().starts_with("/"))
        faults.push_back("its \"path\" is not an absolute path");

    const json allowed = manifest.value(AllowedKey(family), json());
    if (!allowed.is_array() || allowed.empty()) {
        faults.push_back(std::string("it has no \"") + AllowedKey(family) + "\" list of extensions");
        return faults;
    }
    const std::vector<std::string> ids = AllowedIds(allowed, family, faults);
    for (const std::string& id : required)
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            faults.push_back("it does not allow the extension " + id);
    return faults;
}

std::string HostFault(const std::string& path)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return path + " does not exist";
    if (!S_ISREG(status.st_mode))
        return path + " is not a file";
    if (access(path.c_str(), X_OK) != 0)
        return path + " is not executable";
    return "";
}
