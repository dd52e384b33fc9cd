#include "browsers.h"

#include <windows.h>
#include <shlobj.h>

#include "machine.h"
#include "setup.h"
#include "system_error_windows.h"

namespace fs = std::filesystem;

namespace {

// Browsers on Windows find a host through the default value of its key under
// these keys, in the user's hive and the machine's: the full path of the
// manifest. Brave, Vivaldi and the other browsers built on Chromium read
// Chrome's key; Firefox's forks read Firefox's. The profile markers are
// relative to the local application data folder (Chromium-based browsers) or
// the roaming one (Firefox).
const std::vector<Browser> browsers = {
    {"chrome", Family::Chromium, "Software\\Google\\Chrome\\NativeMessagingHosts", "Google/Chrome/User Data/Local State",
     nullptr, nullptr, nullptr, "Software\\Policies\\Google\\Chrome"},
    {"chromium", Family::Chromium, "Software\\Chromium\\NativeMessagingHosts", "Chromium/User Data/Local State",
     nullptr, nullptr, nullptr, "Software\\Policies\\Chromium"},
    {"edge", Family::Chromium, "Software\\Microsoft\\Edge\\NativeMessagingHosts", "Microsoft/Edge/User Data/Local State",
     nullptr, nullptr, nullptr, "Software\\Policies\\Microsoft\\Edge"},
    {"firefox", Family::Firefox, "Software\\Mozilla\\NativeMessagingHosts", "Mozilla/Firefox/profiles.ini", nullptr,
     nullptr, nullptr, nullptr},
};

const std::string USER_HIVE = "HKEY_CURRENT_USER";
const std::string MACHINE_HIVE = "HKEY_LOCAL_MACHINE";
// Keys below this one that are left empty are removed again.
const std::string SOFTWARE = "Software";

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// Host names are ASCII: an entry's other characters need only stay unequal to them.
std::string Ascii(const std::wstring& wide)
{
    std::string ascii;
    for (const wchar_t c : wide)
        ascii += c < 0x80 ? static_cast<char>(c) : '?';
    return ascii;
}

// "HKEY_CURRENT_USER\Software\..." as the hive's handle and the key below it.
HKEY HiveOf(const std::string& key, std::string& below)
{
    const bool user = key.starts_with(USER_HIVE + "\\");
    below = key.substr((user ? USER_HIVE : MACHINE_HIVE).size() + 1);
    return user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

// A string value of the key (the default value for null); status
// ERROR_FILE_NOT_FOUND when the key or the value is not there.
LSTATUS ReadStringValue(const std::string& key, const wchar_t* name, std::wstring& value)
{
    std::string below;
    const HKEY hive = HiveOf(key, below);
    DWORD size = 0;
    // A REG_EXPAND_SZ value comes expanded, as REG_SZ.
    const DWORD flags = RRF_RT_REG_SZ;
    LSTATUS status = RegGetValueW(hive, Wide(below).c_str(), name, flags, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS)
        return status;
    value.resize(size / sizeof(wchar_t) + 1);
    status = RegGetValueW(hive, Wide(below).c_str(), name, flags, nullptr, value.data(), &size);
    value.resize(status == ERROR_SUCCESS ? size / sizeof(wchar_t) - 1 : 0);
    return status;
}

LSTATUS ReadDefaultValue(const std::string& key, std::wstring& value)
{
    return ReadStringValue(key, nullptr, value);
}

// A Flag is a DWORD value of the policies' key; a List is a key of its own
// below it, with its entries in the values "1", "2" and on, up to the first
// number missing.
std::optional<PolicySetting> ReadPolicyIn(const std::string& key, const std::string& name, PolicyType type)
{
    std::string below;
    const HKEY hive = HiveOf(key, below);
    if (type == PolicyType::Flag) {
        DWORD value = 0, size = sizeof value;
        if (RegGetValueW(hive, Wide(below).c_str(), Wide(name).c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) !=
            ERROR_SUCCESS)
            return std::nullopt;
        return PolicySetting{key, value != 0, {}};
    }
    HKEY list;
    if (RegOpenKeyExW(hive, Wide(below + "\\" + name).c_str(), 0, KEY_READ, &list) != ERROR_SUCCESS)
        return std::nullopt;
    RegCloseKey(list);
    PolicySetting setting{key, false, {}};
    std::wstring entry;
    for (int number = 1; ReadStringValue(key + "\\" + name, std::to_wstring(number).c_str(), entry) == ERROR_SUCCESS;
         ++number)
        setting.names.push_back(Ascii(entry));
    return setting;
}

bool IsEmptyKey(HKEY hive, const std::string& below)
{
    HKEY key;
    if (RegOpenKeyExW(hive, Wide(below).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return subkeys == 0 && values == 0;
}

// Removes the keys from `below` up to, not including, Software while they are empty.
void RemoveEmptyKeys(HKEY hive, std::string below)
{
    while (below.size() > SOFTWARE.size() && IsEmptyKey(hive, below) &&
           RegDeleteKeyExW(hive, Wide(below).c_str(), KEY_WOW64_64KEY, 0) == ERROR_SUCCESS)
        below.erase(below.rfind('\\'));
}

bool SameFile(const fs::path& a, const fs::path& b)
{
    return CompareStringOrdinal(a.lexically_normal().c_str(), -1, b.lexically_normal().c_str(), -1, TRUE) ==
           CSTR_EQUAL;
}

fs::path KnownFolder(const KNOWNFOLDERID& id)
{
    wchar_t* path = nullptr;
    if (SHGetKnownFolderPath(id, 0, nullptr, &path) != S_OK) {
        CoTaskMemFree(path);
        throw std::runtime_error("cannot tell the application data folders; name the user's folder with --home DIR");
    }
    const fs::path folder = path;
    CoTaskMemFree(path);
    return folder;
}

}  // namespace

const std::vector<Browser>& KnownBrowsers()
{
    return browsers;
}

// The manifests go beside this command, which is installed beside the host:
// one a browser, as each browser's may allow other extensions.
std::vector<ManifestFolder> FoldersFor(const Browser& browser, Level level, const Places& places)
{
    const std::string& hive = level == Level::User ? USER_HIVE : MACHINE_HIVE;
    return {{places.root, places.root, std::string(".") + browser.name, hive + "\\" + browser.user_folder}};
}

// Chromium-based browsers and Firefox on Windows take a relative path as
// relative to the manifest's folder, which the MSI's manifests rely on: they
// name the host wherever the package is installed.
std::string HostNamedBy(const fs::path& manifest, const std::string& path)
{
    if (path.empty() || fs::path(path).is_absolute())
        return path;
    return (manifest.parent_path() / path).lexically_normal().string();
}

bool IsUsed(const Browser& browser, const Places& places)
{
    std::error_code error;
    return fs::exists(UserBase(browser, places) / browser.profile_marker, error);
}

// Chromium-based browsers look at the machine's key first, Firefox at the user's.
std::vector<Level> LookupOrder(const Browser& browser)
{
    if (browser.family == Family::Chromium)
        return {Level::System, Level::User};
    return {Level::User, Level::System};
}

std::string Register(const ManifestFolder& where, const std::string& name, const fs::path& file)
{
    const std::string key = where.key + "\\" + name;
    std::string below;
    const HKEY hive = HiveOf(key, below);
    HKEY opened;
    LSTATUS status = RegCreateKeyExW(hive, Wide(below).c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                     nullptr, &opened, nullptr);
    if (status == ERROR_SUCCESS) {
        const std::wstring value = file.wstring();
        status = RegSetValueExW(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(opened);
    }
    if (status != ERROR_SUCCESS)
        throw std::runtime_error("cannot write the registry key " + key + ": " +
                                 SystemErrorText(static_cast<DWORD>(status)));
    return "registered it in " + key;
}

std::string Unregister(const ManifestFolder& where, const std::string& name, const fs::path& file)
{
    const std::string key = where.key + "\\" + name;
    std::wstring value;
    if (ReadDefaultValue(key, value) != ERROR_SUCCESS || !SameFile(value, file))
        return "";
    std::string below;
    const HKEY hive = HiveOf(key, below);
    if (const LSTATUS status = RegDeleteKeyExW(hive, Wide(below).c_str(), KEY_WOW64_64KEY, 0); status != ERROR_SUCCESS)
        throw std::runtime_error("cannot remove the registry key " + key + ": " +
                                 SystemErrorText(static_cast<DWORD>(status)));
    RemoveEmptyKeys(hive, below.substr(0, below.rfind('\\')));
    return "removed the registry key " + key;
}

std::optional<fs::path> FoundManifest(const ManifestFolder& where, const std::string& name, const fs::path&,
                                      std::error_code& error)
{
    std::wstring value;
    const LSTATUS status = ReadDefaultValue(where.key + "\\" + name, value);
    if (status == ERROR_SUCCESS)
        return fs::path(value);
    if (status != ERROR_FILE_NOT_FOUND)
        error = std::error_code(static_cast<int>(status), std::system_category());
    return std::nullopt;
}

// The machine's policies win over the user's.
std::optional<PolicySetting> ReadPolicy(const Browser& browser, const Places&, const std::string& name, PolicyType type)
{
    if (!browser.policy_place)
        return std::nullopt;
    for (const std::string& hive : {MACHINE_HIVE, USER_HIVE})
        if (std::optional<PolicySetting> setting = ReadPolicyIn(hive + "\\" + browser.policy_place, name, type))
            return setting;
    return std::nullopt;
}

std::string LookupPlace(const ManifestFolder& where, const std::string& name, const fs::path&)
{
    return where.key + "\\" + name;
}

// Browsers on Windows run outside any sandbox that would hide the registry.
std::vector<SandboxedInstall> FindSandboxedInstalls(const Places&)
{
    return {};
}

// --home stands for the user's folder, with AppData\Local and AppData\Roaming
// in it; the manifests' folder is this command's own.
Places FindPlaces(const std::optional<fs::path>& home, const std::optional<fs::path>& root)
{
    if (root)
        throw UsageError("--root is for Linux: on Windows the manifests go beside this command");
    Places places;
    places.home = home ? fs::absolute(*home / "AppData/Roaming") : KnownFolder(FOLDERID_RoamingAppData);
    places.config_home = home ? fs::absolute(*home / "AppData/Local") : KnownFolder(FOLDERID_LocalAppData);
    places.root = OwnFolder();
    return places;
}
