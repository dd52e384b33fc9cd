#include "machine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <map>
#include <optional>
#include <stdexcept>

#include <grp.h>
#include <pwd.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "files.h"
#include "report.h"
#include "setup.h"
#include "udev_rule.h"

namespace fs = std::filesystem;

extern char** environ;

const char* const UDEV_RULE = UDEV_RULE_TEXT;
const char* const UDEV_RULE_FILE = "70-bridge-host.rules";
const char* const ADMINISTRATOR = "root";

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

// The value of KEY="value" or KEY=="value" in a lower-cased rule line, or "".
std::string ValueOf(const std::string& rule, const std::string& key)
{
    for (size_t at = rule.find(key); at != std::string::npos; at = rule.find(key, at + 1)) {
        // MODE= must not be found inside another key's name.
        if (at > 0 && (std::isalnum(static_cast<unsigned char>(rule[at - 1])) || rule[at - 1] == '_'))
            continue;
        size_t value = rule.find_first_not_of(" \t", at + key.size());
        if (value < rule.size() && rule[value] == ':')
            ++value;
        if (value >= rule.size() || rule[value] != '=')
            continue;
        while (value < rule.size() && (rule[value] == '=' || rule[value] == ' '))
            ++value;
        if (value >= rule.size() || rule[value] != '"')
            continue;
        const size_t close = rule.find('"', value + 1);
        return close == std::string::npos ? "" : rule.substr(value + 1, close - value - 1);
    }
    return "";
}

bool MatchesServedDevice(const std::string& rule)
{
    return !rule.starts_with("#") && rule.find("{idvendor}==\"0acd\"") != std::string::npos &&
           rule.find("{idproduct}==\"3820\"") != std::string::npos;
}

// What the file's lines for our device grant, together; nothing when no line
// grants anything.
std::optional<UdevGrant> GrantOf(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    UdevGrant grant;
    grant.file = file;
    bool grants = false;
    while (std::getline(in, line)) {
        const std::string rule = Lower(line);
        if (!MatchesServedDevice(rule))
            continue;
        if (rule.find("tag+=\"uaccess\"") != std::string::npos) {
            grant.uaccess = grants = true;
            grant.too_late = file.filename().string() >= SEAT_RULES;
        }
        if (const std::string mode = ValueOf(rule, "mode"); !mode.empty()) {
            grant.mode = static_cast<int>(std::strtol(mode.c_str(), nullptr, 8));
            grants = true;
        }
        if (const std::string group = ValueOf(line, "GROUP"); !group.empty()) {
            grant.group = group;
            grants = true;
        }
    }
    if (!grants)
        return std::nullopt;
    return grant;
}

// The rule files udev would read, by name, each from the first folder that
// has it; a name whose first file is a mask hides the later ones.
struct RuleFiles {
    std::vector<fs::path> used;
    std::vector<MaskedRule> masked;
};
RuleFiles EffectiveRuleFiles(const fs::path& root, const fs::path& left_out)
{
    std::map<std::string, fs::path> first;
    RuleFiles files;
    for (const char* folder : RULE_FOLDERS) {
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(root / folder, error)) {
            const std::string name = entry.path().filename();
            if (entry.path().extension() != ".rules" || entry.path() == left_out)
                continue;
            const auto [earlier, is_first] = first.emplace(name, entry.path());
            if (is_first)
                files.used.push_back(entry.path());
            else if (IsMask(earlier->second) && GrantOf(entry.path()))
                files.masked.push_back({entry.path(), earlier->second});
        }
    }
    std::sort(files.used.begin(), files.used.end(),
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

void InstallUdevRule(const Options& options)
{
    const fs::path copy = AdminRulesFolder(options.places.root) / UDEV_RULE_FILE;
    if (IsMask(copy)) {
        std::cout << "udev rule left alone: " << copy.string() << " is a link to /dev/null, which switches it off\n";
        return;
    }
    // The package's rule has the same name: a copy in the admin's folder would hide it.
    for (const UdevGrant& grant : FindUdevRules(options.places.root, copy).grants) {
        if (grant.uaccess && !grant.too_late) {
            std::cout << "udev rule: " << grant.file.string() << " is in place already\n";
            RemoveFile(copy);
            return;
        }
    }
    MakeFolders(copy.parent_path());
    WriteFileAtomically(copy, UDEV_RULE);
    std::cout << "wrote " << copy.string() << "\n";
    if (options.places.root == "/")
        std::cout << ReloadUdev() << "\n";
}

// The udev rule serves every browser: it stays while any of their machine-wide
// manifests does.
bool AnySystemManifestLeft(const Options& options)
{
    for (const Browser& browser : KnownBrowsers())
        for (const ManifestFolder& where : FoldersFor(browser, Level::System, options.places))
            if (fs::exists(ManifestFile(where, options)))
                return true;
    return false;
}


std::string Octal(int mode)
{
    std::ostringstream text;
    text << '0' << std::oct << mode;
    return text.str();
}

// What the rules grant. Where an attached device opens, it has shown that
// access works, and what the rules lack is only noted.
void CheckUdevRules(const Options& options, bool device_opens, Report& report)
{
    const char* const subject = "udev rule";
    const auto problem = [&](const std::string& text, const std::string& fix) {
        if (device_opens)
            report.Note(subject, text + ", but the attached device opens");
        else
            report.Problem(subject, text, fix);
    };
    const UdevRules rules = FindUdevRules(options.places.root);
    for (const MaskedRule& masked : rules.masked)
        problem(masked.file.string() + " is masked by " + masked.mask.string() + ", a link to /dev/null",
                "if the rule is to apply, remove the link: sudo rm " + masked.mask.string());
    for (const UdevGrant& grant : rules.grants) {
        const std::string file = grant.file.string();
        if (grant.uaccess && grant.too_late)
            problem(file + " sorts after 73-seat-late.rules, too late for its tag",
                    "rename it to begin with a number below 73, such as 70-");
        else if (grant.uaccess)
            report.Ok(subject, file + " gives the device to the user at the seat (TAG+=\"uaccess\")");
        if (grant.mode >= 0 && (grant.mode & 06) == 06)
            report.Warning(subject, file + " lets every user of this machine open the device (MODE=\"" +
                                        Octal(grant.mode) + "\")",
                           "TAG+=\"uaccess\" instead gives it to the user at the seat only");
        else if (!grant.group.empty() && grant.mode >= 0 && (grant.mode & 060) == 060 && IsInGroup(grant.group))
            report.Ok(subject, file + " lets the group " + grant.group + " open the device, and " + UserName() +
                                   " is in it");
        else if (!grant.group.empty() && grant.mode >= 0 && (grant.mode & 060) == 060)
            problem(file + " lets the group " + grant.group + " open the device, and " + UserName() + " is not in it",
                    "sudo usermod -aG " + grant.group + " " + UserName() + ", then log in again");
    }
    if (rules.grants.empty() && rules.masked.empty())
        problem(std::string("none lets the user at the seat open ") + SERVED_IDS + " devices",
                "install the bridge-host package, or as root: " + InstallCommand(options, ""));
}

// Opening an attached device decides whether this user can; without one, the rules do.
void CheckAccess(const Options& options, Report& report)
{
    const std::vector<AttachedDevice> devices = FindServedDevices(options.places.root);
    const bool opens = std::any_of(devices.begin(), devices.end(),
                                   [](const AttachedDevice& device) { return device.open_error == 0; });
    CheckUdevRules(options, opens, report);
    if (devices.empty())
        report.Problem("device", std::string("no ") + SERVED_IDS + " device is attached", "plug the device in");
    for (const AttachedDevice& device : devices) {
        const std::string node = device.node.string();
        if (device.open_error == 0)
            report.Ok("device", node + " can be opened by this user");
        else if (device.open_error == EACCES || device.open_error == EPERM)
            report.Problem("device", node + " cannot be opened by this user: " + std::strerror(device.open_error),
                           "with the udev rule in place, log in at the seat, then unplug the device and plug it "
                           "in again (or as root: udevadm trigger --action=change --subsystem-match=hidraw)");
        else
            report.Problem("device", node + " cannot be opened: " + std::strerror(device.open_error),
                           "unplug the device and plug it in again");
    }
}

}  // namespace

fs::path AdminRulesFolder(const fs::path& root)
{
    return root / RULE_FOLDERS[0];
}

UdevRules FindUdevRules(const fs::path& root, const fs::path& left_out)
{
    const RuleFiles files = EffectiveRuleFiles(root, left_out);
    UdevRules rules{{}, files.masked};
    for (const fs::path& file : files.used)
        if (const std::optional<UdevGrant> grant = GrantOf(file))
            rules.grants.push_back(*grant);
    return rules;
}

// udev's way to switch off a packaged rule: a link to /dev/null in an earlier folder.
bool IsMask(const fs::path& file)
{
    std::error_code error;
    return fs::is_symlink(file, error) && fs::read_symlink(file, error) == "/dev/null";
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

bool IsRoot()
{
    return geteuid() == 0;
}

std::string UserName()
{
    const passwd* user = getpwuid(geteuid());
    return user ? user->pw_name : std::to_string(geteuid());
}

bool IsInGroup(const std::string& name)
{
    const group* wanted = getgrnam(name.c_str());
    if (!wanted)
        return false;
    if (getegid() == wanted->gr_gid)
        return true;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    const int count = getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    return std::find(groups.begin(), groups.end(), wanted->gr_gid) != groups.end();
}

fs::path UserHome()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* user = getpwuid(geteuid()))
        return user->pw_dir;
    throw std::runtime_error("cannot tell the home folder; name it with --home DIR");
}

fs::path OwnFolder()
{
    return fs::read_symlink("/proc/self/exe").parent_path();
}

std::string SystemOptionFault(const Options&)
{
    return "";
}

// The udev rule belongs to the machine: only a --system install writes it,
// and a --user one touches nothing outside the user's folders. The host on
// virtual devices needs no rule.
void InstallMachineParts(const Options& options)
{
    if (IsRoot() && options.level == Level::System)
        InstallUdevRule(options);
    else if (!IsVirtualHost(options.host) && FindUdevRules(options.places.root).grants.empty())
        std::cout << "note: no udev rule lets users open the device yet: install the bridge-host package, "
                     "or as root: " << InstallCommand(options, "") << " --system\n";
}

bool UninstallMachineParts(const Options& options)
{
    if (!IsRoot() || options.level != Level::System || AnySystemManifestLeft(options) ||
        !RemoveFile(AdminRulesFolder(options.places.root) / UDEV_RULE_FILE))
        return false;
    if (options.places.root == "/")
        std::cout << ReloadUdev() << "\n";
    return true;
}

void CheckMachine(const Options& options, Report& report)
{
    CheckAccess(options, report);
}
