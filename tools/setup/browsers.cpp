#include "browsers.h"

#include <algorithm>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "files.h"
#include "machine.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Chromium-based browsers keep their user-level manifests in the profile
// folder; the system-level folders and the policy folders are compiled into
// each browser. Vivaldi's policy folder is left out: none is documented.
const std::vector<Browser> browsers = {
    {"chrome", Family::Chromium, "google-chrome/NativeMessagingHosts", "google-chrome/Local State", nullptr,
     "etc/opt", "chrome/native-messaging-hosts", "etc/opt/chrome/policies/managed"},
    {"chromium", Family::Chromium, "chromium/NativeMessagingHosts", "chromium/Local State", nullptr, "etc",
     "chromium/native-messaging-hosts", "etc/chromium/policies/managed"},
    {"edge", Family::Chromium, "microsoft-edge/NativeMessagingHosts", "microsoft-edge/Local State", nullptr,
     "etc/opt", "edge/native-messaging-hosts", "etc/opt/edge/policies/managed"},
    {"brave", Family::Chromium, "BraveSoftware/Brave-Browser/NativeMessagingHosts",
     "BraveSoftware/Brave-Browser/Local State", nullptr, nullptr, nullptr, "etc/brave/policies/managed"},
    {"vivaldi", Family::Chromium, "vivaldi/NativeMessagingHosts", "vivaldi/Local State", nullptr, nullptr, nullptr,
     nullptr},
    {"firefox", Family::Firefox, ".mozilla/native-messaging-hosts", ".mozilla/firefox/profiles.ini",
     "mozilla/firefox/profiles.ini", "usr/lib", "mozilla/native-messaging-hosts", nullptr},
};

// Snap names and Flatpak application IDs of the browsers above.
struct SandboxName {
    const char* browser;
    Sandbox kind;
    const char* name;
};
const SandboxName sandbox_names[] = {
    {"firefox", Sandbox::Snap, "firefox"},
    {"firefox", Sandbox::Flatpak, "org.mozilla.firefox"},
    {"chromium", Sandbox::Snap, "chromium"},
    {"chromium", Sandbox::Flatpak, "org.chromium.Chromium"},
    {"chrome", Sandbox::Flatpak, "com.google.Chrome"},
    {"edge", Sandbox::Flatpak, "com.microsoft.Edge"},
    {"brave", Sandbox::Snap, "brave"},
    {"brave", Sandbox::Flatpak, "com.brave.Browser"},
    {"vivaldi", Sandbox::Flatpak, "com.vivaldi.Vivaldi"},
};

// A snap's data lives in ~/snap/NAME once it has run; /snap/bin/NAME is its
// command. A Flatpak's data lives in ~/.var/app/ID; it is installed for the
// machine or for the user.
std::vector<fs::path> SandboxTraces(Sandbox kind, const std::string& name, const Places& places)
{
    if (kind == Sandbox::Snap)
        return {places.home / "snap" / name, places.root / "snap/bin" / name};
    return {places.home / ".var/app" / name, places.root / "var/lib/flatpak/app" / name,
            places.home / ".local/share/flatpak/app" / name};
}

// Snap Firefox asks the desktop portal to start hosts; Flatpak Firefox asks
// this proxy. Either then reads the ordinary manifest folders. Chromium-based
// sandboxed browsers have no such way out.
const char* SandboxHelper(Family family, Sandbox kind)
{
    if (family != Family::Firefox)
        return nullptr;
    return kind == Sandbox::Snap ? "xdg-desktop-portal" : "xdg-native-messaging-proxy";
}

bool IsHelperInstalled(const char* helper, const Places& places)
{
    std::error_code error;
    for (const char* folder : {"usr/libexec", "usr/lib", "usr/lib/xdg-desktop-portal", "usr/bin"})
        if (fs::exists(places.root / folder / helper, error))
            return true;
    return false;
}

// Firefox as the systems that keep their libraries in usr/lib64 build it
// (Fedora, openSUSE) reads the machine's manifests from usr/lib64/mozilla,
// not usr/lib/mozilla, where other builds of it look. Such a system keeps its
// C library there; elsewhere usr/lib64 is a link to usr/lib, or holds the
// dynamic loader alone.
bool KeepsLibrariesInLib64(const fs::path& root)
{
    std::error_code error;
    return !fs::is_symlink(root / "usr/lib64", error) && fs::exists(root / "usr/lib64/libc.so.6", error);
}

}  // namespace

const std::vector<Browser>& KnownBrowsers()
{
    return browsers;
}

std::vector<ManifestFolder> FoldersFor(const Browser& browser, Level level, const Places& places)
{
    if (level == Level::User) {
        const fs::path& base = UserBase(browser, places);
        return {{base, base / browser.user_folder, "", ""}};
    }
    if (!browser.system_base)
        return {};
    std::vector<ManifestFolder> folders;
    if (browser.family == Family::Firefox && KeepsLibrariesInLib64(places.root)) {
        const fs::path lib64 = places.root / "usr/lib64";
        folders.push_back({lib64, lib64 / browser.system_folder, "", ""});
    }
    const fs::path base = places.root / browser.system_base;
    folders.push_back({base, base / browser.system_folder, "", ""});
    return folders;
}

// Browsers on Linux take an absolute path only.
std::string HostNamedBy(const fs::path&, const std::string& path)
{
    return path;
}

std::vector<Level> LookupOrder(const Browser&)
{
    return {Level::User, Level::System};
}

// The folder is all a browser on Linux needs to find the manifest.
std::string Register(const ManifestFolder&, const std::string&, const fs::path&)
{
    return "";
}

std::string Unregister(const ManifestFolder&, const std::string&, const fs::path&)
{
    return "";
}

std::optional<fs::path> FoundManifest(const ManifestFolder&, const std::string&, const fs::path& own,
                                      std::error_code& error)
{
    if (fs::exists(own, error))
        return own;
    return std::nullopt;
}

std::string LookupPlace(const ManifestFolder&, const std::string&, const fs::path& own)
{
    return own.string();
}

// Every file in the folder holds policies in JSON; the browser reads them in
// the order of their names, and the last one to set a policy decides it. A
// value of the wrong type sets nothing.
std::optional<PolicySetting> ReadPolicy(const Browser& browser, const Places& places, const std::string& name,
                                        PolicyType type)
{
    if (!browser.policy_place)
        return std::nullopt;
    std::vector<fs::path> files;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(places.root / browser.policy_place, error))
        if (entry.is_regular_file(error))
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    json value;
    std::string where;
    for (const fs::path& file : files) {
        std::string text;
        const json policies = ReadFileText(file, text) ? json::parse(text, nullptr, false) : json();
        if (policies.is_object() && policies.contains(name)) {
            value = policies[name];
            where = file.string();
        }
    }
    PolicySetting setting{where, false, {}};
    if (type == PolicyType::Flag && value.is_boolean())
        setting.flag = value.get<bool>();
    else if (type == PolicyType::List && value.is_array()) {
        for (const json& entry : value)
            if (entry.is_string())
                setting.names.push_back(entry.get<std::string>());
    } else {
        return std::nullopt;
    }
    return setting;
}

bool IsUsed(const Browser& browser, const Places& places)
{
    std::error_code error;
    return fs::exists(UserBase(browser, places) / browser.profile_marker, error) ||
           (browser.config_profile_marker && fs::exists(places.config_home / browser.config_profile_marker, error));
}

std::vector<SandboxedInstall> FindSandboxedInstalls(const Places& places)
{
    std::vector<SandboxedInstall> found;
    for (const SandboxName& sandbox : sandbox_names) {
        for (const fs::path& trace : SandboxTraces(sandbox.kind, sandbox.name, places)) {
            std::error_code error;
            if (!fs::exists(trace, error))
                continue;
            const Browser& browser = *FindBrowser(sandbox.browser);
            const char* helper = SandboxHelper(browser.family, sandbox.kind);
            found.push_back({&browser, sandbox.kind, trace, helper, helper && IsHelperInstalled(helper, places)});
            break;
        }
    }
    return found;
}

Places FindPlaces(const std::optional<fs::path>& home, const std::optional<fs::path>& root)
{
    Places places;
    places.home = fs::absolute(home ? *home : UserHome());
    places.config_home = places.home / ".config";
    // Browsers follow XDG_CONFIG_HOME for their profile folders.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (!home && config && config[0] == '/')
        places.config_home = config;
    places.root = fs::absolute(root ? *root : "/");
    return places;
}
