#include "manifest.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <regex>

using nlohmann::json;

namespace {

constexpr size_t CHROMIUM_ID_LENGTH = 32;
constexpr size_t MAX_FIREFOX_ID_LENGTH = 255;
const std::string ORIGIN_SCHEME = "chrome-extension://";
const std::string FIREFOX_SCHEME = "moz-extension://";

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

// Firefox's per-profile UUID of an add-on, which moz-extension:// URLs show.
bool IsBareUuid(const std::string& text)
{
    static const std::regex form(R"([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})", std::regex::icase);
    return std::regex_match(text, form);
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

// Why a text meant as a Chromium ID is none; "" when it is one.
std::string ChromiumIdFault(const std::string& id)
{
    if (std::any_of(id.begin(), id.end(), [](unsigned char c) { return std::isupper(c); }))
        return "is in upper case; Chromium extension IDs are lower-case letters a to p";
    if (id.size() != CHROMIUM_ID_LENGTH)
        return "has " + std::to_string(id.size()) + " characters; a Chromium extension ID has " +
               std::to_string(CHROMIUM_ID_LENGTH);
    const auto wrong = std::find_if(id.begin(), id.end(), [](char c) { return c < 'a' || c > 'p'; });
    if (wrong != id.end())
        return std::string("holds '") + *wrong + "'; a Chromium extension ID has only the letters a to p";
    return "";
}

const char* const FIREFOX_NEEDS_ADDON_ID =
    "is the internal UUID Firefox gives the add-on in one profile; Firefox needs the add-on's ID from "
    "browser_specific_settings in its manifest.json (name@domain or {GUID})";

// Why the text is no extension ID, for what it looks like.
std::string IdFault(const std::string& text)
{
    if (text.starts_with(ORIGIN_SCHEME)) {
        const std::string rest = text.substr(ORIGIN_SCHEME.size());
        const size_t slash = rest.find('/');
        if (slash != std::string::npos && slash + 1 < rest.size())
            return "has a path after the extension ID; give chrome-extension://ID/ or the ID alone";
        return "holds an ID that " + ChromiumIdFault(rest.substr(0, slash));
    }
    if (text.starts_with(FIREFOX_SCHEME) || IsBareUuid(text))
        return FIREFOX_NEEDS_ADDON_ID;
    if (text.find('@') != std::string::npos || text.starts_with("{"))
        return "is not a Firefox add-on ID (name@domain with letters, digits, dots, dashes and underscores, "
               "or a GUID in braces)";
    if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isalpha(c); }))
        return ChromiumIdFault(text);
    return "is neither a Chromium extension ID (32 letters a-p) nor a Firefox add-on ID (name@domain or {GUID})";
}

const char* AllowedKey(Family family)
{
    return family == Family::Chromium ? "allowed_origins" : "allowed_extensions";
}

std::string IdOfEntry(const std::string& entry, Family family)
{
    if (family == Family::Chromium)
        return IdOfOrigin(entry);
    return IsFirefoxId(entry) ? entry : "";
}

bool IsNonEmptyString(const json& manifest, const char* key)
{
    const auto member = manifest.find(key);
    return member != manifest.end() && member->is_string() && !member->get<std::string>().empty();
}

// "line 3, column 7: syntax error ..." from nlohmann's "[json.exception.parse_error.101]
// parse error at line 3, column 7: syntax error ...".
std::string WhereAndWhat(const json::parse_error& error)
{
    const std::string text = error.what();
    const std::string lead = "parse error at ";
    const size_t at = text.find(lead);
    if (at == std::string::npos)
        return "byte " + std::to_string(error.byte) + ": " + text;
    return text.substr(at + lead.size());
}

}  // namespace

bool IsValidHostName(const std::string& name)
{
    static const std::regex form(R"([a-z0-9_]+(\.[a-z0-9_]+)*)");
    return std::regex_match(name, form);
}

std::string ExtensionIds::Add(const std::string& text)
{
    const std::string origin = text.starts_with(ORIGIN_SCHEME) && !text.ends_with("/") ? text + "/" : text;
    if (const std::string id = IdOfOrigin(origin); !id.empty())
        chromium.push_back(id);
    else if (IsChromiumId(text))
        chromium.push_back(text);
    else if (IsFirefoxId(text))
        firefox.push_back(text);
    else
        return IdFault(text);
    return "";
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

std::vector<std::string> AllowedIds(const json& manifest, Family family)
{
    std::vector<std::string> ids;
    const json allowed = manifest.is_object() ? manifest.value(AllowedKey(family), json()) : json();
    if (!allowed.is_array())
        return ids;
    for (const json& entry : allowed)
        if (entry.is_string())
            if (const std::string id = IdOfEntry(entry.get<std::string>(), family); !id.empty())
                ids.push_back(id);
    return ids;
}

std::vector<std::string> Merged(std::vector<std::string> ids, const std::vector<std::string>& more)
{
    for (const std::string& id : more)
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            ids.push_back(id);
    return ids;
}

std::vector<std::string> Without(std::vector<std::string> ids, const std::vector<std::string>& fewer)
{
    std::erase_if(ids, [&](const std::string& id) { return std::find(fewer.begin(), fewer.end(), id) != fewer.end(); });
    return ids;
}

json ParseManifest(const std::string& text, std::string& error)
{
    try {
        return json::parse(text);
    } catch (const json::parse_error& e) {
        error = WhereAndWhat(e);
        return json();
    }
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
    if (!IsNonEmptyString(manifest, "path") || !std::filesystem::path(manifest["path"].get<std::string>()).is_absolute())
        faults.push_back("its \"path\" is not an absolute path");

    const json allowed = manifest.value(AllowedKey(family), json());
    if (!allowed.is_array() || allowed.empty()) {
        faults.push_back(std::string("it has no \"") + AllowedKey(family) + "\" list of extensions");
        return faults;
    }
    for (const json& entry : allowed) {
        const std::string text = entry.is_string() ? entry.get<std::string>() : entry.dump();
        if (IdOfEntry(text, family).empty())
            faults.push_back(std::string(AllowedKey(family)) + " holds " + text +
                             (family == Family::Chromium ? ", which is not chrome-extension://ID/"
                                                         : ", which is not a Firefox add-on ID"));
    }
    const std::vector<std::string> ids = AllowedIds(manifest, family);
    for (const std::string& id : required)
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            faults.push_back("it does not allow the extension " + id);
    return faults;
}

std::string CallerArgument(Family family, const std::string& id)
{
    return family == Family::Chromium ? Origin(id) : id;
}
