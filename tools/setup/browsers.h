// The browsers the host can be registered with, and where each one looks for
// a native-messaging manifest on Linux.
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
    // The system-level folder is system_base/system_folder under the root;
    // system_base is null where the browser's system folder is not known.
    const char* system_base;
    const char* system_folder;
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

// A manifest folder and the folder it was made under: everything between the
// two may have been created by us, and is removed again when it is empty.
struct ManifestFolder {
    std::filesystem::path base;
    std::filesystem::path folder;
};

std::optional<ManifestFolder> FolderFor(const Browser& browser, Level level, const Places& places);
bool IsUsed(const Browser& browser, const Places& places);
