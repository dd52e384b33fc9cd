// What the setup command's verbs share: the options given, and the folders
// the verb works on.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "browsers.h"
#include "manifest.h"

inline constexpr int EXIT_PROBLEMS = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr const char* DEFAULT_HOST_NAME = "bridge_host";
inline constexpr const char* COMMAND = "bridge-host-setup";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string verb;
    std::string name = DEFAULT_HOST_NAME;
    ExtensionIds ids;
    std::vector<const Browser*> browsers;   // empty: all of them
    Level level = Level::User;
    std::string host;
    std::filesystem::path dir;
    std::filesystem::path log;
    bool replace = false;
    Places places;

    bool Chosen(const Browser& browser) const;
};

extern const char* const USAGE;
Options ParseArguments(const std::vector<std::string>& args);

// A folder to hold one manifest, in one browser family's format.
struct Target {
    std::string label;   // the browser's name, or the folder given
    Family family;
    ManifestFolder where;
};

// Where the verb works. Browsers chosen by name must have a place; of all
// browsers, those without one are passed over, each with a line that says so.
std::vector<Target> FindTargets(const Options& options, bool say_passed_over = false);
std::filesystem::path ManifestFile(const ManifestFolder& where, const Options& options);
// The program a manifest is to name: --host, or the host installed with this command.
std::string HostPath(const Options& options);
// Whether the program is the host built on virtual devices, which extension
// authors install with --host while they work without the device.
bool IsVirtualHost(const std::string& host);
// Why --dir names a folder the browser does not read, or "".
std::string DirFault(const Options& options);
// The command that writes the manifest for the browser ("" for all of them).
std::string InstallCommand(const Options& options, const std::string& browser);

int Install(const Options& options);
int Uninstall(const Options& options);
int Check(const Options& options);
