// What the machine must provide besides the manifests: udev's rule that lets
// the user at the seat open the device, and the device itself.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The rule as shipped, and the name it is written under in the admin's folder.
extern const char* const UDEV_RULE;
extern const char* const UDEV_RULE_FILE;

std::filesystem::path AdminRulesFolder(const std::filesystem::path& root);

// The rule file udev would use that grants our device to the seat's user,
// after udev's own precedence of folders; empty when there is none.
struct RuleSearch {
    std::filesystem::path file;
    bool too_late = false;   // sorts after the rules that turn the tag into access
};
RuleSearch FindUdevRule(const std::filesystem::path& root);

// Makes a running udev read its rules again and apply them to the devices
// already attached. Says what it did, or why it did nothing.
std::string ReloadUdev();

struct AttachedDevice {
    std::filesystem::path node;
    int open_error = 0;   // errno of opening it the way the host does; 0 when it opened
};
std::vector<AttachedDevice> FindServedDevices(const std::filesystem::path& root);
