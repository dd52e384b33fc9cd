#include "machine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "udev_rule.h"

namespace fs = std::filesystem;

extern char** environ;

const char* const UDEV_RULE = UDEV_RULE_TEXT;
const char* const UDEV_RULE_FILE = "70-bridge-host.rules";

namespace {

// udev reads every *.rules file in these folders in the order of the file
// names; a name found in an earlier folder hides the same name further down.
const char* const RULE_FOLDERS[] = {"etc/udev/rules.d", "run/udev/rules.d", "usr/local/lib/udev/rules.d",
                                    "usr/lib/udev/rules.d", "lib/udev/rules.d"};
// Where the uaccess tag is turned into an access list for the seat's user.
const std::string SEAT_RULES = "73-seat-late.rules";

const std::string SERVED_HID_ID = "HID_ID=";
const unsigned SERVED_VENDOR = 0x0ACD;
const unsigned SERVED_PRODUCT = 0x3820;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool GrantsServedDevice(const std::string& line)
{
    const std::string rule = Lower(line);
    return !rule.starts_with("#") && rule.find("attrs{idvendor}==\"0acd\"") != std::string::npos &&
           rule.find("attrs{idproduct}==\"3820\"") != std::string::npos &&
           rule.find("tag+=\"uaccess\"") != std::string::npos;
}

bool FileGrantsServedDevice(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (GrantsServedDevice(line))
            return true;
    return false;
}

// The files udev would read, by name, each from the first folder that has it.
std::vector<fs::path> EffectiveRuleFiles(const fs::path& root)
{
    std::set<std::string> seen;
    std::vector<fs::path> files;
    for (const char* folder : RULE_FOLDERS) {
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(root / folder, error)) {
            const std::string name = entry.path().filename();
            if (entry.path().extension() == ".rules" && seen.insert(name).second)
                files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    return files;
}

bool RunQuietly(const std::vector<const char*>& command)
{
    std::vector<char*> argv;
    for (const char* word : command)
        argv.push_back(const_cast<char*>(word));
    argv.push_back(nullptr);
    pid_t child;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// "HID_ID=0003:00000ACD:00003820" in a hidraw node's uevent: bus, vendor, product.
bool IsServedDevice(const fs::path& uevent)
{
    std::ifstream in(uevent);
    std::string line;
    while (std::getline(in, line)) {
        unsigned bus, vendor, product;
        if (line.starts_with(SERVED_HID_ID) &&
            sscanf(line.c_str() + SERVED_HID_ID.size(), "%x:%x:%x", &bus, &vendor, &product) == 3)
            return vendor == SERVED_VENDOR && product == SERVED_PRODUCT;
    }
    return false;
}

// Opens the node the way the host does, for reading and writing.
int OpenError(const fs::path& node)
{
    const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

}  // namespace

fs::path AdminRulesFolder(const fs::path& root)
{
    return root / RULE_FOLDERS[0];
}

RuleSearch FindUdevRule(const fs::path& root)
{
    for (const fs::path& file : EffectiveRuleFiles(root))
        if (FileGrantsServedDevice(file))
            return {file, file.filename().string() >= SEAT_RULES};
    return {};
}

std::string ReloadUdev()
{
    // udev listens on this socket while it runs; in a container or a chroot
    // there is nobody to tell, and it reads the rule when it next starts.
    std::error_code error;
    if (!fs::exists("/run/udev/control", error))
        return "udev is not running here: the rule takes effect when it starts";
    if (!RunQuietly({"udevadm", "control", "--reload-rules"}))
        return "udevadm could not reload the rules: run udevadm control --reload-rules";
    // Devices attached before the rule existed get it applied now.
    RunQuietly({"udevadm", "trigger", "--action=change", "--subsystem-match=hidraw"});
    return "udev reloaded its rules";
}

std::vector<AttachedDevice> FindServedDevices(const fs::path& root)
{
    std::vector<AttachedDevice> devices;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(root / "sys/class/hidraw", error)) {
        if (!IsServedDevice(entry.path() / "device/uevent"))
            continue;
        const fs::path node = root / "dev" / entry.path().filename();
        devices.push_back({node, OpenError(node)});
    }
    std::sort(devices.begin(), devices.end(),
              [](const AttachedDevice& a, const AttachedDevice& b) { return a.node < b.node; });
    return devices;
}
