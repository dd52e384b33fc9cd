// The policies with which an organisation decides which native-messaging
// hosts a Chromium-based browser starts: whether it reads the user's
// manifests (NativeMessagingUserLevelHosts), and which hosts it refuses
// (NativeMessagingBlocklist, unless NativeMessagingAllowlist names them).
// Firefox has no such policies.
#pragma once

#include <optional>
#include <string>

struct Browser;
struct Options;

// What a policy keeps the browser from doing, and what to do about it.
struct PolicyRefusal {
    std::string text;
    std::string fix;
};
// Why the browser reads no user's manifest, or nullopt when it reads them.
std::optional<PolicyRefusal> UserLevelRefusal(const Browser& browser, const Options& options);
// Why the browser refuses to start the host of options.name, or nullopt.
std::optional<PolicyRefusal> NameRefusal(const Browser& browser, const Options& options);
