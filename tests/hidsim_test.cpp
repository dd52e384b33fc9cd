// The virtual HID library as hidapi's callers see it, with devices played in
// this process by VirtualDevice, and the bridge-sim-device tool as a process.
#include <hidapi.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "device_handle.h"
#include "virtual_device.h"
#include "whole_io.h"

extern char** environ;

using nlohmann::json;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr unsigned short VENDOR = 0x0ACD;
constexpr unsigned short PRODUCT = 0x3820;
constexpr size_t REPORT_LEN = 65;

std::wstring Text(const wchar_t* text)
{
    return text ? text : L"<absent>";
}

class VirtualHid : public ::testing::Test {
   protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "hidsim-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        setenv("HIDSIM_DIR", dir_.c_str(), 1);
    }
    void TearDown() override
    {
        hid_close(handle_);
        std::filesystem::remove_all(dir_);
    }

    // Opens the served device, which `device` plays, and takes the connection.
    void Open(hidsim::VirtualDevice& device)
    {
        handle_ = hid_open(VENDOR, PRODUCT, nullptr);
        ASSERT_NE(handle_, nullptr);
        ASSERT_TRUE(device.Accept());
    }

    Bytes Read(size_t length, int milliseconds = -1)
    {
        Bytes report(length);
        const int got = hid_read_timeout(handle_, report.data(), length, milliseconds);
        report.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return report;
    }

    std::string dir_;
    hid_device* handle_ = nullptr;
};

// ---- The device list

TEST_F(VirtualHid, EnumerationGivesTheRecordsInOrderWithTheirStrings)
{
    hidsim::WriteDevices(dir_, json::array({
                                   {{"path", "/dev/first"},
                                    {"vendor_id", VENDOR},
                                    {"product_id", PRODUCT},
                                    {"release_number", 0x0102},
                                    {"interface_number", 2},
                                    {"manufacturer_string", "Grüße \xF0\x9F\x98\x80"},
                                    {"product_string", {0x41, 0xDC00}},
                                    {"serial_number", nullptr}},
                                   {{"vendor_id", 1}},
                               }));
    hid_device_info* list = hid_enumerate(0, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->path, "/dev/first");
    EXPECT_EQ(list->vendor_id, VENDOR);
    EXPECT_EQ(list->product_id, PRODUCT);
    EXPECT_EQ(list->release_number, 0x0102);
    EXPECT_EQ(list->interface_number, 2);
    EXPECT_EQ(Text(list->manufacturer_string), L"Grüße \U0001F600");
    EXPECT_EQ(Text(list->product_string), (std::wstring{0x41, 0xDC00}));
    EXPECT_EQ(list->serial_number, nullptr);

    const hid_device_info* defaulted = list->next;
    ASSERT_NE(defaulted, nullptr);
    EXPECT_EQ(defaulted->vendor_id, 1);
    EXPECT_EQ(defaulted->product_id, 0);
    EXPECT_EQ(defaulted->interface_number, 0);
    EXPECT_STREQ(defaulted->path, "");
    EXPECT_EQ(defaulted->manufacturer_string, nullptr);
    EXPECT_EQ(defaulted->next, nullptr);
    hid_free_enumeration(list);
}

TEST_F(VirtualHid, EnumerationFiltersByEachIdWhereNotZero)
{
    hidsim::WriteDevices(dir_, json::array({{{"path", "a"}, {"vendor_id", 1}, {"product_id", 2}},
                                            {{"path", "b"}, {"vendor_id", 1}, {"product_id", 3}},
                                            {{"path", "c"}, {"vendor_id", 4}, {"product_id", 3}}}));
    auto paths = [](unsigned short vendor, unsigned short product) {
        hid_device_info* list = hid_enumerate(vendor, product);
        std::string found;
        for (const hid_device_info* device = list; device; device = device->next)
            found += device->path;
        hid_free_enumeration(list);
        return found;
    };
    EXPECT_EQ(paths(0, 0), "abc");
    EXPECT_EQ(paths(1, 0), "ab");
    EXPECT_EQ(paths(0, 3), "bc");
    EXPECT_EQ(paths(1, 3), "b");
    EXPECT_EQ(hid_enumerate(4, 2), nullptr);
}

TEST_F(VirtualHid, AMissingOrBrokenListMeansNoDevice)
{
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);
    for (const char* text : {"[{\"vendor_id\": 1}", "{\"vendor_id\": 1}", ""}) {
        std::ofstream(dir_ + "/devices.json") << text;
        EXPECT_EQ(hid_enumerate(0, 0), nullptr) << text;
    }
}

TEST_F(VirtualHid, DevicesShareADirectoryAndLeaveItWhenUnplugged)
{
    hidsim::VirtualDevice first(dir_);
    hidsim::VirtualDevice second(dir_, {{"vendor_id", 1}});
    hid_device_info* list = hid_enumerate(0, 0);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->vendor_id, VENDOR);
    EXPECT_EQ(list->release_number, 0x0100);
    EXPECT_EQ(list->next->vendor_id, 1);
    EXPECT_STRNE(list->path, list->next->path);
    hid_free_enumeration(list);

    first.Unplug();
    list = hid_enumerate(0, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->vendor_id, 1);
    EXPECT_EQ(list->next, nullptr);
    hid_free_enumeration(list);
    second.Unplug();
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        EXPECT_FALSE(entry.is_socket()) << entry.path();
}

// ---- Opening

TEST_F(VirtualHid, OpenFailsWithoutARecordOrAListener)
{
    EXPECT_EQ(hid_open(VENDOR, PRODUCT, nullptr), nullptr);

    // A socket whose player is gone: the file is there, nobody listens.
    const std::string dead = dir_ + "/dead.sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    dead.copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(fd);
    hidsim::WriteDevices(dir_, json::array({{{"vendor_id", VENDOR}, {"product_id", PRODUCT}, {"socket", "dead.sock"}}}));
    EXPECT_EQ(hid_open(VENDOR, PRODUCT, nullptr), nullptr);
    EXPECT_NE(hid_error(nullptr), nullptr);
}

TEST_F(VirtualHid, AnOpenDeviceAnswersStringQueriesLikeHidapi)
{
    hidsim::VirtualDevice device(
        dir_, {{"manufacturer_string", "Maker"}, {"product_string", {0x41, 0xDC00}}, {"indexed_string_1", "One"}});
    Open(device);
    wchar_t text[4];
    ASSERT_EQ(hid_get_manufacturer_string(handle_, text, 4), 0);
    EXPECT_EQ(std::wstring(text), L"Mak");
    ASSERT_EQ(hid_get_product_string(handle_, text, 4), 0);
    EXPECT_EQ(std::wstring(text), (std::wstring{0x41, 0xDC00}));
    ASSERT_EQ(hid_get_indexed_string(handle_, 1, text, 4), 0);
    EXPECT_EQ(std::wstring(text), L"One");

    wchar_t untouched[] = L"xyz";
    EXPECT_EQ(hid_get_serial_number_string(handle_, untouched, 4), -1);
    EXPECT_EQ(hid_get_indexed_string(handle_, 2, untouched, 4), -1);
    EXPECT_EQ(std::wstring(untouched), L"xyz");
}

TEST_F(VirtualHid, TheHostFindsTheConnectionAtTheStartOfTheRecord)
{
    hidsim::VirtualDevice device(dir_);
    Open(device);
    const int descriptor = DeviceReadCompletion(handle_);
    ASSERT_GE(descriptor, 0);
    ASSERT_TRUE(device.SendInputReport({1, 2}));
    pollfd ready = {descriptor, POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, -1), 1);
}

// ---- Reports

TEST_F(VirtualHid, EachReadGivesOneReportCutToTheCallersLength)
{
    hidsim::VirtualDevice device(dir_);
    Open(device);
    ASSERT_TRUE(device.SendInputReport({1, 2, 3, 4}));
    ASSERT_TRUE(device.SendInputReport({5}));
    EXPECT_EQ(Read(2), (Bytes{1, 2}));
    EXPECT_EQ(Read(64), (Bytes{5}));
}

TEST_F(VirtualHid, NonBlockingReadGivesZeroUntilAReportIsThere)
{
    hidsim::VirtualDevice device(dir_);
    Open(device);
    ASSERT_EQ(hid_set_nonblocking(handle_, 1), 0);
    unsigned char report[8];
    EXPECT_EQ(hid_read(handle_, report, sizeof report), 0);
    EXPECT_EQ(hid_read_timeout(handle_, report, sizeof report, 0), 0);
    EXPECT_EQ(hid_error(handle_), nullptr);

    ASSERT_TRUE(device.SendInputReport({9, 8}));
    pollfd ready = {DeviceReadCompletion(handle_), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, -1), 1);
    EXPECT_EQ(hid_read(handle_, report, sizeof report), 2);
    EXPECT_EQ(report[0], 9);
}

TEST_F(VirtualHid, UnplugDeliversWhatWasSentThenFailsEveryRead)
{
    hidsim::VirtualDevice device(dir_);
    Open(device);
    ASSERT_TRUE(device.SendInputReport({7}));
    device.Unplug();
    EXPECT_EQ(Read(8), Bytes{7});
    unsigned char report[8];
    EXPECT_EQ(hid_read_timeout(handle_, report, sizeof report, -1), -1);
    EXPECT_NE(hid_error(handle_), nullptr);
    hid_set_nonblocking(handle_, 1);
    EXPECT_EQ(hid_read(handle_, report, sizeof report), -1);
}

TEST_F(VirtualHid, WriteSendsTheBufferAsOnePacket)
{
    hidsim::VirtualDevice device(dir_);
    Open(device);
    Bytes report(REPORT_LEN);
    for (size_t i = 0; i < report.size(); ++i)
        report[i] = static_cast<uint8_t>(i * 3);
    EXPECT_EQ(hid_write(handle_, report.data(), report.size()), static_cast<int>(REPORT_LEN));
    EXPECT_EQ(hid_error(handle_), nullptr);
    EXPECT_EQ(device.ReceiveOutputReport(), report);

    hid_close(handle_);
    handle_ = nullptr;
    EXPECT_TRUE(device.ReceiveOutputReport().empty());
    EXPECT_TRUE(device.connections().empty());
}

TEST_F(VirtualHid, ARefusedWriteLeavesAReason)
{
    hidsim::VirtualDevice device(dir_, {{"fail_write", true}});
    Open(device);
    const unsigned char report[REPORT_LEN] = {1};
    EXPECT_EQ(hid_write(handle_, report, sizeof report), -1);
    ASSERT_NE(hid_error(handle_), nullptr);
    EXPECT_NE(std::wstring(hid_error(handle_)), L"");
}

// ---- The library's life

TEST_F(VirtualHid, InitFailsOnlyWhenTheDirectorySaysSo)
{
    EXPECT_EQ(hid_init(), 0);
    std::ofstream(dir_ + "/init-fails").close();
    EXPECT_EQ(hid_init(), -1);
    EXPECT_EQ(hid_exit(), 0);
    hid_close(nullptr);
}

// ---- bridge-sim-device

// Reads up to a line end, waiting for it; empty at end of file.
std::string ReadLine(int fd)
{
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

class SimDeviceTool : public VirtualHid {
   protected:
    void Start(std::vector<std::string> arguments)
    {
        int input[2], output[2], log[2];
        ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(log, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, log[1], STDERR_FILENO);
        arguments.insert(arguments.begin(), {SIM_DEVICE, "--dir", dir_});
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid_, SIM_DEVICE, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        close(log[1]);
        to_device_ = input[1];
        from_device_ = output[0];
        log_ = log[0];
        ASSERT_NE(ReadLine(log_).find("ready"), std::string::npos);
    }

    // Ends the tool with SIGTERM; its exit status.
    int Stop()
    {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void TearDown() override
    {
        if (pid_ > 0)
            Stop();
        for (const int fd : {to_device_, from_device_, log_})
            if (fd >= 0)
                close(fd);
        VirtualHid::TearDown();
    }

    pid_t pid_ = -1;
    int to_device_ = -1;
    int from_device_ = -1;
    int log_ = -1;
};

TEST_F(SimDeviceTool, PrintsAndEchoesOutputReportsAndSendsTypedOnes)
{
    Start({"--manufacturer", "Maker", "--serial", "S1"});
    hid_device_info* list = hid_enumerate(VENDOR, PRODUCT);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(Text(list->manufacturer_string), L"Maker");
    EXPECT_EQ(Text(list->product_string), L"Example Device");
    EXPECT_EQ(Text(list->serial_number), L"S1");
    hid_free_enumeration(list);

    handle_ = hid_open(VENDOR, PRODUCT, nullptr);
    ASSERT_NE(handle_, nullptr);
    const Bytes report = {0x01, 0xAB, 0x00, 0x10};
    ASSERT_EQ(hid_write(handle_, report.data(), report.size()), 4);
    EXPECT_EQ(ReadLine(from_device_), "01 ab 00 10");
    EXPECT_EQ(Read(64), report);

    const std::string typed = "02 ff10 3\n";
    ASSERT_EQ(write(to_device_, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    EXPECT_EQ(Read(64), (Bytes{0x02, 0xFF, 0x10, 0x03}));
}

TEST_F(SimDeviceTool, ServesHostAfterHostPastTheEndOfItsInputAndCleansUpOnSigterm)
{
    Start({"--vendor", "1234", "--no-echo", "--no-strings"});
    close(to_device_);
    to_device_ = -1;
    hid_device_info* list = hid_enumerate(0x1234, PRODUCT);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->manufacturer_string, nullptr);
    EXPECT_EQ(list->product_string, nullptr);
    hid_free_enumeration(list);
    for (int host = 0; host < 2; ++host) {
        handle_ = hid_open(0x1234, PRODUCT, nullptr);
        ASSERT_NE(handle_, nullptr);
        const unsigned char report[] = {static_cast<unsigned char>(host)};
        ASSERT_EQ(hid_write(handle_, report, 1), 1);
        EXPECT_EQ(ReadLine(from_device_), host == 0 ? "00" : "01");
        hid_close(handle_);
        handle_ = nullptr;
    }
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/hidsim0.sock"));
}

TEST_F(SimDeviceTool, NeverWaitsOnAnUnreadLogAndEndsOnSigterm)
{
    Start({});
    handle_ = hid_open(VENDOR, PRODUCT, nullptr);
    ASSERT_NE(handle_, nullptr);
    // Typed lines are handled in order: once the report typed last arrives,
    // everything typed before it was handled.
    auto type_then_probe = [&](const std::string& typed) {
        const std::string text = typed + "05\n";
        ASSERT_TRUE(WriteExactly(to_device_, text.data(), text.size()));
        EXPECT_EQ(Read(64), Bytes{5});
    };
    // Each line that is not hex is logged: far more than the log's pipe holds.
    constexpr size_t lines = 20000;
    std::string flood;
    for (size_t i = 0; i < lines; ++i)
        flood += "zz\n";
    type_then_probe(flood);

    std::string log;
    fcntl(log_, F_SETFL, O_NONBLOCK);
    char chunk[4096];
    for (ssize_t got; (got = read(log_, chunk, sizeof chunk)) > 0;)
        log.append(chunk, static_cast<size_t>(got));
    fcntl(log_, F_SETFL, 0);
    size_t logged = 0;
    for (size_t at = log.find("not hex bytes"); at != std::string::npos; at = log.find("not hex bytes", at + 1))
        ++logged;
    EXPECT_LT(logged, lines);
    type_then_probe("yy\n");
    EXPECT_EQ(ReadLine(log_),
              "bridge-sim-device: dropped " + std::to_string(lines - logged) + " log lines: standard error was full");
    EXPECT_EQ(ReadLine(log_), "bridge-sim-device: not hex bytes, nothing sent: yy");

    type_then_probe(flood);   // full once more, and left unread
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);
}

// The kernel device itself needs /dev/uhid, which only the kernel test's guest has.
TEST(SimDeviceOptions, HelpNamesTheKernelDeviceWhichRefusesWhatTheKernelDescribes)
{
    struct Case {
        const char* arguments;
        int status;
        const char* says;
    };
    for (const Case& run : {Case{"--help", 0, "  --kernel "}, Case{"--kernel --path /dev/x", 2, "--kernel takes no"}}) {
        FILE* out = popen((std::string(SIM_DEVICE) + " " + run.arguments + " 2>&1").c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string text;
        for (int c; (c = std::fgetc(out)) != EOF;)
            text += static_cast<char>(c);
        const int status = pclose(out);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, run.status) << run.arguments;
        EXPECT_NE(text.find(run.says), std::string::npos) << text;
    }
}

}  // namespace
