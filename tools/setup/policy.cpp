#include "policy.h"

#include <algorithm>

#include "machine.h"
#include "setup.h"

namespace {

const char* const USER_LEVEL_HOSTS = "NativeMessagingUserLevelHosts";
const char* const BLOCKLIST = "NativeMessagingBlocklist";
const char* const ALLOWLIST = "NativeMessagingAllowlist";

bool Names(const PolicySetting& list, const std::string& name)
{
    return std::find(list.names.begin(), list.names.end(), name) != list.names.end();
}

}  // namespace

std::optional<PolicyRefusal> UserLevelRefusal(const Browser& browser, const Options& options)
{
    const std::optional<PolicySetting> allowed = ReadPolicy(browser, options.places, USER_LEVEL_HOSTS, PolicyType::Flag);
    if (!allowed || allowed->flag)
        return std::nullopt;
    const std::string text = std::string("the policy ") + USER_LEVEL_HOSTS + ", false in " + allowed->where +
                             ", makes " + browser.name + " read no user's manifest";
    if (FoldersFor(browser, Level::System, options.places).empty())
        return PolicyRefusal{text, "an administrator sets " + std::string(USER_LEVEL_HOSTS) + " to true in " +
                                       allowed->where + ": this command knows no machine-wide manifest folder of " +
                                       browser.name};
    return PolicyRefusal{text, std::string("install it for the machine, as ") + ADMINISTRATOR + ": " +
                                   InstallCommand(options, browser.name) + " --system"};
}

// A blocklist of "*" refuses every host; the allowlist takes hosts back out of it.
std::optional<PolicyRefusal> NameRefusal(const Browser& browser, const Options& options)
{
    const std::optional<PolicySetting> blocked = ReadPolicy(browser, options.places, BLOCKLIST, PolicyType::List);
    const std::optional<PolicySetting> allowed = ReadPolicy(browser, options.places, ALLOWLIST, PolicyType::List);
    if (!blocked || (!Names(*blocked, "*") && !Names(*blocked, options.name)) || (allowed && Names(*allowed, options.name)))
        return std::nullopt;
    return PolicyRefusal{std::string("the policy ") + BLOCKLIST + " in " + blocked->where + " lists " +
                             (Names(*blocked, "*") ? "\"*\"" : options.name) + ", and " + ALLOWLIST +
                             " does not name " + options.name + ": " + browser.name + " refuses to start it",
                         "an administrator adds " + options.name + " to " + ALLOWLIST + " in " +
                             (allowed ? allowed : blocked)->where};
}
