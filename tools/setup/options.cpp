// The setup command's options, and the places they lead to.
#include <algorithm>
#include <functional>
#include <iostream>
#include <optional>

#include "host.h"
#include "machine.h"
#include "setup.h"

namespace fs = std::filesystem;

const char* const USAGE = R"(usage: bridge-host-setup install --extension ID [options]
       bridge-host-setup uninstall [--extension ID] [options]
       bridge-host-setup check [--extension ID] [options]

  install    register the host with the browsers for the extensions given,
             keeping the extensions their manifests allow already; as root,
             also the udev rule that lets the user at the seat open the
             device (unless the package's is in place), and system-wide
             manifests
  uninstall  remove what install wrote; with --extension, only those
             extensions, and a manifest when none is left in it
  check      start the host the way each browser does, and say what keeps an
             extension from reaching the device and what to do about it;
             exit status 0 only when nothing does

Options:
  --extension ID  an extension allowed to start the host: a Chromium-style ID
                  (32 letters a-p, or chrome-extension://ID/) or a Firefox
                  add-on ID (name@domain or {GUID}). Repeat for more. install
                  needs at least one; check then also makes sure the manifests
                  allow it
  --replace       install: allow only the extensions given
  --browser NAME  only this browser (repeatable): chrome, chromium, edge,
                  brave, vivaldi, firefox. Default: all of them
  --name NAME     the host's name, as the extension asks for it
                  (default: bridge_host)
  --host PATH     the host program (default: the one installed with this command)
  --log FILE      install: have the host's log written to FILE, the previous
                  run's kept as FILE.1
  --user          the current user's browser folders (default unless root)
  --system        the machine's browser folders (default for root)
  --dir DIR       the manifest in DIR instead, for a browser with folders of its
                  own (Chromium's format, Firefox's with --browser firefox)
  --home DIR      the home folder to use instead of $HOME
  --root DIR      the folder to use instead of / for the machine's files
  --help          this text
)";

namespace {

fs::path AbsolutePath(const std::string& text)
{
    return fs::absolute(text).lexically_normal();
}

// One option and its value, if it takes one; false for an unknown option.
bool TakeOption(const std::string& option, const std::function<const std::string&()>& value, Options& options,
                std::optional<fs::path>& home, std::optional<fs::path>& root)
{
    if (option == "--extension") {
        const std::string& id = value();
        if (const std::string fault = options.ids.Add(id); !fault.empty())
            throw UsageError("\"" + id + "\" " + fault);
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
                             "\" must be lower-case letters, digits and underscores, in pieces joined by single dots");
    } else if (option == "--host") {
        options.host = AbsolutePath(value()).string();
    } else if (option == "--log") {
        options.log = AbsolutePath(value());
    } else if (option == "--replace") {
        options.replace = true;
    } else if (option == "--user") {
        options.level = Level::User;
    } else if (option == "--system") {
        options.level = Level::System;
    } else if (option == "--dir") {
        options.dir = AbsolutePath(value());
    } else if (option == "--home") {
        home = value();
    } else if (option == "--root") {
        root = value();
    } else {
        return false;
    }
    return true;
}

void CheckCombinations(const Options& options)
{
    if (options.verb != "install" && options.verb != "uninstall" && options.verb != "check")
        throw UsageError(options.verb.empty() ? "no verb given" : "unknown verb \"" + options.verb + "\"");
    if (const std::string fault = SystemOptionFault(options); !fault.empty())
        throw UsageError(fault);
    if (!options.dir.empty() && options.browsers.size() > 1)
        throw UsageError("--dir takes at most one --browser, for the manifest's format");
    if (options.verb != "install" && (options.replace || !options.log.empty()))
        throw UsageError("--replace and --log are for install");
    if (!options.log.empty())
        if (const std::string fault = LogFault(options.log); !fault.empty())
            throw UsageError("cannot keep the log " + options.log.string() + ": " + fault);
}

// The host installed with this command: beside it in the build tree, or in
// its own folder under the prefix once installed.
std::string DefaultHost()
{
    const fs::path folder = OwnFolder();
    for (const fs::path& candidate : {folder / HOST_FILE, folder / BRIDGE_HOST_FROM_SETUP / HOST_FILE})
        if (HostFault(candidate.string()).empty())
            return fs::canonical(candidate).string();
    throw std::runtime_error("cannot find " + std::string(HOST_FILE) + " beside " + folder.string() +
                             " or where it is installed; name it with --host PATH");
}

}  // namespace

const Browser* FindBrowser(const std::string& name)
{
    for (const Browser& browser : KnownBrowsers())
        if (name == browser.name)
            return &browser;
    return nullptr;
}

std::string BrowserNames()
{
    std::string names;
    for (const Browser& browser : KnownBrowsers())
        names += (names.empty() ? "" : ", ") + std::string(browser.name);
    return names;
}

const fs::path& UserBase(const Browser& browser, const Places& places)
{
    return browser.family == Family::Firefox ? places.home : places.config_home;
}

bool Options::Chosen(const Browser& browser) const
{
    return browsers.empty() || std::find(browsers.begin(), browsers.end(), &browser) != browsers.end();
}

Options ParseArguments(const std::vector<std::string>& args)
{
    Options options;
    options.level = IsRoot() ? Level::System : Level::User;
    std::optional<fs::path> home, root;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw UsageError(option + " needs a value");
            return args[++i];
        };
        if (TakeOption(option, value, options, home, root))
            continue;
        if (!options.verb.empty() || option.starts_with("-"))
            throw UsageError("unknown option \"" + option + "\"");
        options.verb = option;
    }
    CheckCombinations(options);
    options.places = FindPlaces(home, root);
    return options;
}

std::vector<Target> FindTargets(const Options& options, bool say_passed_over)
{
    if (!options.dir.empty()) {
        const bool firefox = !options.browsers.empty() && options.browsers[0]->family == Family::Firefox;
        return {{options.dir.string(), firefox ? Family::Firefox : Family::Chromium, {options.dir, options.dir, "", ""}}};
    }
    const bool chosen = !options.browsers.empty();
    std::vector<Target> targets;
    for (const Browser& browser : KnownBrowsers()) {
        if (!options.Chosen(browser))
            continue;
        const std::vector<ManifestFolder> folders = FoldersFor(browser, options.level, options.places);
        for (const ManifestFolder& where : folders)
            targets.push_back({browser.name, browser.family, where});
        if (!folders.empty())
            continue;
        if (chosen)
            throw UsageError(std::string(browser.name) + " has no system-wide folder known; use --user or --dir");
        else if (say_passed_over)
            std::cout << "skipped " << browser.name
                      << ": it reads manifests from each user's folders only; run this command as that user\n";
    }
    return targets;
}

fs::path ManifestFile(const ManifestFolder& where, const Options& options)
{
    return where.folder / (options.name + where.file_tag + ".json");
}

std::string HostPath(const Options& options)
{
    if (options.host.empty())
        return DefaultHost();
    if (const std::string fault = HostFault(options.host); !fault.empty())
        throw std::runtime_error("the host " + fault);
    return options.host;
}

bool IsVirtualHost(const std::string& host)
{
    return fs::path(host).stem() == "bridge-host-sim";
}

std::string DirFault(const Options& options)
{
    std::error_code error;
    if (options.dir.empty() ||
        (!fs::exists(options.dir / "Local State", error) && !fs::is_directory(options.dir / "Default", error)))
        return "";
    return options.dir.string() + " is a browser's profile folder; a browser started with --user-data-dir=" +
           options.dir.string() + " reads its manifests from " + (options.dir / "NativeMessagingHosts").string();
}

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
