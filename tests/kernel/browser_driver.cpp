// The browser end of the kernel test. It starts the host the way a browser
// does, talks to it in length-prefixed JSON frames over real pipes, drives the
// gadget program that plays the USB device, and checks byte for byte what the
// host answers, forwards and logs.
//
//   kernel-driver [--wine WINE64 WINESERVER | --uhid] HOST DEVICE_PROGRAM
//
// With --wine, HOST is the Windows host, run under Wine in the prefix that
// $WINEPREFIX names; what Wine shows of the device differs (HostKind). With
// --uhid, DEVICE_PROGRAM is bridge-sim-device, which plays the device through
// the kernel's uhid interface (UhidSteps).
//
// Prints one line per step; on the first difference it prints what was
// expected and what came instead, with the host's log, and exits with 1.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_device.h"

using test_device::Bytes;
using Clock = std::chrono::steady_clock;

namespace {

// The unplugged host must sit still this long: no frame, next to no CPU time.
constexpr auto IDLE_WINDOW = std::chrono::seconds(1);
constexpr double MAX_IDLE_CPU_SECONDS = 0.25;
constexpr size_t LENGTH_PREFIX_SIZE = 4;
constexpr size_t READ_CHUNK = 65536;
constexpr size_t LOG_TAIL_BYTES = 6000;
// The host's standard output holds this much: a burst of replies fills it.
constexpr int OUTPUT_PIPE_SIZE = 4096;

// Only guards against a hang; every wait ends on the event it waits for.
// Wine's system processes and the host's start under it take the guest's
// emulated processors far longer.
std::chrono::seconds event_wait(30);

std::string current_step;
int steps_done = 0;

std::string Seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", value);
    return text;
}

// Each step says when it began, which times the steps before it.
void Step(const std::string& name)
{
    static const auto start = std::chrono::steady_clock::now();
    current_step = name;
    const std::chrono::duration<double> at = std::chrono::steady_clock::now() - start;
    std::printf("kernel-driver: %s (at %s)\n", name.c_str(), Seconds(at.count()).c_str());
    std::fflush(stdout);
    ++steps_done;
}

// Where two texts part, shown with a little of what comes before.
std::string FirstDifference(const std::string& expected, const std::string& actual)
{
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    const size_t from = at > 20 ? at - 20 : 0;
    return "first difference at byte " + std::to_string(at) + ": expected \"..." + expected.substr(from, 50) +
           "\", got \"..." + actual.substr(from, 50) + "\"";
}

struct Child {
    pid_t pid = -1;
    int input = -1;    // its standard input, our end
    int output = -1;   // its standard output, our end
    int log = -1;      // its standard error, our end; -1 when it shares ours
};

// Starts a program with its standard streams on pipes of ours (standard
// error only when capture_log, else with its output when log_as_output) and
// the environment given.
Child Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment, bool capture_log,
            bool log_as_output = false)
{
    int in[2], out[2], err[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || (capture_log && pipe2(err, O_CLOEXEC) != 0)) {
        std::perror("kernel-driver: pipe");
        std::exit(1);
    }
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        if (capture_log || log_as_output)
            dup2(capture_log ? err[1] : out[1], STDERR_FILENO);
        std::vector<char*> args, variables;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        for (const std::string& variable : environment)
            variables.push_back(const_cast<char*>(variable.c_str()));
        variables.push_back(nullptr);
        execve(args[0], args.data(), variables.data());
        std::perror("kernel-driver: execve");
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (capture_log)
        close(err[1]);
    child.input = in[1];
    child.output = out[0];
    child.log = err[0];
    return child;
}

// A stream read from a child as it arrives, kept whole.
struct Incoming {
    int fd = -1;
    std::string data;
    size_t start = 0;   // what comes before it has been taken
    bool ended = false;

    bool Unread() const { return data.size() > start; }
    // Half the buffer goes at once, so that taking thousands of frames from
    // the front of a long backlog does not move it thousands of times.
    void Take(size_t size)
    {
        start += size;
        if (start * 2 >= data.size()) {
            data.erase(0, start);
            start = 0;
        }
    }
};

class Rig {
public:
    // With no device program, for a host beside the Rig's that plays it.
    explicit Rig(const std::vector<std::string>& device_argv = {})
    {
        if (!device_argv.empty())
            StartDevice(device_argv);
    }

    // The device program's log comes among its lines.
    void StartDevice(const std::vector<std::string>& argv)
    {
        device_ = Spawn(argv, {}, false, true);
        device_lines_ = Incoming();
        device_lines_.fd = device_.output;
    }

    void StartHost(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
    {
        host_ = Spawn(argv, environment, true);
        if (fcntl(host_.output, F_SETPIPE_SZ, OUTPUT_PIPE_SIZE) < 0)
            Fail("cannot size the host's output pipe: " + std::string(std::strerror(errno)));
        frames_.fd = host_.output;
        fcntl(host_.input, F_SETFL, O_NONBLOCK);
        log_.fd = host_.log;
    }

    // --- the browser's side ---

    void Send(const std::string& json)
    {
        const auto length = static_cast<uint32_t>(json.size());
        unsigned char prefix[LENGTH_PREFIX_SIZE];
        std::memcpy(prefix, &length, sizeof prefix);   // the host's byte order, as the browser sends it
        const std::string frame = std::string(reinterpret_cast<char*>(prefix), sizeof prefix) + json;
        // As a browser, it reads the host's output while the host's input is
        // full: a host whose replies nobody reads stops taking messages.
        for (size_t done = 0; done < frame.size();) {
            const ssize_t size = write(host_.input, frame.data() + done, frame.size() - done);
            if (size > 0)
                done += static_cast<size_t>(size);
            else if (errno == EAGAIN)
                Pump(Clock::now() + event_wait, host_.input);
            else if (errno != EINTR)
                Fail("cannot write a frame to the host: " + std::string(std::strerror(errno)));
        }
    }

    std::string NextFrame(const std::string& expected)
    {
        WaitFor([&] { return HasFrame() || frames_.ended; }, "a frame from the host");
        if (!HasFrame())
            Fail("the host closed its standard output instead of answering", expected, "(end of output)");
        return TakeFrame();
    }

    void ExpectFrame(const std::string& expected)
    {
        const std::string actual = NextFrame(expected);
        if (actual != expected)
            Differs("the host's frame differs", expected, actual);
    }

    // The host ends at the end of its input; nothing may come out before.
    void CloseInputAndExpectExit(int expected_status)
    {
        close(host_.input);
        host_.input = -1;
        WaitFor([&] { return frames_.ended && log_.ended; }, "the host to close its output at the end of input");
        if (frames_.Unread())
            Fail("the host sent something after \"EXIT\"", "nothing", TakeRaw(frames_));
        int status = 0;
        waitpid(host_.pid, &status, 0);
        host_.pid = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != expected_status)
            Fail("the host's exit status differs", "exit code " + std::to_string(expected_status),
                 WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                                   : "signal " + std::to_string(WTERMSIG(status)));
    }

    // --- the host's log ---

    // A text the host logs, next after the last one found. The Windows host
    // hands its log to a thread of its own, so a text logged before a frame
    // may come after it.
    void AwaitLog(const std::string& text)
    {
        WaitFor([&] { return log_.data.find(text, log_cursor_) != std::string::npos || log_.ended; },
                "the host to log \"" + text + "\"");
        if (!FindInLog(text))
            FailLog(text);
    }

    // Waits for the log to hold a text so many times after the last text
    // found, which stays the last found.
    void AwaitLogTimes(const std::string& text, size_t times)
    {
        const auto count = [&] {
            size_t found = 0;
            for (size_t at = log_.data.find(text, log_cursor_); at != std::string::npos;
                 at = log_.data.find(text, at + text.size()))
                ++found;
            return found;
        };
        WaitFor([&] { return count() >= times || log_.ended; },
                "the host to log \"" + text + "\" " + std::to_string(times) + " times");
        if (count() < times)
            Fail("the host's log holds \"" + text + "\" fewer times than expected", std::to_string(times),
                 std::to_string(count()));
    }

    // --- the device's side ---

    void Tell(const std::string& command)
    {
        const std::string line = command + "\n";
        if (write(device_.input, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            Fail("cannot write to the device program: " + std::string(std::strerror(errno)));
    }

    std::string NextDeviceLine()
    {
        const auto end = [&] { return device_lines_.data.find('\n', device_lines_.start); };
        WaitFor([&] { return end() != std::string::npos || device_lines_.ended; }, "the device program");
        if (end() == std::string::npos)
            Fail("the device program ended; see its message above");
        const std::string line = device_lines_.data.substr(device_lines_.start, end() - device_lines_.start);
        device_lines_.Take(line.size() + 1);
        return line;
    }

    void ExpectDeviceLine(const std::string& expected)
    {
        const std::string actual = NextDeviceLine();
        if (actual != expected)
            Differs("the device saw something else", expected, actual);
    }

    // --- the host process itself ---

    // Watches the device node for the host's close of it. Set before the
    // request that should close it.
    void WatchForClose(const std::string& node)
    {
        close_watch_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (close_watch_ < 0 || inotify_add_watch(close_watch_, node.c_str(), IN_CLOSE_WRITE) < 0)
            Fail("cannot watch " + node + ": " + std::strerror(errno));
    }

    void AwaitClose(const std::string& node)
    {
        WaitFor([&] { return closed_; }, "the host to close " + node);
        close(close_watch_);
        close_watch_ = -1;
    }

    // Lets the wall clock run for the window and checks that the host sent
    // nothing and used next to no processor time meanwhile. Only the host's
    // own time counts: under Wine, its system processes go on handling the
    // unplug for a while, and an emulated guest on a busy machine charges
    // them more of its time the busier the machine is; a host that spins in
    // its wait spends the whole window in its own process.
    void ExpectIdle()
    {
        const auto cpu = [&] { return CpuSeconds(host_.pid); };
        const double before = cpu();
        const auto end = Clock::now() + IDLE_WINDOW;
        while (Clock::now() < end && !frames_.ended)
            Pump(end);
        const double used = cpu() - before;
        if (frames_.Unread())
            Fail("the host sent a frame while it should have been silent", "nothing", TakeRaw(frames_));
        if (used > MAX_IDLE_CPU_SECONDS)
            Fail("the host kept the processor busy with nothing to do",
                 "at most " + Seconds(MAX_IDLE_CPU_SECONDS) + " of CPU time in " + Seconds(IDLE_WINDOW.count()),
                 Seconds(used));
    }

    // --- failures ---

    [[noreturn]] void Fail(const std::string& what, const std::string& expected = "",
                           const std::string& actual = "")
    {
        Drain();
        std::printf("FAIL: %s: %s\n", current_step.c_str(), what.c_str());
        if (!expected.empty() || !actual.empty())
            std::printf("  expected: %s\n  actual:   %s\n", expected.c_str(), actual.c_str());
        const size_t from = log_.data.size() > LOG_TAIL_BYTES ? log_.data.size() - LOG_TAIL_BYTES : 0;
        std::printf("--- the host's log%s ---\n%s\n--- end of the host's log ---\n", from ? " (its end)" : "",
                    log_.data.substr(from).c_str());
        std::fflush(stdout);
        if (host_.pid > 0)
            kill(host_.pid, SIGKILL);
        if (device_.pid > 0)
            kill(device_.pid, SIGKILL);
        std::exit(1);
    }

    // Two texts that should have been equal byte for byte.
    [[noreturn]] void Differs(const std::string& what, const std::string& expected, const std::string& actual)
    {
        Fail(what + "; " + FirstDifference(expected, actual), expected, actual);
    }

    // Ends it by the end of its input, or by the signal given.
    void EndDeviceProgram(int signal = 0)
    {
        close(device_.input);
        if (signal)
            kill(device_.pid, signal);
        int status = 0;
        waitpid(device_.pid, &status, 0);
        device_.pid = -1;
        close(device_.output);
        device_lines_.ended = true;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            Fail("the device program failed; see its message above");
    }

private:
    bool HasFrame() const
    {
        if (frames_.data.size() - frames_.start < LENGTH_PREFIX_SIZE)
            return false;
        uint32_t length;
        std::memcpy(&length, frames_.data.data() + frames_.start, sizeof length);
        return frames_.data.size() - frames_.start - LENGTH_PREFIX_SIZE >= length;
    }

    std::string TakeFrame()
    {
        uint32_t length;
        std::memcpy(&length, frames_.data.data() + frames_.start, sizeof length);
        const std::string frame = frames_.data.substr(frames_.start + LENGTH_PREFIX_SIZE, length);
        frames_.Take(LENGTH_PREFIX_SIZE + length);
        return frame;
    }

    static std::string TakeRaw(Incoming& stream)
    {
        const std::string raw = stream.data.substr(stream.start);
        stream.data.clear();
        stream.start = 0;
        return raw.size() > LENGTH_PREFIX_SIZE ? raw.substr(LENGTH_PREFIX_SIZE) : raw;
    }

    bool FindInLog(const std::string& text)
    {
        const size_t at = log_.data.find(text, log_cursor_);
        if (at == std::string::npos)
            return false;
        log_cursor_ = at + text.size();
        return true;
    }

    // Shows the line the host logged instead, found by the text's label.
    [[noreturn]] void FailLog(const std::string& text)
    {
        const size_t colon = text.find(": ");
        std::string actual = "(no such text after byte " + std::to_string(log_cursor_) + " of the log)";
        if (colon != std::string::npos) {
            const size_t at = log_.data.find(text.substr(0, colon + 2), log_cursor_);
            if (at != std::string::npos)
                actual = log_.data.substr(at, log_.data.find('\n', at) - at + 1);
        }
        Differs("the host's log differs", text, actual);
    }

    void WaitFor(const std::function<bool()>& ready, const std::string& what)
    {
        const auto deadline = Clock::now() + event_wait;
        while (!ready()) {
            if (Clock::now() >= deadline)
                Fail("nothing came in " + std::to_string(event_wait.count()) + " s while waiting for " + what);
            Pump(deadline);
        }
    }

    // Reads whatever has arrived, waiting until the deadline for something,
    // or for `writable` to take more.
    void Pump(Clock::time_point deadline, int writable = -1)
    {
        Incoming* streams[] = {&frames_, &log_, &device_lines_};
        pollfd ready[5];
        for (int i = 0; i < 3; ++i)
            ready[i] = {streams[i]->ended ? -1 : streams[i]->fd, POLLIN, 0};
        ready[3] = {close_watch_, POLLIN, 0};
        ready[4] = {writable, POLLOUT, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (poll(ready, 5, static_cast<int>(left > 0 ? left : 0)) < 0 && errno != EINTR)
            Fail("poll: " + std::string(std::strerror(errno)));
        for (int i = 0; i < 3; ++i)
            if (ready[i].revents != 0)
                ReadSome(*streams[i]);
        if (ready[3].revents & POLLIN)
            TakeCloseEvents();
    }

    // Everything already written to the log pipe, without waiting.
    void Drain()
    {
        pollfd ready = {log_.ended ? -1 : log_.fd, POLLIN, 0};
        while (!log_.ended && poll(&ready, 1, 0) == 1)
            ReadSome(log_);
    }

    static void ReadSome(Incoming& stream)
    {
        char chunk[READ_CHUNK];
        const ssize_t size = read(stream.fd, chunk, sizeof chunk);
        if (size > 0)
            stream.data.append(chunk, static_cast<size_t>(size));
        else if (size == 0 || errno != EINTR)
            stream.ended = true;
    }

    void TakeCloseEvents()
    {
        alignas(inotify_event) char buffer[4096];
        const ssize_t size = read(close_watch_, buffer, sizeof buffer);
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_CLOSE_WRITE)
                closed_ = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }

    // A process's CPU time so far.
    double CpuSeconds(pid_t pid)
    {
        const std::string path = "/proc/" + std::to_string(pid) + "/stat";
        FILE* file = std::fopen(path.c_str(), "r");
        if (!file)
            Fail("cannot read " + path);
        char text[1024] = {};
        const size_t size = std::fread(text, 1, sizeof text - 1, file);
        std::fclose(file);
        text[size] = '\0';
        // Fields after the command name in parentheses: state is the 3rd
        // field, user time the 14th and system time the 15th.
        const char* after_name = std::strrchr(text, ')');
        unsigned long user = 0, system = 0;
        if (!after_name || std::sscanf(after_name + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                                       &user, &system) != 2)
            Fail("cannot parse " + path);
        return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    Child host_;
    Child device_;
    Incoming frames_;
    Incoming log_;
    Incoming device_lines_;
    size_t log_cursor_ = 0;
    int close_watch_ = -1;
    bool closed_ = false;
};

// --- what the browser sends and what must come back ---

std::string Numbers(const Bytes& bytes)
{
    // Appended piece by piece: GCC 12 at -O3 takes `"," + std::to_string(...)`
    // for an overlapping copy (-Wrestrict) and would fail the -Werror build.
    std::string text = "[";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            text += ',';
        text += std::to_string(bytes[i]);
    }
    return text + "]";
}

std::string WriteRequest(const Bytes& data)
{
    return R"({"call":"write","data":)" + Numbers(data) + "}";
}

std::string ReceiveMessage(const Bytes& report)
{
    return R"({"call":"receive","response":)" + Numbers(report) + "}";
}

Bytes WithReportId(const Bytes& data)
{
    Bytes report;
    report.reserve(1 + data.size());
    report.push_back(test_device::REPORT_ID);
    for (const unsigned char byte : data)
        report.push_back(byte);
    return report;
}

Bytes Counting(int first, int step)
{
    Bytes data;
    for (size_t k = 0; k < test_device::REPORT_DATA_SIZE; ++k)
        data.push_back(static_cast<unsigned char>(first + step * static_cast<int>(k)));
    return data;
}

constexpr char OPEN_SUCCESS_TEXT[] =
    R"({"call":"open","response":{"productId":"14368","success":"Device Open","vendorId":"2765"}})";
constexpr size_t OPEN_SUCCESS_SIZE = sizeof OPEN_SUCCESS_TEXT - 1;
const std::string OPEN_SUCCESS = OPEN_SUCCESS_TEXT;
const std::string OPEN_FAILURE = R"({"call":"open","response":{"error":"Unable to open device"}})";
const std::string WRITE_SUCCESS = R"({"call":"write","response":{"success":"Sent"}})";
constexpr size_t OPEN_REPLIES_TO_FILL_OUTPUT = OUTPUT_PIPE_SIZE / (LENGTH_PREFIX_SIZE + OPEN_SUCCESS_SIZE) + 1;

// Wine's start in the guest's emulated processors: its server, then its
// system processes.
constexpr auto WINE_START_WAIT = std::chrono::seconds(240);
constexpr std::chrono::seconds WINE_EVENT_WAIT(90);
// More replies than the host's output pipe holds: the worker is held once it
// has taken this many.
constexpr size_t BURST_MESSAGES = 60;

// What the host under test makes of the gadget, where the Linux host and the
// Windows host under Wine 8 differ.
struct HostKind {
    std::vector<std::string> command;       // starts the host
    std::vector<std::string> environment;   // the host's whole environment
    std::string wineserver;                 // under Wine: Wine's server
    std::string manufacturer;               // the device's strings as the host gets them
    std::string product;
    std::string path;                       // the device's path as hidapi gives it; empty: its hidraw node
    std::string release = "219";            // and its release and interface as the host logs them
    std::string interface = "0";
    std::vector<std::string> indexed_string_log;   // what "open" logs of indexed string 1
    std::string other_devices;              // list entries of devices beside the gadget, after it
    bool finds_device_plugged_again = true;
    bool closes_node = true;                // the host itself holds the hidraw node
    // Writes sent at once, far more than the 64 input reports the kernel
    // holds. Under Wine each takes the guest's emulated processors about
    // 46 ms, five times the Linux host's 8 ms, so it gets fewer.
    int burst_writes = 5000;
};

HostKind LinuxHost(const std::string& host)
{
    HostKind kind;
    kind.command = {host};
    // A browser passes its own environment; ours names no locale, so the
    // host starts in "C" as it would under a minimal session.
    kind.environment = {"PATH=/bin"};
    kind.manufacturer = test_device::MANUFACTURER;
    kind.product = test_device::PRODUCT;
    // The hidraw backend has no indexed strings; the host logs the refusal and goes on.
    kind.indexed_string_log = {"Unable to read indexed string 1\n", "Indexed String 1: \n"};
    return kind;
}

std::string Lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

HostKind WineHost(const std::string& wine, const std::string& wineserver, const std::string& host)
{
    HostKind kind;
    kind.command = {wine, host};
    kind.burst_writes = 1000;
    // Ours is Wine's (its prefix, no debug output, a UTF-8 locale), and the
    // host loads the tests' cfgmgr32.dll of the prefix rather than Wine's,
    // which lacks what hidapi needs.
    for (char** variable = environ; *variable; ++variable)
        kind.environment.push_back(*variable);
    kind.environment.push_back("WINEDLLOVERRIDES=cfgmgr32=n");
    kind.wineserver = wineserver;
    // Wine 8's HID bus reads no USB strings of a hidraw device: it calls
    // the maker "hidraw" and takes the product name from the kernel's HID
    // name, which is the maker's and the product's strings together.
    kind.manufacturer = "hidraw";
    kind.product = std::string(test_device::MANUFACTURER) + " " + test_device::PRODUCT;
    // The HID class's interface: the release in decimal and the serial
    // number name the instance.
    kind.path = "\\\\?\\hid#vid_0acd&pid_3820&mi_00#" + std::to_string(test_device::RELEASE) + "&" +
                Lowered(test_device::SERIAL) + "&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    kind.indexed_string_log = {"Indexed String 1: \n"};
    // Wine's own HID mouse and keyboard.
    kind.other_devices =
        R"({"manufacturerName":"The Wine Project","productId":"1","productName":"Wine HID mouse","vendorId":"33886"},)"
        R"({"manufacturerName":"The Wine Project","productId":"2","productName":"Wine HID keyboard","vendorId":"33886"})";
    // Wine 8's HID bus drops a device that it adds while running, as soon as
    // it has added it (plugplay reports it gone): only one there when Wine
    // starts is found.
    kind.finds_device_plugged_again = false;
    // winedevice.exe holds it, whatever the host does.
    kind.closes_node = false;
    return kind;
}

std::string DeviceList(const HostKind& kind, bool with_gadget)
{
    std::string entries;
    if (with_gadget)
        entries = R"({"manufacturerName":")" + kind.manufacturer + R"(","productId":"14368","productName":")" +
                  kind.product + R"(","vendorId":"2765"})";
    if (!kind.other_devices.empty())
        entries += (entries.empty() ? "" : ",") + kind.other_devices;
    return R"({"call":"getDevices","response":)" + (entries.empty() ? "null" : "[" + entries + "]") + "}";
}

std::string Plug(Rig& rig)
{
    rig.Tell("plug");
    const std::string line = rig.NextDeviceLine();
    const std::string prefix = "plugged ";
    if (line.rfind(prefix, 0) != 0)
        rig.Fail("the device did not report itself plugged in", prefix + "/dev/hidrawN", line);
    return line.substr(prefix.size());
}

// Runs a program to its end with its standard streams on /dev/null and our
// environment; fails unless it ends well within the limit.
void RunToEnd(Rig& rig, const std::vector<std::string>& argv, std::chrono::seconds limit)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd)
            dup2(null, fd);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    // A descriptor that becomes readable when the process ends (glibc 2.36's
    // header of pidfd_open lacks C linkage for C++).
    const int process = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
    pollfd ended = {process, POLLIN, 0};
    const bool in_time = process >= 0 && poll(&ended, 1, static_cast<int>(limit.count() * 1000)) == 1;
    if (!in_time && pid > 0)
        kill(pid, SIGKILL);
    int status = 0;
    if (pid > 0)
        waitpid(pid, &status, 0);
    if (process >= 0)
        close(process);
    if (!in_time)
        rig.Fail(argv.back() + " did not end within " + std::to_string(limit.count()) + " s");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        rig.Fail(argv.back() + " failed (wait status " + std::to_string(status) + ")");
}

// Wine's server, kept from our pipes as every Wine program's would be, and
// its system processes, which wineboot starts and waits for.
void StartWine(Rig& rig, const HostKind& kind)
{
    RunToEnd(rig, {kind.wineserver, "-p"}, WINE_START_WAIT);
    RunToEnd(rig, {kind.command[0], "wineboot"}, WINE_START_WAIT);
}

void ExpectDeviceList(Rig& rig, const HostKind& kind, const std::string& node)
{
    rig.Send(R"({"call":"getDevices"})");
    rig.ExpectFrame(DeviceList(kind, true));
    rig.AwaitLog("getDevices() called");
    rig.AwaitLog("Device Found\n  type: 0acd 3820\n  path: " + (kind.path.empty() ? node : kind.path) +
                     "\n  serial_number: " + test_device::SERIAL);
    rig.AwaitLog("  Manufacturer: " + kind.manufacturer + "\n");
    rig.AwaitLog("  Product:      " + kind.product + "\n");
    static_assert(test_device::RELEASE == 0x0219, "the release is logged in hex without leading zeros");
    rig.AwaitLog("  Release:      " + kind.release + "\n");
    rig.AwaitLog("  Interface:    " + kind.interface + "\n");
    rig.AwaitLog("Finised Enumerate() returning\n");
}

void ExpectOpen(Rig& rig, const HostKind& kind)
{
    rig.Send(R"({"call":"open"})");
    rig.ExpectFrame(OPEN_SUCCESS);
    rig.AwaitLog("open() called");
    rig.AwaitLog("Manufacturer String: " + kind.manufacturer + "\n");
    rig.AwaitLog("Product String: " + kind.product + "\n");
    rig.AwaitLog("Serial Number String: (" + std::to_string(test_device::SERIAL[0]) + ") " +
                     test_device::SERIAL);
    for (const std::string& text : kind.indexed_string_log)
        rig.AwaitLog(text);
}

size_t CountNumbers(const std::string& frame)
{
    const size_t open = frame.find('[');
    const size_t close = frame.find(']', open);
    if (open == std::string::npos || close == std::string::npos || close == open + 1)
        return 0;
    const std::string numbers = frame.substr(open, close - open);
    return static_cast<size_t>(std::count(numbers.begin(), numbers.end(), ',')) + 1;
}

void ExpectReceive(Rig& rig, const Bytes& report)
{
    const std::string expected = ReceiveMessage(report);
    const std::string actual = rig.NextFrame(expected);
    if (actual != expected)
        rig.Differs("the forwarded report differs (" + std::to_string(CountNumbers(actual)) +
                        " bytes, the device sent " + std::to_string(report.size()) + ")",
                    expected, actual);
    rig.AwaitLog("Sending read receive ");
}

void ExpectEcho(Rig& rig, const Bytes& data)
{
    const Bytes report = WithReportId(data);
    rig.Send(WriteRequest(data));
    rig.ExpectFrame(WRITE_SUCCESS);
    const std::string expected = "out " + test_device::ToHex(report);
    const std::string actual = rig.NextDeviceLine();
    Bytes received;
    if (actual != expected && actual.rfind("out ", 0) == 0 && test_device::FromHex(actual.substr(4), received))
        rig.Differs("the output report that reached the device differs (" + std::to_string(received.size()) +
                        " bytes, expected " + std::to_string(report.size()) + ")",
                    expected, actual);
    if (actual != expected)
        rig.Differs("the device saw something else", expected, actual);
    rig.ExpectDeviceLine("echoed");
    ExpectReceive(rig, report);
}

void ExpectUnsolicited(Rig& rig, const Bytes& report)
{
    rig.Tell("send " + test_device::ToHex(report));
    rig.ExpectDeviceLine("sent");
    ExpectReceive(rig, report);
}

// More messages than the host's output holds, and a report the device sends
// once the worker has taken more than 32 of them in a row: the report comes
// among or after the replies still to come, each of them once. (A report that
// is there before the worker starts a read is forwarded at once: the read
// takes it without a wait.)
void ExpectReportAmongMessages(Rig& rig, const Bytes& report)
{
    rig.AwaitLog("About to wait on USB or notification..\n");
    for (size_t i = 0; i < BURST_MESSAGES; ++i)
        rig.Send(R"({"call":"open"})");
    rig.AwaitLogTimes("Pushed JSON notify message", BURST_MESSAGES);
    rig.AwaitLogTimes("open() called", OPEN_REPLIES_TO_FILL_OUTPUT);
    rig.Tell("send " + test_device::ToHex(report));
    rig.ExpectDeviceLine("sent");
    size_t before = 0;
    std::string frame;
    while ((frame = rig.NextFrame(OPEN_SUCCESS)) == OPEN_SUCCESS)
        ++before;
    if (frame != ReceiveMessage(report) || before < OPEN_REPLIES_TO_FILL_OUTPUT || before > BURST_MESSAGES)
        rig.Differs("the report is not among the replies the worker had yet to send (" + std::to_string(before) +
                        " replies came before it)",
                    ReceiveMessage(report), frame);
    for (size_t i = before; i < BURST_MESSAGES; ++i)
        rig.ExpectFrame(OPEN_SUCCESS);
}

// Write n's data: counting from n's low byte, its high byte second.
Bytes Numbered(int n)
{
    Bytes data = Counting(n & 0xff, 1);
    data[1] = static_cast<unsigned char>(n >> 8);
    return data;
}

// Writes sent without waiting, far more than the 64 input reports the kernel
// holds for the host: every one gets its "Sent" and its echo, in order.
void ExpectEveryEcho(Rig& rig, int writes)
{
    for (int i = 0; i < writes; ++i)
        rig.Send(WriteRequest(Numbered(i)));
    int sent = 0, echoed = 0;
    while (sent < writes || echoed < writes) {
        const std::string frame = rig.NextFrame(WRITE_SUCCESS);
        if (frame == WRITE_SUCCESS && sent < writes) {
            ++sent;
            continue;
        }
        const Bytes report = WithReportId(Numbered(echoed));
        if (frame != ReceiveMessage(report) || echoed >= sent)
            rig.Differs("echo " + std::to_string(echoed) + " is missing, out of order or before its reply",
                        ReceiveMessage(report), frame);
        rig.ExpectDeviceLine("out " + test_device::ToHex(report));
        rig.ExpectDeviceLine("echoed");
        ++echoed;
    }
}

// bridge-sim-device --kernel in place of the gadget: a HID device made
// through uhid has no USB device above it, whose strings, release and
// interface hidapi would read; so the maker is empty and the product is the
// kernel's HID name, which the program makes of both strings as usbhid does.
HostKind UhidHost(const std::string& host)
{
    HostKind kind = LinuxHost(host);
    kind.manufacturer = "";
    kind.product = std::string(test_device::MANUFACTURER) + " " + test_device::PRODUCT;
    kind.release = "0";
    kind.interface = "-1";
    return kind;
}

std::string PlugUhid(Rig& rig, const std::string& program)
{
    rig.StartDevice({program, "--kernel", "--manufacturer", test_device::MANUFACTURER, "--product-name",
                     test_device::PRODUCT, "--serial", test_device::SERIAL});
    const std::string line = rig.NextDeviceLine();
    const std::string prefix = "kernel device 0acd:3820 ready as ";
    if (line.rfind(prefix, 0) != 0)
        rig.Fail("the device did not say it is ready", prefix + "/dev/hidrawN", line);
    return line.substr(prefix.size());
}

// A write reaches bridge-sim-device as the whole report, which it prints and
// echoes; hidraw gives the echo to every host that has the node open.
void ExpectUhidEcho(Rig& device, Rig& writer, const std::vector<Rig*>& hosts, const Bytes& data)
{
    const Bytes report = WithReportId(data);
    writer.Send(WriteRequest(data));
    writer.ExpectFrame(WRITE_SUCCESS);
    device.ExpectDeviceLine(test_device::ToHex(report));
    for (Rig* host : hosts)
        ExpectReceive(*host, report);
}

int UhidSteps(const std::string& host, const std::string& program)
{
    const HostKind kind = UhidHost(host);
    Rig rig;
    Step("bridge-sim-device --kernel makes the device");
    std::string node = PlugUhid(rig, program);
    rig.StartHost(kind.command, kind.environment);

    Step("getDevices lists it with its strings as hidapi reads them");
    ExpectDeviceList(rig, kind, node);

    Step("open it; write [1..64]: 65 bytes reach the device, the echo comes back");
    ExpectOpen(rig, kind);
    rig.ExpectDeviceLine("bridge-sim-device: host connected");
    ExpectUhidEcho(rig, rig, {&rig}, Counting(1, 1));

    Step("unplug while a read is pending: the read ends, the list lacks the device");
    rig.AwaitLog("About to wait on USB or notification..\n");
    rig.EndDeviceProgram(SIGTERM);
    rig.AwaitLog("hid_read: Unable to read(), closing...\n");
    rig.Send(R"({"call":"getDevices"})");
    rig.ExpectFrame(DeviceList(kind, false));

    Step("plug in again and open again");
    node = PlugUhid(rig, program);
    ExpectDeviceList(rig, kind, node);
    ExpectOpen(rig, kind);
    rig.ExpectDeviceLine("bridge-sim-device: host connected");

    Step("two hosts: both open, both get the echo of either's write and the device's own report");
    Rig second;
    second.StartHost(kind.command, kind.environment);
    ExpectOpen(second, kind);
    ExpectUhidEcho(rig, rig, {&rig, &second}, Counting(64, -1));
    ExpectUhidEcho(rig, second, {&rig, &second}, Counting(0x10, 5));
    // A report typed short is sent whole, as a device on a cable sends it.
    Bytes own(test_device::REPORT_SIZE, 0);
    own[0] = test_device::REPORT_ID;
    own[1] = 0x20;
    rig.Tell("01 20");
    ExpectReceive(rig, own);
    ExpectReceive(second, own);

    Step("both hosts end at the end of their input, which closes the device");
    rig.CloseInputAndExpectExit(0);
    second.CloseInputAndExpectExit(0);
    rig.ExpectDeviceLine("bridge-sim-device: host disconnected");
    rig.EndDeviceProgram(SIGTERM);

    std::printf("kernel-driver: all %d steps passed\n", steps_done);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool wine = argc == 6 && std::strcmp(argv[1], "--wine") == 0;
    const bool uhid = argc == 4 && std::strcmp(argv[1], "--uhid") == 0;
    if (argc != 3 && !wine && !uhid) {
        std::fprintf(stderr, "usage: kernel-driver [--wine WINE64 WINESERVER | --uhid] HOST DEVICE_PROGRAM\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (uhid)
        return UhidSteps(argv[2], argv[3]);
    const HostKind kind = wine ? WineHost(argv[2], argv[3], argv[4]) : LinuxHost(argv[1]);
    if (wine)
        event_wait = WINE_EVENT_WAIT;
    Rig rig({argv[argc - 1]});

    Step("plug the device in");
    std::string node = Plug(rig);

    if (wine) {
        // Wine 8's HID bus finds only a device that is there when it starts.
        Step("start Wine");
        StartWine(rig, kind);
    }
    rig.StartHost(kind.command, kind.environment);

    Step("getDevices lists it with its strings");
    ExpectDeviceList(rig, kind, node);

    Step("open it; a report sent at once comes back");
    ExpectOpen(rig, kind);
    ExpectUnsolicited(rig, WithReportId(Counting(0x80, 3)));

    Step("write [1..64]: 65 bytes reach the device, the echo comes back");
    ExpectEcho(rig, Counting(1, 1));

    Step("a report the device sends on its own comes back");
    ExpectUnsolicited(rig, WithReportId(Counting(0xff, -1)));

    Step("messages and a report at once: each once, the report after the replies sent before it");
    ExpectReportAmongMessages(rig, WithReportId(Counting(0x10, 5)));

    Step(std::to_string(kind.burst_writes) + " writes sent without waiting: every reply and every echo, in order");
    ExpectEveryEcho(rig, kind.burst_writes);

    Step("unplug while a read is pending");
    rig.AwaitLog("About to wait on USB or notification..\n");
    rig.Tell("unplug");
    rig.ExpectDeviceLine("unplugged");
    rig.AwaitLog("hid_read: Unable to read(), closing...\n");
    rig.AwaitLog("hid_read: returned -1\n");

    Step("unplugged: no message, no busy waiting");
    rig.ExpectIdle();
    rig.AwaitLog("About to wait on notification only..\n");

    Step("unplugged: write gets no reply, the list lacks the device");
    rig.Send(WriteRequest(Counting(1, 1)));
    rig.AwaitLog("write() called on null handle");
    rig.Send(R"({"call":"getDevices"})");
    rig.ExpectFrame(DeviceList(kind, false));

    Step("plug in again and open again");
    node = Plug(rig);
    if (kind.finds_device_plugged_again) {
        ExpectDeviceList(rig, kind, node);
        ExpectOpen(rig, kind);

        Step("reports flow again");
        ExpectEcho(rig, Counting(64, -1));
        ExpectUnsolicited(rig, WithReportId(Counting(0x20, 7)));
    } else {
        // Only that "open" answers, found or not.
        rig.Send(R"({"call":"open"})");
        const std::string reply = rig.NextFrame(OPEN_FAILURE);
        if (reply != OPEN_SUCCESS && reply != OPEN_FAILURE)
            rig.Differs("the host's frame differs", OPEN_FAILURE, reply);
        std::printf("kernel-driver: the device plugged in again is %s\n",
                    reply == OPEN_SUCCESS ? "open" : "not found, as Wine 8 does");
    }

    Step("EXIT closes the device");
    if (kind.closes_node)
        rig.WatchForClose(node);
    rig.Send(R"({"call":"EXIT"})");
    rig.AwaitLog("EXIT Called");
    if (kind.closes_node)
        rig.AwaitClose(node);

    Step("end of input ends the host with exit code 0");
    rig.CloseInputAndExpectExit(0);
    rig.EndDeviceProgram();

    std::printf("kernel-driver: all %d steps passed\n", steps_done);
    return 0;
}
