// install and uninstall: the manifests and the log wrapper, and what the
// system needs besides (machine.h).
#include <iostream>
#include <optional>

#include <nlohmann/json.hpp>

#include "files.h"
#include "host.h"
#include "machine.h"
#include "policy.h"
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
    std::optional<ManifestFolder> registered_in;   // a manifest the browser finds through the registry
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
    const fs::path file = ManifestFile(target.where, options);
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
        program = LogWrapperFile(target.where.folder, options.name).string();
        planned.push_back({program, LogWrapperText(host, options.log.string()), true, std::nullopt});
    }
    planned.push_back({file, MakeManifest(target.family, options.name, program, allowed).dump(MANIFEST_INDENT) + "\n",
                       false, target.where});
    return planned;
}

// A wrapper an earlier install --log wrote, which the manifest no longer names.
void RemoveLogWrapper(const fs::path& folder, const Options& options)
{
    std::string host, log;
    const fs::path wrapper = LogWrapperFile(folder, options.name);
    if (ReadLogWrapper(wrapper, host, log))
        RemoveFile(wrapper);
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
    const fs::path file = ManifestFile(target.where, options);
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
    const std::string unregistered = Unregister(target.where, options.name, file);
    if (!unregistered.empty())
        std::cout << unregistered << "\n";
    const bool removed = RemoveFile(file) || !unregistered.empty();
    if (removed)
        RemoveLogWrapper(target.where.folder, options);
    RemoveEmptyFolders(target.where.base, target.where.folder);
    return removed;
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
    std::vector<const Browser*> browsers;
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
        const Browser* browser = options.dir.empty() ? FindBrowser(target.label) : nullptr;
        if (browser && (browsers.empty() || browsers.back() != browser))
            browsers.push_back(browser);
    }
    if (planned.empty())
        throw UsageError("no browser to install for");
    for (const Planned& file : planned) {
        MakeFolders(file.file.parent_path());
        WriteFileAtomically(file.file, file.text, file.executable);
        std::cout << "wrote " << file.file.string() << "\n";
        if (file.registered_in)
            if (const std::string registered = Register(*file.registered_in, options.name, file.file);
                !registered.empty())
                std::cout << registered << "\n";
        if (options.log.empty())
            RemoveLogWrapper(file.file.parent_path(), options);
    }
    if (!options.log.empty())
        std::cout << "the host's log goes to " << options.log.string() << ", the previous run's to "
                  << options.log.string() << ".1\n";
    for (const Browser* browser : browsers) {
        if (const auto refused = options.level == Level::User ? UserLevelRefusal(*browser, options) : std::nullopt)
            std::cout << "note: " << refused->text << "; " << refused->fix << "\n";
        if (const std::optional<PolicyRefusal> refused = NameRefusal(*browser, options))
            std::cout << "note: " << refused->text << "; " << refused->fix << "\n";
    }
    if (options.dir.empty())
        InstallMachineParts(options);
    return EXIT_SUCCESS;
}

int Uninstall(const Options& options)
{
    bool removed = false;
    for (const Target& target : FindTargets(options))
        removed |= UninstallTarget(target, options);
    if (options.dir.empty())
        removed |= UninstallMachineParts(options);
    if (!removed)
        std::cout << "nothing to remove\n";
    return EXIT_SUCCESS;
}
