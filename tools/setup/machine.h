// What the machine must provide besides the manifests, and the account that
// runs the command. On Linux: udev's rules that let users open the device,
// and the device itself.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct Options;
class Report;

// The device the host serves, as udev and lsusb write its IDs.
inline constexpr const char* SERVED_IDS = "0acd:3820";

// Why an option given makes no sense on this system, or "".
std::string SystemOptionFault(const Options& options);
// What install and uninstall do besides the manifests (not with --dir);
// uninstall's is true when it removed something.
void InstallMachineParts(const Options& options);
bool UninstallMachineParts(const Options& options);
// What check finds besides the browsers' manifests.
void CheckMachine(const Options& options, Report& report);

// The rule as shipped, and the name it is written under in the admin's folder.
extern const char* const UDEV_RULE;
extern const char* const UDEV_RULE_FILE;

std::filesystem::path AdminRulesFolder(const std::filesystem::path& root);

// A rule file udev uses that matches our device's IDs, with what it grants.
struct UdevGrant {
    std::filesystem::path file;
    bool uaccess = false;   // TAG+="uaccess": the user at the seat
    bool too_late = false;  // ... but it sorts after the rules that turn the tag into access
    int mode = -1;          // MODE="0660" and the like; -1 when it sets none
    std::string group;      // GROUP="plugdev"; "" when it sets none
};
// A rule file for our device that a link to /dev/null of the same name in an
// earlier folder switches off.
struct MaskedRule {
    std::filesystem::path file;
    std::filesystem::path mask;
};
struct UdevRules {
    std::vector<UdevGrant> grants;   // in the order udev reads them
    std::vector<MaskedRule> masked;
};
// The rules after udev's own precedence of folders; `left_out` (if given) is
// looked at as if it were not there.
UdevRules FindUdevRules(const std::filesystem::path& root, const std::filesystem::path& left_out = {});
bool IsMask(const std::filesystem::path& file);

// Makes a running udev read its rules again and apply them to the devices
// already attached. Says what it did, or why it did nothing.
std::string ReloadUdev();

struct AttachedDevice {
    std::filesystem::path node;
    int open_error = 0;   // errno of opening it the way the host does; 0 when it opened
};
std::vector<AttachedDevice> FindServedDevices(const std::filesystem::path& root);

// The account that runs this command.
bool IsRoot();
// The account that may write the machine's manifests: "root" and the like.
extern const char* const ADMINISTRATOR;
std::string UserName();
bool IsInGroup(const std::string& group);
// The home folder of the account, and the folder this command runs from.
std::filesystem::path UserHome();
std::filesystem::path OwnFolder();
