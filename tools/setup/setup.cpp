// bridge-host-setup: makes the bridge host known to the browsers on this
// machine, takes it away again, and says what keeps it from working.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "browsers.h"
#include "files.h"
#include "machine.h"
#include "manifest.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int EXIT_PROBLEMS = 1;
constexpr int EXIT_USAGE = 2;
constexpr int MANIFEST_INDENT = 2;
constexpr size_t MARK_WIDTH = 9;   // check's first column: "ok", "-" or "PROBLEM"
const char* const DEFAULT_HOST_NAME = "bridge_host";
const char* const HOST_FILE = "bridge-host";
const char* const COMMAND = "bridge-host-setup";

const char* const USAGE = R"(usage: bridge-host-setup install --extension ID [options]
       bridge-host-setup uninstall [options]
       bridge-host-setup check [--extension ID] [options]

  install    register the host with the browsers for the extensions given;
             as root, also install the udev rule that lets the user at the
             seat open the device, and system-wide manifests
  uninstall  remove what install wrote
  check      say what keeps an extension from reaching the device and what to
             do about it; exit status 0 only when nothing does

Options:
  --extension ID  an extension allowed to start the host: a Chromium-style ID
                  (32 letters a-p) or a Firefox add-on ID (name@domain or
                  {GUID}). Repeat for more. install needs at least one; check
                  then also makes sure the manifests allow it
  --browser NAME  only this browser (repeatable): chrome, chromium, edge,
                  brave, vivaldi, firefox. Default: all of them
  --name NAME     the host's name, as the extension asks for it
                  (default: bridge_host)
  --host PATH     the host program (default: the one installed with this command)
  --user          the current user's browser folders (default unless root)
  --system        the machine's browser folders (default for root)
  --dir DIR       the manifest in DIR instead, for a browser with folders of its
                  own (Chromium's format, Firefox's with --browser firefox)
  --home DIR      the home folder to use instead of $HOME
  --root DIR      the folder to use instead of / for the machine's files
  --help          this text
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool IsRoot()
{
    return geteuid() == 0;
}

struct Options {
    std::string verb;
    std::string name = DEFAULT_HOST_NAME;
    ExtensionIds ids;
    std::vector<const Browser*> browsers;   // empty: all of them
    Level level = IsRoot() ? Level::System : Level::User;
    std::string host;
    fs::path dir;
    Places places;
};

// A folder to hold one manifest, in one browser family's format.
struct Target {
    std::string label;   // the browser's name, or the folder given
    Family family;
    ManifestFolder where;
};

fs::path UserHome()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* user = getpwuid(geteuid()))
        return user->pw_dir;
    throw std::runtime_error("cannot tell the home folder; name it with --home DIR");
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

Options ParseArguments(const std::vector<std::string>& args)
{
    Options options;
    std::optional<fs::path> home, root;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw UsageError(option + " needs a value");
            return args[++i];
        };
        if (option == "--extension") {
            const std::string& id = value();
            if (!options.ids.Add(id))
                throw UsageError("\"" + id + "\" is neither a Chromium extension ID (32 letters a-p) "
                                 "nor a Firefox add-on ID (name@domain or {GUID})");
        } else if (option == "--browser") {
            const std::string& name = value();
            const Browser* browser = FindBrowser(name);
            if (!browser)
                throw UsageError("unknown browser \"" + name + "\"; known: " + BrowserNames());
            options.browsers.push_back(browser);
        } else if (option == "--name") {
            options.name = value();
            if (!IsValidHostName(options.name))
                throw UsageError("host name \"" + options.name +
                                 "\" must be lower-case letters, digits and underscores, "
                                 "in pieces joined by single dots");
        } else if (option == "--host") {
            options.host = fs::absolute(value()).lexically_normal();
        } else if (option == "--user") {
            options.level = Level::User;
        } else if (option == "--system") {
            options.level = Level::System;
        } else if (option == "--dir") {
            options.dir = fs::absolute(value()).lexically_normal();
        } else if (option == "--home") {
            home = value();
        } else if (option == "--root") {
            root = value();
        } else if (options.verb.empty() && !option.starts_with("-")) {
            options.verb = option;
        } else {
            throw UsageError("unknown option \"" + option + "\"");
        }
    }
    if (options.verb != "install" && options.verb != "uninstall" && options.verb != "check")
        throw UsageError(options.verb.empty() ? "no verb given" : "unknown verb \"" + options.verb + "\"");
    if (!options.dir.empty() && options.browsers.size() > 1)
        throw UsageError("--dir takes at most one --browser, for the manifest's format");
    options.places = FindPlaces(home, root);
    return options;
}

// The host installed with this command: beside it in the build tree, or in
// its own folder under the prefix once installed.
std::string DefaultHost()
{
    const fs::path folder = fs::read_symlink("/proc/self/exe").parent_path();
    for (const fs::path& candidate : {folder / HOST_FILE, folder / BRIDGE_HOST_FROM_SETUP / HOST_FILE})
        if (HostFault(candidate).empty())
            return fs::canonical(candidate);
    throw std::runtime_error("cannot find " + std::string(HOST_FILE) + " beside " + folder.string() +
                             " or where it is installed; name it with --host PATH");
}

std::string HostPath(const Options& options)
{
    if (options.host.empty())
        return DefaultHost();
    if (const std::string fault = HostFault(options.host); !fault.empty())
        throw std::runtime_error("the host " + fault);
    return options.host;
}

fs::path ManifestFile(const fs::path& folder, const Options& options)
{
    return folder / (options.name + ".json");
}

// Where the verb works. Browsers chosen by name must have a place; of all
// browsers, those without one are passed over.
std::vector<Target> FindTargets(const Options& options)
{
    if (!options.dir.empty()) {
        const bool firefox = !options.browsers.empty() && options.browsers[0]->family == Family::Firefox;
        return {{options.dir.string(), firefox ? Family::Firefox : Family::Chromium, {options.dir, options.dir}}};
    }
    const bool chosen = !options.browsers.empty();
    std::vector<Target> targets;
    for (const Browser& browser : KnownBrowsers()) {
        if (chosen && std::find(options.browsers.begin(), options.browsers.end(), &browser) == options.browsers.end())
            continue;
        const std::optional<ManifestFolder> where = FolderFor(browser, options.level, options.places);
        if (where)
            targets.push_back({browser.name, browser.family, *where});
        else if (chosen)
            throw UsageError(std::string(browser.name) + " has no system-wide folder known; use --user or --dir");
    }
    return targets;
}

void InstallUdevRule(const Options& options)
{
    const fs::path folder = AdminRulesFolder(options.places.root);
    MakeFolders(folder);
    WriteFileAtomically(folder / UDEV_RULE_FILE, UDEV_RULE);
    std::cout << "wrote " << (folder / UDEV_RULE_FILE).string() << "\n";
    if (options.places.root == "/")
        std::cout << ReloadUdev() << "\n";
}

int Install(const Options& options)
{
    if (options.ids.chromium.empty() && options.ids.firefox.empty())
        throw UsageError("install needs at least one --extension ID");
    const std::string host = HostPath(options);
    std::vector<std::pair<fs::path, std::string>> manifests;
    for (const Target& target : FindTargets(options)) {
        const std::vector<std::string>& ids = options.ids.For(target.family);
        if (ids.empty() && (!options.browsers.empty() || !options.dir.empty()))
            throw UsageError(std::string("no ") + (target.family == Family::Firefox ? "Firefox add-on" : "Chromium") +
                             " ID given for " + target.label);
        if (ids.empty()) {
            std::cout << "skipped " << target.label << ": no ID of its kind given\n";
            continue;
        }
        const json manifest = MakeManifest(target.family, options.name, host, ids);
        manifests.emplace_back(ManifestFile(target.where.folder, options), manifest.dump(MANIFEST_INDENT) + "\n");
    }
    if (manifests.empty())
        throw UsageError("no browser to install for");
    for (const auto& [file, text] : manifests) {
        MakeFolders(file.parent_path());
        WriteFileAtomically(file, text);
        std::cout << "wrote " << file.string() << "\n";
    }
    if (!options.dir.empty())
        return EXIT_SUCCESS;
    if (IsRoot())
        InstallUdevRule(options);
    else if (FindUdevRule(options.places.root).file.empty())
        std::cout << "note: no udev rule lets you open the device yet: install the bridge-host package, "
                     "or run this command as root\n";
    return EXIT_SUCCESS;
}

bool RemoveFile(const fs::path& file)
{
    if (!fs::is_regular_file(file))
        return false;
    fs::remove(file);
    std::cout << "removed " << file.string() << "\n";
    return true;
}

int Uninstall(const Options& options)
{
    bool removed = false;
    for (const Target& target : FindTargets(options)) {
        removed |= RemoveFile(ManifestFile(target.where.folder, options));
        RemoveEmptyFolders(target.where.base, target.where.folder);
    }
    if (IsRoot() && options.dir.empty() && RemoveFile(AdminRulesFolder(options.places.root) / UDEV_RULE_FILE)) {
        removed = true;
        if (options.places.root == "/")
            std::cout << ReloadUdev() << "\n";
    }
    if (!removed)
        std::cout << "nothing to remove\n";
    return EXIT_SUCCESS;
}

// check's findings, one line each, with what to do under each problem.
class Report {
public:
    void Ok(const std::string& subject, const std::string& text) { Line("ok", subject, text); }
    void Note(const std::string& subject, const std::string& text) { Line("-", subject, text); }
    void Problem(const std::string& subject, const std::string& text, const std::string& fix)
    {
        Line("PROBLEM", subject, text);
        std::cout << std::string(MARK_WIDTH, ' ') << "fix: " << fix << "\n";
        ++problems_;
    }
    int problems() const { return problems_; }

private:
    static void Line(const char* mark, const std::string& subject, const std::string& text)
    {
        std::cout << mark << std::string(MARK_WIDTH - std::strlen(mark), ' ') << subject << ": " << text << "\n";
    }
    int problems_ = 0;
};

std::string InstallCommand(const Options& options, const std::string& browser)
{
    std::string command = std::string(COMMAND) + " install";
    if (!browser.empty())
        command += " --browser " + browser;
    if (options.name != DEFAULT_HOST_NAME)
        command += " --name " + options.name;
    // The ID given to check, if it is of the browser's kind.
    std::vector<std::string> ids = options.ids.chromium;
    ids.insert(ids.end(), options.ids.firefox.begin(), options.ids.firefox.end());
    if (const Browser* known = FindBrowser(browser))
        ids = options.ids.For(known->family);
    command += " --extension " + (ids.empty() ? std::string("<ID>") : ids[0]);
    return command;
}

std::string Joined(const std::vector<std::string>& texts)
{
    std::string joined;
    for (const std::string& text : texts)
        joined += (joined.empty() ? "" : "; ") + text;
    return joined;
}

// Checks the manifest a browser would read; true when it would start the host.
bool CheckManifest(const fs::path& file, Family family, const std::string& subject, const std::string& browser,
                   const Options& options, Report& report)
{
    std::ifstream in(file);
    if (!in) {
        report.Problem(subject, file.string() + " cannot be read: " + std::strerror(errno),
                       "make it readable for this user: chmod a+r " + file.string());
        return false;
    }
    const json manifest = json::parse(in, nullptr, false);
    std::vector<std::string> faults = manifest.is_discarded()
                                          ? std::vector<std::string>{"it is not valid JSON"}
                                          : ManifestFaults(manifest, family, options.name, options.ids.For(family));
    if (faults.empty()) {
        const std::string host = manifest["path"];
        if (const std::string fault = HostFault(host); !fault.empty()) {
            report.Problem(subject, file.string() + ": the host " + fault,
                           "install the bridge host again, or point the manifest at it: " +
                               InstallCommand(options, browser) + " --host PATH");
            return false;
        }
        report.Ok(subject, file.string() + " starts " + host);
        return true;
    }
    report.Problem(subject, file.string() + ": " + Joined(faults),
                   "write it again: " + InstallCommand(options, browser));
    return false;
}

// A browser reads the user's manifest first and the machine's after it.
bool CheckBrowser(const Browser& browser, const Options& options, Report& report)
{
    std::vector<fs::path> places;
    for (const Level level : {Level::User, Level::System})
        if (const std::optional<ManifestFolder> where = FolderFor(browser, level, options.places))
            places.push_back(ManifestFile(where->folder, options));
    for (const fs::path& file : places) {
        std::error_code error;
        if (fs::exists(file, error))
            return CheckManifest(file, browser.family, browser.name, browser.name, options, report);
        if (error) {
            report.Problem(browser.name, "cannot look for " + file.string() + ": " + error.message(),
                           "let this user into the folders above it");
            return false;
        }
    }

    std::string looked = places[0].string();
    for (size_t i = 1; i < places.size(); ++i)
        looked += " nor " + places[i].string();
    if (options.browsers.empty() && !IsUsed(browser, options.places))
        report.Note(browser.name, "not used here, and no manifest");
    else
        report.Problem(browser.name, "no manifest: none in " + looked, InstallCommand(options, browser.name));
    return false;
}

void CheckBrowsers(const Options& options, Report& report)
{
    if (!options.dir.empty()) {
        const Target target = FindTargets(options)[0];
        const fs::path file = ManifestFile(target.where.folder, options);
        const std::string browser = target.family == Family::Firefox ? "firefox" : "";
        if (fs::exists(file))
            CheckManifest(file, target.family, file.string(), browser, options, report);
        else
            report.Problem(file.string(), "no manifest", InstallCommand(options, browser) + " --dir " + target.label);
        return;
    }
    const int problems_before = report.problems();
    bool any_works = false;
    for (const Browser& browser : KnownBrowsers())
        if (options.browsers.empty() ||
            std::find(options.browsers.begin(), options.browsers.end(), &browser) != options.browsers.end())
            any_works |= CheckBrowser(browser, options, report);
    if (!any_works && report.problems() == problems_before)
        report.Problem("browsers", "no browser here has a manifest for " + options.name,
                       InstallCommand(options, ""));
}

void CheckUdevRule(const Options& options, Report& report)
{
    const RuleSearch rule = FindUdevRule(options.places.root);
    if (rule.file.empty())
        report.Problem("udev rule", "none lets the user at the seat open 0acd:3820 devices",
                       "install the bridge-host package, or as root: " + InstallCommand(options, ""));
    else if (rule.too_late)
        report.Problem("udev rule", rule.file.string() + " sorts after 73-seat-late.rules, too late for its tag",
                       "rename it to begin with a number below 73, such as 70-");
    else
        report.Ok("udev rule", rule.file.string());
}

void CheckDevices(const Options& options, Report& report)
{
    const std::vector<AttachedDevice> devices = FindServedDevices(options.places.root);
    if (devices.empty())
        report.Problem("device", "no 0acd:3820 device is attached", "plug the device in");
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

int Check(const Options& options)
{
    Report report;
    CheckBrowsers(options, report);
    CheckUdevRule(options, report);
    CheckDevices(options, report);
    if (report.problems() == 0)
        return EXIT_SUCCESS;
    std::cout << report.problems() << (report.problems() == 1 ? " problem" : " problems")
              << (report.problems() == 1 ? " keeps" : " keep") << " the extension from reaching the device\n";
    return EXIT_PROBLEMS;
}

int Run(const Options& options)
{
    if (options.verb == "install")
        return Install(options);
    if (options.verb == "uninstall")
        return Uninstall(options);
    return Check(options);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
        std::cout << USAGE;
        return EXIT_SUCCESS;
    }
    try {
        return Run(ParseArguments(args));
    } catch (const UsageError& e) {
        std::cerr << COMMAND << ": " << e.what() << "\n" << "Try '" << COMMAND << " --help'.\n";
        return EXIT_USAGE;
    } catch (const std::exception& e) {
        std::cerr << COMMAND << ": " << e.what() << "\n";
        return EXIT_PROBLEMS;
    }
}
