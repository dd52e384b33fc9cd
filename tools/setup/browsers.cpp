#include "browsers.h"

namespace {

// Chromium-based browsers keep their user-level manifests in the profile
// folder; the system-level folders are compiled into each browser.
const std::vector<Browser> browsers = {
    {"chrome", Family::Chromium, "google-chrome/NativeMessagingHosts", "google-chrome/Local State", "etc/opt",
     "chrome/native-messaging-hosts"},
    {"chromium", Family::Chromium, "chromium/NativeMessagingHosts", "chromium/Local State", "etc",
     "chromium/native-messaging-hosts"},
    {"edge", Family::Chromium, "microsoft-edge/NativeMessagingHosts", "microsoft-edge/Local State", "etc/opt",
     "edge/native-messaging-hosts"},
    {"brave", Family::Chromium, "BraveSoftware/Brave-Browser/NativeMessagingHosts",
     "BraveSoftware/Brave-Browser/Local State", nullptr, nullptr},
    {"vivaldi", Family::Chromium, "vivaldi/NativeMessagingHosts", "vivaldi/Local State", nullptr, nullptr},
    {"firefox", Family::Firefox, ".mozilla/native-messaging-hosts", ".mozilla/firefox/profiles.ini", "usr/lib",
     "mozilla/native-messaging-hosts"},
};

const std::filesystem::path& UserBase(const Browser& browser, const Places& places)
{
    return browser.family == Family::Firefox ? places.home : places.config_home;
}

}  // namespace

const std::vector<Browser>& KnownBrowsers()
{
    return browsers;
}

const Browser* FindBrowser(const std::string& name)
{
    for (const Browser& browser : browsers)
        if (name == browser.name)
            return &browser;
    return nullptr;
}

std::string BrowserNames()
{
    std::string names;
    for (const Browser& browser : browsers)
        names += (names.empty() ? "" : ", ") + std::string(browser.name);
    return names;
}

std::optional<ManifestFolder> FolderFor(const Browser& browser, Level level, const Places& places)
{
    if (level == Level::User) {
        const std::filesystem::path& base = UserBase(browser, places);
        return ManifestFolder{base, base / browser.user_folder};
    }
    if (!browser.system_base)
        return std::nullopt;
    const std::filesystem::path base = places.root / browser.system_base;
    return ManifestFolder{base, base / browser.system_folder};
}

bool IsUsed(const Browser& browser, const Places& places)
{
    std::error_code error;
    return std::filesystem::exists(UserBase(browser, places) / browser.profile_marker, error);
}
