// install and uninstall: the manifests, the log wrapper, and root's udev rule.
#include <iostream>
#include <optional>

#include <nlohmann/json.hpp>

#include "files.h"
#include "host.h"
#include "machine.h"
#include "setup.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int MANIFEST_INDENT = 2;

// A file install is about to write.
struct Planned {
    fs::path file;
    std::string text;
    bool executable = false;
};

// The manifest in the file, or null when there is none or it is not JSON.
json ExistingManifest(const fs::path& file, std::string& error)
{
    std::string text;
    if (!fs::is_regular_file(file) || !ReadFileText(file, text))
        return json();
    return ParseManifest(text, error);
}

std::string Listed(const std::vector<std::string>& ids)
{
    std::string list;
    for (const std::string& id : ids)
        list += (list.empty() ? "" : ", ") + id;
    return list;
}

// The manifest for one target, with the extensions it allows already unless
// they are to be replaced, and the log wrapper it names if one is asked for.
std::vector<Planned> PlanTarget(const Target& target, const std::vector<std::string>& ids, const std::string& host,
                                const Options& options)
{
    const fs::path file = ManifestFile(target.where.folder, options);
    std::vector<std::string> allowed = ids;
    std::string error;
    const json existing = ExistingManifest(file, error);
    if (!error.empty())
        std::cout << "note: " << file.string() << " is not valid JSON (" << error << "); writing it anew\n";
    else if (!options.replace)
        allowed = Merged(AllowedIds(existing, target.family), ids);

    std::vector<Planned> planned;
    std::string program = host;
    if (!options.log.empty()) {
        program = LogWrapperFile(target.where.folder, options.name);
        planned.push_back({program, LogWrapperText(host, options.log), true});
    }
    planned.push_back({file, MakeManifest(target.family, options.name, program, allowed).dump(MANIFEST_INDENT) + "\n"});
    return planned;
}

bool RemoveFile(const fs::path& file)
{
    if (!fs::is_regular_file(file))
        return false;
    fs::remove(file);
    std::cout << "removed " << file.string() << "\n";
    return true;
}

// A wrapper an earlier install --log wrote, which the manifest no longer names.
void RemoveLogWrapper(const fs::path& folder, const Options& options)
{
    std::string host, log;
    const fs::path wrapper = LogWrapperFile(folder, options.name);
    if (ReadLogWrapper(wrapper, host, log))
        RemoveFile(wrapper);
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

// The extensions left in the manifest once `ids` are taken out; false when
// the file is no manifest of ours to change.
bool RemainingIds(const fs::path& file, Family family, const std::vector<std::string>& ids, json& manifest,
                  std::vector<std::string>& remaining)
{
    std::string error;
    manifest = ExistingManifest(file, error);
    if (!manifest.is_object() || !manifest.value("path", json()).is_string())
        return false;
    remaining = Without(AllowedIds(manifest, family), ids);
    return true;
}

// Takes the extensions given out of the target's manifest; the manifest goes
// when none is left, or when no extension is given.
bool UninstallTarget(const Target& target, const Options& options)
{
    const fs::path file = ManifestFile(target.where.folder, options);
    const std::vector<std::string>& ids = options.ids.For(target.family);
    const bool some = !options.ids.chromium.empty() || !options.ids.firefox.empty();
    if (some && ids.empty())
        return false;
    json manifest;
    std::vector<std::string> remaining;
    if (some && !RemainingIds(file, target.family, ids, manifest, remaining))
        return false;
    if (some && !remaining.empty()) {
        if (remaining.size() == AllowedIds(manifest, target.family).size())
            return false;
        WriteFileAtomically(file, MakeManifest(target.family, options.name, manifest["path"], remaining)
                                          .dump(MANIFEST_INDENT) + "\n");
        std::cout << "removed " << Listed(ids) << " from " << file.string() << "\n";
        return true;
    }
    const bool removed = RemoveFile(file);
    if (removed)
        RemoveLogWrapper(target.where.folder, options);
    RemoveEmptyFolders(target.where.base, target.where.folder);
    return removed;
}

// The udev rule serves every browser: it stays while any of their machine-wide
// manifests does.
bool AnySystemManifestLeft(const Options& options)
{
    for (const Browser& browser : KnownBrowsers())
        if (const std::optional<ManifestFolder> where = FolderFor(browser, Level::System, options.places))
            if (fs::exists(ManifestFile(where->folder, options)))
                return true;
    return false;
}

}  // namespace

int Install(const Options& options)
{
    if (options.ids.chromium.empty() && options.ids.firefox.empty())
        throw UsageError("install needs at least one --extension ID");
    if (const std::string fault = DirFault(options); !fault.empty())
        throw UsageError(fault + ": give --dir " + (options.dir / "NativeMessagingHosts").string());
    const std::string host = HostPath(options);
    std::vector<Planned> planned;
    for (const Target& target : FindTargets(options, true)) {
        const std::vector<std::string>& ids = options.ids.For(target.family);
        if (ids.empty() && (!options.browsers.empty() || !options.dir.empty()))
            throw UsageError(std::string("no ") + (target.family == Family::Firefox ? "Firefox add-on" : "Chromium") +
                             " ID given for " + target.label);
        if (ids.empty()) {
            std::cout << "skipped " << target.label << ": no ID of its kind given\n";
            continue;
        }
        for (Planned& file : PlanTarget(target, ids, host, options))
            planned.push_back(std::move(file));
    }
    if (planned.empty())
        throw UsageError("no browser to install for");
    for (const Planned& file : planned) {
        MakeFolders(file.file.parent_path());
        WriteFileAtomically(file.file, file.text, file.executable);
        std::cout << "wrote " << file.file.string() << "\n";
        if (options.log.empty())
            RemoveLogWrapper(file.file.parent_path(), options);
    }
    if (!options.log.empty())
        std::cout << "the host's log goes to " << options.log.string() << ", the previous run's to "
                  << options.log.string() << ".1\n";
    if (!options.dir.empty())
        return EXIT_SUCCESS;
    if (IsRoot())
        InstallUdevRule(options);
    else if (FindUdevRules(options.places.root).grants.empty())
        std::cout << "note: no udev rule lets you open the device yet: install the bridge-host package, "
                     "or run this command as root\n";
    return EXIT_SUCCESS;
}

int Uninstall(const Options& options)
{
    bool removed = false;
    for (const Target& target : FindTargets(options))
        removed |= UninstallTarget(target, options);
    if (IsRoot() && options.dir.empty() && !AnySystemManifestLeft(options) &&
        RemoveFile(AdminRulesFolder(options.places.root) / UDEV_RULE_FILE)) {
        removed = true;
        if (options.places.root == "/")
            std::cout << ReloadUdev() << "\n";
    }
    if (!removed)
        std::cout << "nothing to remove\n";
    return EXIT_SUCCESS;
}
