// What Windows needs besides the manifests and their keys: nothing. Windows
// lets every user open HID devices, so there is no rule to write or check.
#include "machine.h"

#include <windows.h>

#include "setup.h"

namespace fs = std::filesystem;

// Browsers on Windows read the registry only: no folder of theirs to name,
// and no shell to run a wrapper that keeps the log.
std::string SystemOptionFault(const Options& options)
{
    if (!options.dir.empty())
        return "--dir is for Linux: browsers on Windows find a host through the registry only";
    if (!options.log.empty())
        return "--log is for Linux: on Windows the host's log goes where the browser sends it";
    return "";
}

void InstallMachineParts(const Options&)
{
}

bool UninstallMachineParts(const Options&)
{
    return false;
}

void CheckMachine(const Options&, Report&)
{
}

const char* const ADMINISTRATOR = "an administrator";

// The machine's keys are written only with --system, by an administrator.
bool IsRoot()
{
    return false;
}

fs::path OwnFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return fs::path(path).parent_path();
        }
        path.resize(path.size() * 2);
    }
}
