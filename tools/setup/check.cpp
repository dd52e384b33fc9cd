// check: what keeps an extension from reaching the device, found the way the
// browser and the device would find it, and what to do about each problem.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "directory.h"
#include "files.h"
#include "host.h"
#include "machine.h"
#include "policy.h"
#include "report.h"
#include "setup.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::chrono::seconds HOST_PATIENCE{3};
constexpr size_t LOG_LINES_SHOWN = 5;
const char* const REQUEST = R"({"call":"getDevices"})";
const char* const OPEN_REQUEST = R"({"call":"open"})";

// The hosts that answered getDevices, for the device checks after the browsers'.
std::vector<std::string> answering_hosts;

std::string Listed(const std::vector<std::string>& texts, const std::string& between)
{
    std::string listed;
    for (const std::string& text : texts)
        listed += (listed.empty() ? "" : between) + text;
    return listed;
}

// How a line names the manifest: not again where its subject is the manifest's path.
std::string Named(const fs::path& file, const std::string& subject)
{
    return subject == file.string() ? "it" : file.string();
}
std::string Before(const fs::path& file, const std::string& subject)
{
    return subject == file.string() ? "" : file.string() + ": ";
}

std::vector<std::string> LastLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (lines.size() > LOG_LINES_SHOWN)
        lines.erase(lines.begin(), lines.end() - LOG_LINES_SHOWN);
    return lines;
}

bool IsDevicesReply(const std::string& body)
{
    const json reply = json::parse(body, nullptr, false);
    return reply.is_object() && reply.value("call", json()) == "getDevices" && reply.contains("response");
}

std::string HowItEnded(const HostRun& run)
{
    if (run.signal != 0)
        return "is ended by signal " + std::to_string(run.signal) + " (" + run.signal_name + ")";
    return "ends with exit status " + std::to_string(run.exit_status);
}

// What went wrong in the run, or "" when it went as a browser needs.
std::string RunFault(const HostRun& run)
{
    const std::string patience = std::to_string(HOST_PATIENCE.count()) + " s";
    if (!run.start_error.empty())
        return "cannot be started: " + run.start_error;
    if (run.ended_before_reply)
        return HowItEnded(run) + " at once, without a reply to getDevices";
    if (!run.reply)
        return "gives no reply to getDevices within " + patience;
    if (!IsDevicesReply(*run.reply))
        return "replies " + run.reply->substr(0, 200) + " instead of a getDevices reply";
    if (!run.ended)
        return "does not end within " + patience + " of its input closing";
    if (run.exit_status != 0)
        return HowItEnded(run) + " when its input closes";
    return "";
}

// The extension the browser would start the host for: one given to check, or
// the first the manifest allows.
std::string CallerId(const json& manifest, Family family, const Options& options)
{
    const std::vector<std::string>& given = options.ids.For(family);
    if (!given.empty())
        return given[0];
    const std::vector<std::string> allowed = AllowedIds(manifest, family);
    return allowed.empty() ? "" : allowed[0];
}

// Starts the host the manifest names as that browser would, and says how it went.
bool CheckHostRuns(const fs::path& file, const json& manifest, Family family, const std::string& subject,
                   const std::string& browser, const Options& options, Report& report)
{
    const std::string program = manifest["path"];
    // The log wrapper would move the log of the run that failed: start its host instead.
    std::string host = program, log;
    const bool logged = ReadLogWrapper(program, host, log);
    const std::string fix_host = "install the bridge host again, or point the manifest at it: " +
                                 InstallCommand(options, browser) + " --host PATH";
    if (const std::string fault = HostFault(host); !fault.empty()) {
        report.Problem(subject, Before(file, subject) + "the host " + fault, fix_host);
        return false;
    }
    const std::string id = CallerId(manifest, family, options);
    const std::vector<std::string> args = family == Family::Chromium
                                              ? std::vector<std::string>{CallerArgument(family, id)}
                                              : std::vector<std::string>{file.string(), id};
    const HostRun run = RunHostOnce(host, args, REQUEST, HOST_PATIENCE);
    if (const std::string fault = RunFault(run); !fault.empty()) {
        report.Problem(subject, Named(file, subject) + " starts " + host + ", which " + fault, fix_host);
        report.Details("the end of its log:", LastLines(run.log));
        return false;
    }
    report.Ok(subject, Named(file, subject) + " starts " + host + ", which answers getDevices" +
                           (logged ? "; its log goes to " + log + ", the run before's to " + log + ".1" : ""));
    answering_hosts.push_back(host);
    return true;
}

// Checks the manifest a browser would read; true when it would start the host.
bool CheckManifest(const fs::path& file, Family family, const std::string& subject, const std::string& browser,
                   const Options& options, Report& report)
{
    std::string text;
    if (!ReadFileText(file, text)) {
        report.Problem(subject, Named(file, subject) + " cannot be read: " + std::strerror(errno),
                       "make it readable for this user: chmod a+r " + file.string());
        return false;
    }
    std::string error;
    json manifest = ParseManifest(text, error);
    if (manifest.is_object() && manifest.value("path", json()).is_string())
        manifest["path"] = HostNamedBy(file, manifest["path"]);
    const std::vector<std::string> faults =
        error.empty() ? ManifestFaults(manifest, family, options.name, options.ids.For(family))
                      : std::vector<std::string>{"it is not valid JSON: " + error};
    if (!faults.empty()) {
        report.Problem(subject, Before(file, subject) + Listed(faults, "; "),
                       "write it again: " + InstallCommand(options, browser));
        return false;
    }
    return CheckHostRuns(file, manifest, family, subject, browser, options, report);
}

// A snap or Flatpak Firefox reads the ordinary manifest folders through its helper.
bool FirefoxInSandbox(const Options& options)
{
    for (const SandboxedInstall& install : FindSandboxedInstalls(options.places))
        if (install.browser->family == Family::Firefox)
            return true;
    return false;
}

// A browser reads the manifests of the user and of the machine in its order,
// the user's only where its policies let it, and starts a host they do not refuse.
bool CheckBrowser(const Browser& browser, const Options& options, Report& report)
{
    const std::optional<PolicyRefusal> user_refused = UserLevelRefusal(browser, options);
    std::vector<std::string> places, machine_places;
    std::optional<fs::path> passed_over;
    for (const Level level : LookupOrder(browser)) {
        for (const ManifestFolder& where : FoldersFor(browser, level, options.places)) {
            const fs::path own = ManifestFile(where, options);
            places.push_back(LookupPlace(where, options.name, own));
            if (level == Level::System)
                machine_places.push_back(places.back());
            std::error_code error;
            const std::optional<fs::path> file = FoundManifest(where, options.name, own, error);
            if (file && level == Level::User && user_refused) {
                passed_over = file;
            } else if (file) {
                if (const std::optional<PolicyRefusal> refused = NameRefusal(browser, options)) {
                    report.Problem(browser.name, refused->text, refused->fix);
                    return false;
                }
                if (passed_over)
                    report.Note(browser.name, passed_over->string() + " is passed over: " + user_refused->text);
                return CheckManifest(*file, browser.family, browser.name, browser.name, options, report);
            }
            if (error) {
                report.Problem(browser.name, "cannot look for " + places.back() + ": " + error.message(),
                               "let this user into the folders above it");
                return false;
            }
        }
    }

    if (passed_over) {
        report.Problem(browser.name,
                       passed_over->string() + " is passed over: " + user_refused->text +
                           (machine_places.empty() ? "" : "; none is in " + Listed(machine_places, " nor ")),
                       user_refused->fix);
        return false;
    }
    const bool used = IsUsed(browser, options.places) ||
                      (browser.family == Family::Firefox && FirefoxInSandbox(options));
    if (options.browsers.empty() && !used)
        report.Note(browser.name, "not used here, and no manifest");
    else if (user_refused)
        report.Problem(browser.name, "no manifest: none in " + Listed(places, " nor ") + "; " + user_refused->text,
                       user_refused->fix);
    else
        report.Problem(browser.name, "no manifest: none in " + Listed(places, " nor "),
                       InstallCommand(options, browser.name));
    return false;
}

void CheckSandbox(const SandboxedInstall& install, Report& report)
{
    const std::string subject =
        std::string(install.browser->name) + (install.kind == Sandbox::Snap ? " (snap)" : " (Flatpak)");
    const std::string found = install.found.string() + " shows it; ";
    if (!install.helper) {
        report.Problem(subject, found + "a Chromium-based browser in a snap or Flatpak cannot start a host outside "
                                        "its sandbox, whatever manifest there is",
                       "use the browser from its own .deb package (Chrome, Edge, Brave and Vivaldi ship one; "
                       "Chromium is Debian's chromium package), with the manifests this command writes");
        return;
    }
    const std::string how = install.kind == Sandbox::Snap
                                ? "it starts hosts outside its sandbox through the desktop portal's WebExtensions "
                                  "interface, which reads the manifest folders above"
                                : "from Firefox 157 on it starts hosts outside its sandbox through "
                                  "xdg-native-messaging-proxy, which reads the manifest folders above";
    if (install.helper_installed)
        report.Ok(subject, found + how + "; " + install.helper + " is installed");
    else
        report.Problem(subject, found + how + ", and " + install.helper + " is not installed",
                       std::string("install the ") + install.helper + " package");
}

void CheckDir(const Options& options, Report& report)
{
    if (const std::string fault = DirFault(options); !fault.empty()) {
        const std::string folder = (options.dir / "NativeMessagingHosts").string();
        report.Problem(options.dir.string(), fault, "check and install with --dir " + folder);
        return;
    }
    const Target target = FindTargets(options)[0];
    const fs::path file = ManifestFile(target.where, options);
    const std::string browser = target.family == Family::Firefox ? "firefox" : "";
    if (fs::exists(file))
        CheckManifest(file, target.family, file.string(), browser, options, report);
    else
        report.Problem(file.string(), "no manifest", InstallCommand(options, browser) + " --dir " + target.label);
}

void CheckBrowsers(const Options& options, Report& report)
{
    if (!options.dir.empty())
        return CheckDir(options, report);
    const int problems_before = report.problems();
    bool any_works = false;
    for (const Browser& browser : KnownBrowsers())
        if (options.Chosen(browser))
            any_works |= CheckBrowser(browser, options, report);
    for (const SandboxedInstall& install : FindSandboxedInstalls(options.places))
        if (options.Chosen(*install.browser))
            CheckSandbox(install, report);
    if (!any_works && report.problems() == problems_before)
        report.Problem("browsers", "no browser here has a manifest for " + options.name,
                       InstallCommand(options, ""));
}

// A host on virtual devices needs neither udev nor the device, but a virtual
// device of the served kind that it can open: the one the browser's
// environment points it to, which check's own stands in for.
void CheckVirtualDevice(const std::string& host, Report& report)
{
    const char* const variable = std::getenv(hidsim::DIR_VARIABLE);
    report.Note("device", host + " works on virtual devices: the udev rule and the device do not apply");
    const HostRun run = RunHostOnce(host, {}, OPEN_REQUEST, HOST_PATIENCE);
    const json reply = run.reply ? json::parse(*run.reply, nullptr, false) : json();
    const json response = reply.is_object() ? reply.value("response", json()) : json();
    const std::string where = "in " + hidsim::DefaultDir() +
                              (variable && *variable ? " ($HIDSIM_DIR)" : " ($HIDSIM_DIR is unset)");
    if (response.is_object() && response.value("success", json()) == "Device Open") {
        report.Ok("virtual device", std::string("a virtual ") + SERVED_IDS + " device " + where + " answers " + host);
        return;
    }
    report.Problem("virtual device",
                   std::string("no virtual ") + SERVED_IDS + " device " + where + " answers " + host +
                       (run.reply ? ": it replies " + run.reply->substr(0, 200)
                                  : !run.start_error.empty() ? ": it cannot be started: " + run.start_error
                                                             : ": it gives no reply to open"),
                   "start one with bridge-sim-device, with the same HIDSIM_DIR as the browser");
}

}  // namespace

int Check(const Options& options)
{
    Report report;
    CheckBrowsers(options, report);
    // What the device checks look at depends on the host the browsers start.
    const bool virtual_host =
        IsVirtualHost(options.host) ||
        (!answering_hosts.empty() && std::all_of(answering_hosts.begin(), answering_hosts.end(), IsVirtualHost));
    if (virtual_host)
        CheckVirtualDevice(options.host.empty() ? answering_hosts[0] : options.host, report);
    else
        CheckMachine(options, report);
    if (report.problems() == 0)
        return EXIT_SUCCESS;
    std::cout << report.problems() << (report.problems() == 1 ? " problem" : " problems")
              << (report.problems() == 1 ? " keeps" : " keep") << " the extension from reaching the device\n";
    return EXIT_PROBLEMS;
}
