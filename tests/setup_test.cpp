// bridge-host-setup run as a process against a scratch home folder and a
// scratch machine root, the way a user or a package script runs it. With
// $BRIDGE_TEST_WINDOWS, the cases that apply run bridge-host-setup.exe under
// Wine: a copy in the scratch folder, which writes its manifests beside
// itself and their keys into the registry of the tests' Wine prefix.
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host_process.h"
#include "virtual_device.h"

namespace fs = std::filesystem;
using nlohmann::json;

extern char** environ;

namespace {

const std::string CHROMIUM_ID = "abcdefghijklmnopabcdefghijklmnop";
const std::string OTHER_CHROMIUM_ID = "pppppppppppppppppppppppppppppppp";
const std::string FIREFOX_ID = "bridge@example.org";
const std::string UDEV_RULE_LINE = R"(KERNEL=="hidraw*", SUBSYSTEM=="hidraw", ATTRS{idVendor}=="0acd", )"
                                   R"(ATTRS{idProduct}=="3820", TAG+="uaccess")";

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the command to its end, gathering both output streams at once so that
// neither pipe can fill up and stall it.
Result RunCommand(const std::vector<std::string>& command)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t child;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    Result result;
    pollfd streams[] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[] = {&result.out, &result.err};
    for (int open_streams = 2; open_streams > 0 && spawned == 0;) {
        poll(streams, 2, -1);
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            if (streams[i].revents == 0)
                continue;
            const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
            if (got > 0)
                texts[i]->append(buffer, static_cast<size_t>(got));
            else {
                streams[i].fd = -1;
                --open_streams;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    int status;
    if (spawned == 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

json ReadJson(const fs::path& file)
{
    std::ifstream in(file);
    return json::parse(in, nullptr, false);
}

std::string ReadText(const fs::path& file)
{
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteText(const fs::path& file, const std::string& text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::set<std::string> Tree(const fs::path& top)
{
    std::set<std::string> paths;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(top))
        paths.insert(entry.path().lexically_relative(top));
    return paths;
}

bool Windows()
{
    return TestingWindowsHosts();
}

// The default value of a key of the Wine prefix's registry, or "" without the key.
std::string RegistryValue(const std::string& key)
{
    std::vector<std::string> command = WindowsCommand("reg");
    command.insert(command.end(), {"query", key, "/ve"});
    const Result result = RunCommand(command);
    const std::string type = "REG_SZ";
    const size_t at = result.out.find(type);
    if (result.status != 0 || at == std::string::npos)
        return "";
    const size_t value = result.out.find_first_not_of(' ', at + type.size());
    return result.out.substr(value, result.out.find_first_of("\r\n", value) - value);
}

struct Place {
    const char* browser;
    const char* folder;   // on Windows: the browser's key below the hive
    bool firefox;
};

const std::vector<Place> WINDOWS_PLACES = {
    {"chrome", "Software\\Google\\Chrome\\NativeMessagingHosts", false},
    {"chromium", "Software\\Chromium\\NativeMessagingHosts", false},
    {"edge", "Software\\Microsoft\\Edge\\NativeMessagingHosts", false},
    {"firefox", "Software\\Mozilla\\NativeMessagingHosts", true},
};

// A home folder and a machine root of our own, laid out like a fresh system.
class SetupCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/setup-test-XXXXXX";
        scratch = mkdtemp(pattern);
        fs::permissions(scratch, fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
        for (const char* folder : {"home/.config", "root/etc/opt", "root/etc/udev/rules.d", "root/usr/lib"})
            fs::create_directories(scratch / folder);
        for (const char* program : {"bridge-host-setup.exe", "bridge-host.exe"})
            if (Windows())
                fs::copy_file(HostExecutable("", program), scratch / program);
        ForgetKeys();
    }
    // No key of the host, nor policy, in the Wine prefix's registry, whatever a test left there.
    void ForgetKeys()
    {
        if (!Windows())
            return;
        std::string forget;
        for (const char* hive : {"HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"}) {
            for (const Place& place : WINDOWS_PLACES)
                forget += "[-" + std::string(hive) + "\\" + place.folder + "\\bridge_host]\n";
            forget += "[-" + std::string(hive) + "\\Software\\Policies\\Chromium]\n";
        }
        ImportKeys(forget);
    }
    void ImportKeys(const std::string& keys)
    {
        WriteText(scratch / "keys.reg", "Windows Registry Editor Version 5.00\n" + keys);
        std::vector<std::string> command = WindowsCommand("reg");
        command.insert(command.end(), {"import", PathForHost(scratch / "keys.reg")});
        ASSERT_EQ(RunCommand(command).status, 0);
        fs::remove(scratch / "keys.reg");
    }
    void TearDown() override
    {
        ForgetKeys();
        fs::remove_all(scratch);
    }

    Result Setup(std::vector<std::string> args, const std::vector<std::string>& before = {})
    {
        std::vector<std::string> command = before;
        if (Windows()) {
            const std::vector<std::string> wine = WindowsCommand(scratch / "bridge-host-setup.exe");
            command.insert(command.end(), wine.begin(), wine.end());
            args.insert(args.end(), {"--home", home()});
        } else {
            command.push_back(HostExecutable(SETUP_COMMAND, ""));
            args.insert(args.end(), {"--home", home(), "--root", root()});
        }
        command.insert(command.end(), args.begin(), args.end());
        return RunCommand(command);
    }
    Result Install(const std::vector<std::string>& more = {})
    {
        std::vector<std::string> args = {"install", "--extension", CHROMIUM_ID, "--extension", FIREFOX_ID};
        args.insert(args.end(), more.begin(), more.end());
        return Setup(args);
    }
    fs::path home() const { return scratch / "home"; }
    fs::path root() const { return scratch / "root"; }
    std::string Host() const
    {
        return Windows() ? PathForHost(scratch / "bridge-host.exe")
                         : fs::canonical(HostExecutable(HOST_PATH, "")).string();
    }

    fs::path scratch;
};


const Place USER_PLACES[] = {
    {"chrome", "home/.config/google-chrome/NativeMessagingHosts", false},
    {"chromium", "home/.config/chromium/NativeMessagingHosts", false},
    {"edge", "home/.config/microsoft-edge/NativeMessagingHosts", false},
    {"brave", "home/.config/BraveSoftware/Brave-Browser/NativeMessagingHosts", false},
    {"vivaldi", "home/.config/vivaldi/NativeMessagingHosts", false},
    {"firefox", "home/.mozilla/native-messaging-hosts", true},
};
const Place SYSTEM_PLACES[] = {
    {"chrome", "root/etc/opt/chrome/native-messaging-hosts", false},
    {"chromium", "root/etc/chromium/native-messaging-hosts", false},
    {"edge", "root/etc/opt/edge/native-messaging-hosts", false},
    {"firefox", "root/usr/lib/mozilla/native-messaging-hosts", true},
};

// Where the browser's manifest is written: in its folder, or on Windows
// beside the setup command in the scratch folder.
fs::path ManifestOf(const fs::path& scratch, const Place& place)
{
    if (Windows())
        return scratch / ("bridge_host." + std::string(place.browser) + ".json");
    return scratch / place.folder / "bridge_host.json";
}

// On Windows, each browser's key of the hive names its manifest, or none does.
void ExpectKeys(const fs::path& scratch, const std::string& hive, bool registered)
{
    for (const Place& place : WINDOWS_PLACES)
        EXPECT_EQ(RegistryValue(hive + "\\" + place.folder + "\\bridge_host"),
                  registered ? PathForHost(ManifestOf(scratch, place)) : "")
            << place.browser;
}

void ExpectManifest(const fs::path& file, bool firefox, const std::string& host)
{
    SCOPED_TRACE(file);
    ASSERT_TRUE(fs::exists(file));
    json expected = {{"name", "bridge_host"}, {"path", host}, {"type", "stdio"}};
    if (firefox)
        expected["allowed_extensions"] = {FIREFOX_ID};
    else
        expected["allowed_origins"] = {"chrome-extension://" + CHROMIUM_ID + "/"};
    json manifest = ReadJson(file);
    EXPECT_FALSE(manifest.value("description", "").empty());
    manifest.erase("description");
    EXPECT_EQ(manifest, expected);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::others_read, fs::perms::others_read);
}

TEST_F(SetupCommand, UserInstallWritesEveryBrowsersManifest)
{
    const Result result = Install({"--user"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const Place& place : Windows() ? WINDOWS_PLACES : std::vector<Place>(std::begin(USER_PLACES), std::end(USER_PLACES)))
        ExpectManifest(ManifestOf(scratch, place), place.firefox, Host());
    // Even as root, --user writes nothing of the machine's, and says how to get the udev rule.
    if (!Windows()) {
        EXPECT_FALSE(fs::exists(root() / "etc/udev/rules.d/70-bridge-host.rules"));
        EXPECT_NE(result.out.find("or as root: bridge-host-setup install --extension " + CHROMIUM_ID + " --system"),
                  std::string::npos)
            << result.out;
    }
}

TEST_F(SetupCommand, SystemInstallWritesManifestsAndTheUdevRule)
{
    if (Windows())
        GTEST_SKIP() << "Windows has no udev, and lets every user open HID devices";
    if (geteuid() != 0)
        GTEST_SKIP() << "the udev rule is written by root only";
    const Result result = Install({"--system"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const Place& place : SYSTEM_PLACES)
        ExpectManifest(scratch / place.folder / "bridge_host.json", place.firefox, Host());
    EXPECT_FALSE(fs::exists(home() / ".config/google-chrome"));
    for (const char* user_only : {"brave", "vivaldi"})
        EXPECT_NE(result.out.find("skipped " + std::string(user_only) + ": it reads manifests from each user's"),
                  std::string::npos)
            << result.out;

    const fs::path copy = root() / "etc/udev/rules.d/70-bridge-host.rules";
    const std::string rule = ReadText(copy);
    EXPECT_NE(rule.find(UDEV_RULE_LINE + "\n"), std::string::npos) << rule;
    EXPECT_EQ(rule.find("MODE"), std::string::npos) << rule;

    // The rule serves every browser: it goes with the last manifest.
    ASSERT_EQ(Setup({"uninstall", "--system", "--browser", "chromium"}).status, 0);
    EXPECT_TRUE(fs::exists(copy));
    ASSERT_EQ(Setup({"uninstall", "--system"}).status, 0);
    EXPECT_FALSE(fs::exists(copy));

    // Where the package's rule is in place, a copy would only hide it.
    WriteText(root() / "usr/lib/udev/rules.d/70-bridge-host.rules", UDEV_RULE_LINE + "\n");
    const Result packaged = Install({"--system"});
    EXPECT_NE(packaged.out.find("70-bridge-host.rules is in place already"), std::string::npos) << packaged.out;
    EXPECT_FALSE(fs::exists(copy));
}

// Firefox as Fedora and openSUSE build it reads the machine's manifests from
// usr/lib64/mozilla: where the system keeps its libraries there, Firefox's
// machine-wide manifest goes there too, and check and uninstall find it.
TEST_F(SetupCommand, FirefoxsMachineManifestGoesToLib64TooWhereTheLibrariesAre)
{
    if (Windows())
        GTEST_SKIP() << "the Linux folders";
    const fs::path lib = root() / "usr/lib/mozilla/native-messaging-hosts/bridge_host.json";
    const fs::path lib64 = root() / "usr/lib64/mozilla/native-messaging-hosts/bridge_host.json";
    // As on Debian, usr/lib64 holds the dynamic loader alone.
    WriteText(root() / "usr/lib64/ld-linux-x86-64.so.2", "");
    ASSERT_EQ(Install({"--system", "--browser", "firefox"}).status, 0);
    ExpectManifest(lib, true, Host());
    EXPECT_FALSE(fs::exists(root() / "usr/lib64/mozilla"));

    WriteText(root() / "usr/lib64/libc.so.6", "");
    ASSERT_EQ(Install({"--system", "--browser", "firefox"}).status, 0);
    ExpectManifest(lib64, true, Host());
    fs::remove(lib);
    const Result check = Setup({"check", "--browser", "firefox"});
    EXPECT_NE(check.out.find("ok       firefox: " + lib64.string() + " starts "), std::string::npos) << check.out;
    ASSERT_EQ(Setup({"uninstall", "--system", "--browser", "firefox"}).status, 0);
    EXPECT_FALSE(fs::exists(root() / "usr/lib64/mozilla"));
    EXPECT_FALSE(fs::exists(root() / "usr/lib/mozilla"));
}

TEST_F(SetupCommand, InstallWritesOnlyWhatWasAskedFor)
{
    if (Windows())
        GTEST_SKIP() << "the Linux folders";
    ASSERT_EQ(Setup({"install", "--user", "--browser", "edge", "--extension", CHROMIUM_ID}).status, 0);
    EXPECT_EQ(Tree(home() / ".config"),
              (std::set<std::string>{"microsoft-edge", "microsoft-edge/NativeMessagingHosts",
                                     "microsoft-edge/NativeMessagingHosts/bridge_host.json"}));

    // Without a Firefox ID there is no Firefox manifest to write.
    ASSERT_EQ(Setup({"install", "--user", "--extension", CHROMIUM_ID}).status, 0);
    EXPECT_FALSE(fs::exists(home() / ".mozilla"));
    EXPECT_EQ(Setup({"install", "--user", "--browser", "firefox", "--extension", CHROMIUM_ID}).status, 2);

    const fs::path named = home() / ".config/chromium/NativeMessagingHosts/org.example.other_host.json";
    ASSERT_EQ(Setup({"install", "--user", "--name", "org.example.other_host", "--extension",
                     "chrome-extension://" + CHROMIUM_ID + "/"})
                  .status,
              0);
    EXPECT_EQ(ReadJson(named)["name"], "org.example.other_host");
    EXPECT_EQ(ReadJson(named)["allowed_origins"], json({"chrome-extension://" + CHROMIUM_ID + "/"}));
}

TEST_F(SetupCommand, DirOptionWritesOneManifestThere)
{
    if (Windows())
        GTEST_SKIP() << "browsers on Windows read the registry only";
    const fs::path dir = scratch / "profile/NativeMessagingHosts";
    ASSERT_EQ(Install({"--dir", dir}).status, 0);
    ExpectManifest(dir / "bridge_host.json", false, Host());
    ASSERT_EQ(Install({"--dir", dir, "--browser", "firefox"}).status, 0);
    ExpectManifest(dir / "bridge_host.json", true, Host());
    EXPECT_FALSE(fs::exists(root() / "etc/udev/rules.d/70-bridge-host.rules"));
    EXPECT_FALSE(fs::exists(home() / ".mozilla"));
}

TEST_F(SetupCommand, HostOptionNamesTheProgramToStart)
{
    const fs::path host = scratch / (Windows() ? "my host.exe" : "my host");
    fs::copy_file(HostExecutable(HOST_PATH, "bridge-host.exe"), host);
    ASSERT_EQ(Install({"--user", "--host", host}).status, 0);
    EXPECT_EQ(ReadJson(ManifestOf(scratch, Windows() ? WINDOWS_PLACES[3] : USER_PLACES[5]))["path"],
              PathForHost(host));

    // Windows starts programs by their name, Linux by their mode.
    const fs::path refused_host = scratch / "my host.bin";
    fs::rename(host, refused_host);
    if (!Windows())
        fs::permissions(refused_host, fs::perms::owner_read | fs::perms::owner_write);
    const Result refused = Install({"--user", "--browser", "chrome", "--host", refused_host});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(Windows() ? "is not a program (.exe)" : "not executable"), std::string::npos)
        << refused.err;
}

TEST_F(SetupCommand, BadInputIsRefusedWithTheReasonAndNothingIsWritten)
{
    WriteText(scratch / "profile/Local State", "{}");
    const std::set<std::string> before = Tree(scratch);
    const std::string uuid = "0123abcd-4567-89ab-cdef-0123456789ab";
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"install", "--user"}, "at least one --extension"},
        {{"install", "--extension", "abcdefghijklmnopabcdefghijklmno"}, "has 31 characters"},
        {{"install", "--extension", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP"}, "upper case"},
        {{"install", "--extension", "abcdefghijklmnopqrstuvwxyzabcdef"}, "holds 'q'"},
        {{"install", "--extension", "chrome-extension://" + CHROMIUM_ID + "/popup.html"}, "path after"},
        {{"install", "--extension", "chrome-extension://abc/"}, "has 3 characters"},
        {{"install", "--extension", "moz-extension://" + uuid + "/"}, "browser_specific_settings"},
        {{"install", "--extension", uuid}, "browser_specific_settings"},
        {{"install", "--extension", "bridge.example.org"}, "neither"},
        {{"install", "--extension", "{1234-5678}"}, "not a Firefox add-on ID"},
        {{"install", "--extension", "bridge@example org"}, "not a Firefox add-on ID"},
        {{"install", "--extension", CHROMIUM_ID, "--name", "Bridge_Host"}, "lower-case"},
        {{"install", "--extension", CHROMIUM_ID, "--name", "bridge..host"}, "single dots"},
        {{"install", "--extension", CHROMIUM_ID, "--name", ".bridge"}, "single dots"},
        {{"install", "--extension", CHROMIUM_ID, "--name", "bridge-host"}, "lower-case"},
        {{"install", "--extension", CHROMIUM_ID, "--browser", "netscape"}, "unknown browser"},
        {{"install", "--extension", CHROMIUM_ID, "--system", "--browser", "brave"}, "no system-wide folder"},
        {{"install", "--extension", CHROMIUM_ID, "--dir", (scratch / "profile").string()},
         (scratch / "profile/NativeMessagingHosts").string()},
        {{"install", "--extension", CHROMIUM_ID, "--log", (scratch / "no/such/host.log").string()}, "does not exist"},
        {{"uninstall", "--replace"}, "for install"},
        {{"reinstall", "--extension", CHROMIUM_ID}, "unknown verb"},
    };
    // Options that make no sense on Windows are refused there for that.
    const std::vector<std::pair<std::string, std::string>> windows_reasons = {
        {"--dir", "--dir is for Linux"}, {"--log", "--log is for Linux"}, {"brave", "unknown browser \"brave\""}};
    for (auto [args, reason] : bad) {
        for (const auto& [word, windows_reason] : windows_reasons)
            if (Windows() && std::find(args.begin(), args.end(), word) != args.end())
                reason = windows_reason;
        std::vector<std::string> user = args;
        user.insert(user.begin() + 1, "--user");
        const Result result = Setup(user);
        EXPECT_EQ(result.status, 2) << reason;
        EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
    }
    EXPECT_EQ(Tree(scratch), before);

    for (const std::string& taken :
         std::vector<std::string>{"{0123abcd-4567-89ab-cdef-0123456789ab}", "chrome-extension://" + CHROMIUM_ID}) {
        const Result good = Install({"--user", "--extension", taken});
        EXPECT_EQ(good.status, 0) << good.err;
    }
}

TEST_F(SetupCommand, InstallAddsToTheExtensionsAllowedAndUninstallTakesOneOut)
{
    const fs::path manifest = ManifestOf(scratch, USER_PLACES[1]);
    const auto origins = [&] { return ReadJson(manifest)["allowed_origins"]; };
    const auto chromium = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--user", "--browser", "chromium"});
        const Result result = Setup(args);
        EXPECT_EQ(result.status, 0) << result.err;
        return result.status;
    };
    const std::string first = "chrome-extension://" + CHROMIUM_ID + "/";
    const std::string second = "chrome-extension://" + OTHER_CHROMIUM_ID + "/";
    ASSERT_EQ(chromium({"install", "--extension", CHROMIUM_ID}), 0);
    ASSERT_EQ(chromium({"install", "--extension", OTHER_CHROMIUM_ID}), 0);
    EXPECT_EQ(origins(), json({first, second}));
    ASSERT_EQ(chromium({"install", "--extension", OTHER_CHROMIUM_ID, "--replace"}), 0);
    EXPECT_EQ(origins(), json({second}));

    ASSERT_EQ(chromium({"install", "--extension", CHROMIUM_ID}), 0);
    ASSERT_EQ(chromium({"uninstall", "--extension", OTHER_CHROMIUM_ID}), 0);
    EXPECT_EQ(origins(), json({first}));
    ASSERT_EQ(chromium({"uninstall", "--extension", CHROMIUM_ID}), 0);
    EXPECT_FALSE(fs::exists(Windows() ? manifest : home() / ".config/chromium"));
}

TEST_F(SetupCommand, LogOptionKeepsTheHostsLogAndThePreviousOne)
{
    if (Windows())
        GTEST_SKIP() << "the log wrapper is a shell script";
    const std::set<std::string> before = Tree(scratch);
    const fs::path log = scratch / "host.log";
    ASSERT_EQ(Install({"--user", "--browser", "chromium", "--log", log}).status, 0);
    const std::string wrapper = ReadJson(home() / ".config/chromium/NativeMessagingHosts/bridge_host.json")["path"];
    ASSERT_NE(wrapper, Host());
    // Each run, with its input at its end at once, leaves its log and how it ended.
    for (int run = 0; run < 2; ++run)
        ASSERT_EQ(RunCommand({wrapper, "chrome-extension://" + CHROMIUM_ID + "/"}).status, 0);
    for (const fs::path& file : {log, fs::path(log.string() + ".1")}) {
        const std::string text = ReadText(file);
        EXPECT_NE(text.find("Going to read message from stdin"), std::string::npos) << file;
        EXPECT_NE(text.find("the host ended with exit status 0"), std::string::npos) << file;
    }
    const Result check = Setup({"check", "--browser", "chromium"});
    EXPECT_NE(check.out.find("starts " + Host() + ", which answers getDevices; its log goes to " + log.string()),
              std::string::npos)
        << check.out;
    fs::remove(log);
    fs::remove(log.string() + ".1");
    ASSERT_EQ(Setup({"uninstall", "--user"}).status, 0);
    EXPECT_EQ(Tree(scratch), before);
}

TEST_F(SetupCommand, UninstallLeavesNothingBehind)
{
    WriteText(home() / ".config/chromium/NativeMessagingHosts/other.json", "{}");
    const std::set<std::string> before = Tree(scratch);
    // Wine lets every program write the machine's keys.
    const bool root_user = geteuid() == 0 || Windows();
    for (const char* level : {"--user", "--system"}) {
        if (level == std::string("--system") && !root_user)
            continue;
        const std::string hive = level == std::string("--user") ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
        ASSERT_EQ(Install({level}).status, 0) << level;
        ASSERT_NE(Tree(scratch), before);
        if (Windows())
            ExpectKeys(scratch, hive, true);
        const Result result = Setup({"uninstall", level});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(Tree(scratch), before) << level;
        if (Windows())
            ExpectKeys(scratch, hive, false);
    }
    EXPECT_NE(Setup({"uninstall", "--user"}).out.find("nothing to remove"), std::string::npos);
}

// A machine where the extension works: a used Chromium with its manifest, the
// udev rule, and the device attached with a node this user can open.
class Check : public SetupCommand {
protected:
    void SetUp() override
    {
        SetupCommand::SetUp();
        WriteText(Marker("chromium"), "{}");
        ASSERT_EQ(Setup({"install", "--user", "--browser", "chromium", "--extension", CHROMIUM_ID}).status, 0);
        // The rule as the package installs it, not as root's install writes it.
        fs::remove(root() / "etc/udev/rules.d/70-bridge-host.rules");
        WriteText(root() / "usr/lib/udev/rules.d/70-bridge-host.rules", UDEV_RULE_LINE + "\n");
        AttachDevice("hidraw0", "0003:0000046D:0000C52B");
        AttachDevice("hidraw3", "0003:00000ACD:00003820");
    }
    void AttachDevice(const std::string& node, const std::string& hid_id)
    {
        WriteText(root() / "sys/class/hidraw" / node / "device/uevent", "DRIVER=hid-generic\nHID_ID=" + hid_id + "\n");
        WriteText(root() / "dev" / node, "");
        fs::permissions(root() / "dev" / node, fs::perms::owner_read | fs::perms::owner_write);
    }
    fs::path Manifest() const { return ManifestOf(scratch, USER_PLACES[1]); }
    // The file that shows a Chromium-based browser has run here.
    fs::path Marker(const std::string& browser) const
    {
        const std::string folder = browser == "chrome" ? (Windows() ? "Google/Chrome/User Data" : "google-chrome")
                                                       : (Windows() ? "Chromium/User Data" : "chromium");
        return home() / (Windows() ? "AppData/Local" : ".config") / folder / "Local State";
    }

    // Runs check and expects it to find exactly one problem, about `subject`.
    Result ExpectProblem(const std::string& subject, const std::string& text, std::vector<std::string> args = {},
                         const std::vector<std::string>& before = {})
    {
        args.insert(args.begin(), "check");
        const Result result = Setup(args, before);
        EXPECT_EQ(result.status, 1) << result.out;
        EXPECT_NE(result.out.find("PROBLEM  " + subject + ": "), std::string::npos) << result.out;
        EXPECT_NE(result.out.find(text), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("fix: "), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("1 problem keeps"), std::string::npos) << result.out;
        return result;
    }
};

TEST_F(Check, PassesWhenEverythingIsThere)
{
    const Result result = Setup({"check"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("ok       chromium: " + PathForHost(Manifest()) + " starts " + Host()), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("-        chrome: not used here"), std::string::npos) << result.out;
    if (!Windows()) {
        EXPECT_NE(result.out.find("ok       device: " + (root() / "dev/hidraw3").string()), std::string::npos);
        EXPECT_EQ(result.out.find("hidraw0"), std::string::npos) << result.out;
    }
    EXPECT_EQ(Setup({"check", "--extension", CHROMIUM_ID}).status, 0);
}

TEST_F(Check, FindsManifestProblems)
{
    WriteText(Marker("chrome"), "{}");
    ExpectProblem("chrome", "no manifest");
    fs::remove(Marker("chrome"));

    ExpectProblem("chromium", "does not allow the extension " + OTHER_CHROMIUM_ID,
                  {"--extension", OTHER_CHROMIUM_ID});

    const json good = ReadJson(Manifest());
    WriteText(Manifest(), "{\n  \"name\": ,\n}");
    ExpectProblem("chromium", "not valid JSON: line 2, column 11: ");

    json wrong = good;
    wrong["type"] = "pipe";
    wrong.erase("description");
    wrong["allowed_origins"] = {"chrome-extension://" + CHROMIUM_ID};
    WriteText(Manifest(), wrong.dump());
    ExpectProblem("chromium", "no \"description\"; its \"type\" is not \"stdio\"; allowed_origins holds");

    // The user's manifest hides the machine's, good or not (on Linux; Chromium
    // on Windows reads the machine's key first).
    if (geteuid() == 0 && !Windows()) {
        ASSERT_EQ(Setup({"install", "--system", "--browser", "chromium", "--extension", CHROMIUM_ID}).status, 0);
    }
    ExpectProblem("chromium", PathForHost(Manifest()));
}

// With the host on virtual devices, the device an author needs is a virtual one.
TEST_F(Check, OnTheVirtualHostLooksForAVirtualDevice)
{
    if (Windows())
        GTEST_SKIP() << "a Windows host's virtual devices are played by a player process; the check is the same";
    const std::string dir = (scratch / "hidsim").string();
    ASSERT_EQ(Setup({"install", "--user", "--browser", "chromium", "--extension", CHROMIUM_ID, "--host",
                     BRIDGE_HOST_SIM}).status, 0);
    const std::vector<std::string> in_dir = {"env", "HIDSIM_DIR=" + dir};
    ExpectProblem("virtual device", "no virtual 0acd:3820 device in " + dir + " ($HIDSIM_DIR)", {}, in_dir);
    // The udev rule does not apply to it, and install says nothing of it either.
    const Result install = Setup({"install", "--user", "--extension", CHROMIUM_ID, "--host", BRIDGE_HOST_SIM});
    EXPECT_EQ(install.out.find("udev"), std::string::npos) << install.out;

    hidsim::VirtualDevice device(dir);
    const Result result = Setup({"check"}, in_dir);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("-        device: " + fs::canonical(BRIDGE_HOST_SIM).string() + " works on virtual"),
              std::string::npos) << result.out;
    EXPECT_NE(result.out.find("ok       virtual device: a virtual 0acd:3820 device in " + dir), std::string::npos)
        << result.out;
}

// An organisation's policies that keep Chromium from starting the host: in
// its policy folder on Linux, its policy keys on Windows. Where both of a
// case's places set a policy the second decides: a later file, the machine's
// key over the user's.
TEST_F(Check, NamesThePolicyThatRefusesTheHost)
{
    struct Case {
        json first, second;
        std::string refusal, fix;   // "" where nothing refuses the host
    };
    const json no_user_level = {{"NativeMessagingUserLevelHosts", false}};
    const std::vector<Case> cases = {
        {no_user_level, {{"NativeMessagingUserLevelHosts", true}}, "", ""},
        {{{"NativeMessagingBlocklist", {"other_host", "bridge_host"}}}, json::object(),
         "the policy NativeMessagingBlocklist in FIRST lists bridge_host, and NativeMessagingAllowlist does not name "
         "bridge_host: chromium refuses to start it",
         "an administrator adds bridge_host to NativeMessagingAllowlist in FIRST"},
        {{{"NativeMessagingAllowlist", {"other_host"}}}, {{"NativeMessagingBlocklist", {"*"}}},
         "the policy NativeMessagingBlocklist in SECOND lists \"*\"", "to NativeMessagingAllowlist in FIRST"},
        {{{"NativeMessagingAllowlist", {"bridge_host"}}}, {{"NativeMessagingBlocklist", {"*"}}}, "", ""},
        {no_user_level, json::object(),
         "the policy NativeMessagingUserLevelHosts, false in FIRST, makes chromium read no user's manifest",
         "install it for the machine, as " + std::string(Windows() ? "an administrator" : "root") +
             ": bridge-host-setup install --browser chromium --extension "},
    };
    const std::string places[] = {
        Windows() ? "HKEY_CURRENT_USER\\Software\\Policies\\Chromium" : (root() / "etc/chromium/policies/managed/5.json").string(),
        Windows() ? "HKEY_LOCAL_MACHINE\\Software\\Policies\\Chromium" : (root() / "etc/chromium/policies/managed/6.json").string()};
    const auto placed = [&](std::string text) {
        for (int i = 0; i < 2; ++i)
            if (const size_t at = text.find(i ? "SECOND" : "FIRST"); at != std::string::npos)
                text.replace(at, i ? 6 : 5, places[i]);
        return text;
    };
    for (const Case& policy : cases) {
        ForgetKeys();
        std::string keys;
        for (int i = 0; i < 2; ++i) {
            if (!Windows())
                WriteText(places[i], (i ? policy.second : policy.first).dump());
            for (const auto& [name, value] : (i ? policy.second : policy.first).items()) {
                keys += "[" + places[i] + (value.is_array() ? "\\" + name : "") + "]\n";
                for (size_t n = 0; value.is_array() && n < value.size(); ++n)
                    keys.append("\"").append(std::to_string(n + 1)).append("\"=\"")
                        .append(value[n].get<std::string>()).append("\"\n");
                if (value.is_boolean())
                    keys += "\"" + name + "\"=dword:0000000" + (value.get<bool>() ? "1" : "0") + "\n";
            }
        }
        if (Windows())
            ImportKeys(keys);
        const Result install = Setup({"install", "--user", "--browser", "chromium", "--extension", CHROMIUM_ID});
        EXPECT_EQ(install.out.find("note: " + placed(policy.refusal)) != std::string::npos, !policy.refusal.empty())
            << install.out;
        if (policy.refusal.empty())
            EXPECT_EQ(Setup({"check"}).status, 0) << policy.first;
        else
            EXPECT_NE(ExpectProblem("chromium", placed(policy.refusal)).out.find(placed(policy.fix)), std::string::npos)
                << placed(policy.fix);
    }
    // The machine's manifest serves where the user's is passed over.
    ASSERT_EQ(Setup({"install", "--system", "--browser", "chromium", "--extension", CHROMIUM_ID}).status, 0);
    const Result machine = Setup({"check"});
    EXPECT_EQ(machine.status, 0) << machine.out;
    EXPECT_NE(machine.out.find(Windows() ? "ok       chromium: " : "-        chromium: " + PathForHost(Manifest()) +
                               " is passed over"), std::string::npos) << machine.out;
}

TEST_F(Check, FindsAHostThatCannotStart)
{
    const fs::path host = scratch / "host/bridge-host.exe";
    fs::create_directories(host.parent_path());
    fs::copy_file(HostExecutable(HOST_PATH, "bridge-host.exe"), host);
    ASSERT_EQ(Setup({"install", "--user", "--browser", "chromium", "--extension", CHROMIUM_ID, "--host", host}).status,
              0);
    if (!Windows()) {
        fs::permissions(host, fs::perms::owner_read);
        ExpectProblem("chromium", host.string() + " is not executable");
    }
    fs::remove(host);
    ExpectProblem("chromium", PathForHost(host) + " does not exist");
}

TEST_F(Check, StartsTheHostAsEachBrowserDoes)
{
    struct Case {
        std::string script;
        const char* browser;
        std::string says;
    };
    const std::string firefox_manifest = (home() / ".mozilla/native-messaging-hosts/bridge_host.json").string();
    const std::string reply_frame = R"(printf '\045\000\000\000{"call":"getDevices","response":null}')";
    // qemu-user makes posix_spawn's child a copy of the setup command rather
    // than a sharer of its memory: the child cannot hand its exec's failure
    // back, and ends with 127 instead, which is all check can see there.
    const std::string cannot_start = TestingEmulatedHosts() ? "ends with exit status 127 at once"
                                                            : "cannot be started: No such file or directory";
    const std::vector<Case> cases = {
        {"#!/no/such/shell\n", "chromium", cannot_start},
        {"exec /usr/bin/false", "chromium", "ends with exit status 1 at once"},
        {"echo \"args: $*\" >&2; exit 3", "chromium", "  args: chrome-extension://" + CHROMIUM_ID + "/\n"},
        {"kill -9 $$", "chromium", "is ended by signal 9"},
        {"cat >/dev/null", "chromium", "gives no reply to getDevices within 3 s"},
        {R"(printf '\017\000\000\000{"call":"open"}')", "chromium",
         R"(replies {"call":"open"} instead of a getDevices reply)"},
        {reply_frame + "; exec sleep 60", "chromium", "does not end within 3 s of its input closing"},
        {reply_frame + "; exit 4", "chromium", "ends with exit status 4 when its input closes"},
        {"echo \"args: $*\" >&2; exit 3", "firefox", "  args: " + firefox_manifest + " " + FIREFOX_ID + "\n"},
    };
    // On Windows the host is a program of the scratch folder: a .exe that
    // holds none, or the setup command, which refuses the browser's arguments.
    const std::vector<Case> windows_cases = {
        {"host.exe", "chromium", "cannot be started: "},
        {"bridge-host-setup.exe", "chromium", "unknown verb \"chrome-extension://" + CHROMIUM_ID + "/\""},
        {"bridge-host-setup.exe", "firefox", "unknown option \"" + FIREFOX_ID + "\""},
    };
    for (size_t i = 0; i < (Windows() ? windows_cases : cases).size(); ++i) {
        const Case& found = (Windows() ? windows_cases : cases)[i];
        const fs::path host = scratch / (Windows() ? found.script : "host-" + std::to_string(i));
        if (!fs::exists(host))
            WriteText(host, Windows()                         ? "not a program"
                            : found.script.starts_with("#!") ? found.script
                                                             : "#!/bin/sh\n" + found.script + "\n");
        fs::permissions(host, fs::perms::owner_all);
        // Chromium's manifest back on the real host, so that the case's is the only problem.
        ASSERT_EQ(Setup({"install", "--user", "--browser", "chromium", "--extension", CHROMIUM_ID}).status, 0);
        const std::string& id = found.browser == std::string("firefox") ? FIREFOX_ID : CHROMIUM_ID;
        ASSERT_EQ(Setup({"install", "--user", "--browser", found.browser, "--extension", id, "--host", host}).status,
                  0);
        ExpectProblem(found.browser, found.says);
    }
}

TEST_F(Check, FindsBrowsersWhereverTheyKeepTheirProfiles)
{
    if (Windows())
        GTEST_SKIP() << "no snaps or Flatpaks on Windows";
    struct Case {
        std::string trace;
        std::vector<std::string> says;
    };
    const std::vector<Case> cases = {
        {"home/.config/mozilla/firefox/profiles.ini", {"PROBLEM  firefox: no manifest"}},
        {"home/snap/firefox/common/",
         {"PROBLEM  firefox: no manifest", "PROBLEM  firefox (snap): ", "desktop portal",
          "xdg-desktop-portal is not installed"}},
        {"home/.var/app/org.mozilla.firefox/",
         {"PROBLEM  firefox (Flatpak): ", "xdg-native-messaging-proxy is not installed"}},
        {"root/snap/bin/chromium", {"PROBLEM  chromium (snap): ", "cannot start a host outside its sandbox", ".deb"}},
        {"root/var/lib/flatpak/app/com.brave.Browser/", {"PROBLEM  brave (Flatpak): ", "cannot start a host"}},
    };
    for (const Case& found : cases) {
        const fs::path trace = scratch / found.trace;
        if (found.trace.ends_with("/"))
            fs::create_directories(trace);
        else
            WriteText(trace, "");
        const Result result = Setup({"check"});
        EXPECT_EQ(result.status, 1);
        for (const std::string& text : found.says)
            EXPECT_NE(result.out.find(text), std::string::npos) << found.trace << ":\n" << result.out;
        fs::remove_all(trace);
    }

    fs::create_directories(home() / "snap/firefox");
    WriteText(root() / "usr/libexec/xdg-desktop-portal", "");
    ASSERT_EQ(Setup({"install", "--user", "--browser", "firefox", "--extension", FIREFOX_ID}).status, 0);
    const Result works = Setup({"check"});
    EXPECT_EQ(works.status, 0) << works.out;
    EXPECT_NE(works.out.find("ok       firefox (snap): "), std::string::npos) << works.out;
}

TEST_F(Check, JudgesUdevRulesByWhatTheyGrant)
{
    if (Windows())
        GTEST_SKIP() << "Windows has no udev, and lets every user open HID devices";
    struct Case {
        const char* file;
        std::string rule;   // "/dev/null": a link there
        std::string says;
    };
    const std::string ids = R"(KERNEL=="hidraw*", ATTRS{idVendor}=="0acd", ATTRS{idProduct}=="3820", )";
    const std::string own_group = getgrgid(getegid())->gr_name;
    const std::string packaged = "usr/lib/udev/rules.d/70-bridge-host.rules";
    const std::vector<Case> cases = {
        {"usr/lib/udev/rules.d/70-bridge-host.rules", ids + R"(TAG+="uaccess")",
         "ok       udev rule: " + (root() / packaged).string() + " gives the device to the user at the seat"},
        {"etc/udev/rules.d/50-bridge.rules", ids + R"(MODE="0666")",
         R"(WARNING  udev rule: )" + (root() / "etc/udev/rules.d/50-bridge.rules").string() +
             R"( lets every user of this machine open the device (MODE="0666"))"},
        {"etc/udev/rules.d/50-bridge.rules", ids + R"(MODE="0660", GROUP=")" + own_group + "\"",
         "ok       udev rule: " + (root() / "etc/udev/rules.d/50-bridge.rules").string() + " lets the group " +
             own_group + " open the device"},
        {"etc/udev/rules.d/50-bridge.rules", ids + R"(MODE="0660", GROUP="no-such-group")",
         "PROBLEM  udev rule: " + (root() / "etc/udev/rules.d/50-bridge.rules").string() +
             " lets the group no-such-group open the device, and"},
        {"usr/lib/udev/rules.d/80-bridge-host.rules", ids + R"(TAG+="uaccess")",
         "80-bridge-host.rules sorts after 73-seat-late.rules"},
        {"etc/udev/rules.d/70-bridge-host.rules", "/dev/null",
         "PROBLEM  udev rule: " + (root() / packaged).string() + " is masked by " +
             (root() / "etc/udev/rules.d/70-bridge-host.rules").string()},
        {"etc/udev/rules.d/70-other.rules", R"(KERNEL=="hidraw*", TAG+="uaccess")", "PROBLEM  udev rule: none lets"},
    };
    // No device attached: the rules decide.
    fs::remove_all(root() / "sys/class/hidraw/hidraw3");
    for (const Case& rule : cases) {
        fs::remove_all(root() / "etc/udev");
        fs::remove_all(root() / "usr/lib/udev");
        if (rule.rule == "/dev/null") {
            WriteText(root() / packaged, ids + R"(TAG+="uaccess")" + "\n");
            fs::create_directories((root() / rule.file).parent_path());
            fs::create_symlink("/dev/null", root() / rule.file);
        } else {
            WriteText(root() / rule.file, rule.rule + "\n");
        }
        const Result result = Setup({"check"});
        EXPECT_NE(result.out.find(rule.says), std::string::npos) << result.out;
    }
    // A device that opens shows that access works, whatever the rules say.
    AttachDevice("hidraw3", "0003:00000ACD:00003820");
    const Result opens = Setup({"check"});
    EXPECT_EQ(opens.status, 0) << opens.out;
    EXPECT_NE(opens.out.find("-        udev rule: none lets the user at the seat open 0acd:3820 devices, but the "
                             "attached device opens"),
              std::string::npos)
        << opens.out;
}

TEST_F(Check, FindsDeviceProblems)
{
    if (Windows())
        GTEST_SKIP() << "Windows has no udev, and lets every user open HID devices";
    if (geteuid() == 0) {
        // The node belongs to root: a user without the rule's access list cannot open it.
        ExpectProblem("device", "hidraw3 cannot be opened by this user: Permission denied", {},
                      {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    }
    fs::remove(root() / "dev/hidraw3");
    ExpectProblem("device", "hidraw3 cannot be opened: No such file or directory");
    fs::remove_all(root() / "sys/class/hidraw/hidraw3");
    ExpectProblem("device", "no 0acd:3820 device is attached");
}

TEST_F(Check, DirOptionChecksThatFolderOnly)
{
    if (Windows())
        GTEST_SKIP() << "browsers on Windows read the registry only";
    const fs::path dir = scratch / "profile/NativeMessagingHosts";
    ExpectProblem(dir.string() + "/bridge_host.json", "no manifest", {"--dir", dir});
    ASSERT_EQ(Install({"--dir", dir, "--browser", "firefox"}).status, 0);
    const Result works = Setup({"check", "--dir", dir, "--browser", "firefox"});
    EXPECT_EQ(works.status, 0) << works.out;
    EXPECT_NE(works.out.find("ok       " + dir.string() + "/bridge_host.json: it starts "), std::string::npos) << works.out;
    ExpectProblem(dir.string() + "/bridge_host.json", "no \"allowed_origins\"", {"--dir", dir});

    // A profile folder is where a browser keeps NativeMessagingHosts, not a manifest.
    WriteText(dir.parent_path() / "Local State", "{}");
    ExpectProblem(dir.parent_path().string(), "reads its manifests from " + dir.string(), {"--dir", dir.parent_path()});
}

}  // namespace
