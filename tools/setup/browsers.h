// The browsers the host can be registered with, and where each one looks for
// a native-messaging manifest: on Linux in folders of its own, on Windows
// through the registry (browsers.cpp, browsers_windows.cpp).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

enum class Family { Chromium, Firefox };
enum class Level { User, System };

struct Browser {
    const char* name;         // as given to --browser
    Family family;
    // The user-level folder, and a file the browser writes when it first runs
    // (its presence says the browser is used here), both relative to the
    // user's configuration folder (Chromium-based browsers) or to the home
    // folder (Firefox).
    const char* user_folder;
    const char* profile_marker;
    // Newer Firefox makes its profiles under the configuration folder, in a
    // folder of this name, when the home folder has none yet.
    const char* config_profile_marker;
    // The system-level folder is system_base/system_folder under the root;
    // system_base is null where the browser's system folder is not known.
    // On Windows user_folder is the browser's key under the user's and the
    // machine's hive, and the system fields are unused.
    const char* system_base;
    const char* system_folder;
    // Where the browser reads its administrator's policies: on Linux the
    // folder of the mandatory ones under the root, on Windows the key under
    // the machine's and the user's hive; null where it reads none that
    // decide which hosts it starts.
    const char* policy_place;
};

const std::vector<Browser>& KnownBrowsers();
const Browser* FindBrowser(const std::string& name);
std::string BrowserNames();   // for messages: "chrome, chromium, ..."

// Where manifests go for one user and one machine. Tests point these at
// scratch folders; normally they are the user's home and "/".
struct Places {
    std::filesystem::path home;
    std::filesystem::path config_home;   // ~/.config unless XDG_CONFIG_HOME says otherwise
    std::filesystem::path root;
};
// The places for this user, or for the home and root given instead.
Places FindPlaces(const std::optional<std::filesystem::path>& home, const std::optional<std::filesystem::path>& root);

// A manifest folder and the folder it was made under: everything between the
// two may have been created by us, and is removed again when it is empty.
// Where the browser finds the manifest through the registry, the folders'
// manifests are told apart by the browser's name, and `key` is the key the
// host's name goes under.
struct ManifestFolder {
    std::filesystem::path base;
    std::filesystem::path folder;
    std::string file_tag;   // "" or ".chrome" and the like, before ".json"
    std::string key;        // "" or HKEY_CURRENT_USER\Software\...\NativeMessagingHosts
};

// The folders a browser reads the level's manifests from, in the order it
// looks; none where its system-level folder is not known.
std::vector<ManifestFolder> FoldersFor(const Browser& browser, Level level, const Places& places);
// The program a manifest's "path" names, as the browser reads it.
std::string HostNamedBy(const std::filesystem::path& manifest, const std::string& path);
// What the browser's user-level paths are relative to.
const std::filesystem::path& UserBase(const Browser& browser, const Places& places);
bool IsUsed(const Browser& browser, const Places& places);
// The levels in the order the browser looks at them.
std::vector<Level> LookupOrder(const Browser& browser);

// Makes `file`, written into `where`, the manifest the browser finds there
// for the host `name`, and undoes that; each says what it did, "" for nothing.
// Unregister leaves a registration of another file alone.
std::string Register(const ManifestFolder& where, const std::string& name, const std::filesystem::path& file);
std::string Unregister(const ManifestFolder& where, const std::string& name, const std::filesystem::path& file);
// The manifest the browser reads there for `name`, which `own` names where
// install writes it; nullopt when it finds none, `error` set when it cannot
// look. LookupPlace says where it looks.
std::optional<std::filesystem::path> FoundManifest(const ManifestFolder& where, const std::string& name,
                                                   const std::filesystem::path& own, std::error_code& error);
std::string LookupPlace(const ManifestFolder& where, const std::string& name, const std::filesystem::path& own);

// A policy of the browser's administrator as the browser reads it, and the
// file or registry key that sets it.
enum class PolicyType { Flag, List };
struct PolicySetting {
    std::string where;
    bool flag = false;                // a Flag's value
    std::vector<std::string> names;   // a List's entries
};
// The policy `name`; nullopt when it is not set, or not of its type.
std::optional<PolicySetting> ReadPolicy(const Browser& browser, const Places& places, const std::string& name,
                                        PolicyType type);

// A browser installed as a snap or a Flatpak, which runs in a sandbox of its
// own and reads its profile and manifests inside it.
enum class Sandbox { Snap, Flatpak };
struct SandboxedInstall {
    const Browser* browser;
    Sandbox kind;
    std::filesystem::path found;   // what shows it is installed or has run
    // The program on the machine that starts hosts for it outside its
    // sandbox, and whether it is there; null where no such program exists.
    const char* helper = nullptr;
    bool helper_installed = false;
};
std::vector<SandboxedInstall> FindSandboxedInstalls(const Places& places);
