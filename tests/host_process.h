// A bridge host started as the browser starts it: its standard input and
// output on pipes of ours, its log collected as it comes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include "frame.h"

// The hosts under test are the Linux build's, those of the Windows build
// named by $BRIDGE_TEST_WINDOWS, which run under Wine in that build's own
// Wine prefix, or those of the Linux build for another processor named by
// $BRIDGE_TEST_EMULATED, which the kernel runs under qemu-user.
bool TestingWindowsHosts();
bool TestingEmulatedHosts();
// linux_path, or the Windows build's executable of that name, or the
// emulated build's program of linux_path's name.
std::string HostExecutable(const std::string& linux_path, const std::string& windows_name);
// The command that starts a Windows executable under Wine.
std::vector<std::string> WindowsCommand(const std::string& executable);
// A path of this machine as the host sees it: under Wine, on drive Z:.
std::string PathForHost(const std::string& path);

struct HostOptions {
    std::string path = HostExecutable(BRIDGE_HOST, "bridge-host.exe");
    std::vector<std::string> arguments;
    std::vector<std::string> environment;   // NAME=value entries added to ours
    bool input_on_terminal = false;          // standard input is a pseudo-terminal
    bool close_input = false;                // started with descriptor 0 closed
    bool close_output = false;               // started with descriptor 1 closed
    bool nonblocking_output = false;         // the pipe behind descriptor 1 is O_NONBLOCK
    bool close_error = false;                // started with descriptor 2 closed
    bool log_unread = false;                 // nobody reads the log until ReadLog()
    bool log_read_slowly = false;            // the log's pipe is read 4 KiB a millisecond
    bool log_read_in_drips = false;          // the log's pipe holds a page, read 200 bytes every 0.1 s
    bool log_on_stopping_terminal = false;   // standard error a terminal with tostop, the host in the background
    int descriptor_limit = 0;                // when set, the most descriptors the host may have open
    bool log_discarded = false;              // the log is read as it comes and thrown away
    bool log_to_null = false;                // standard error is /dev/null
    bool output_to_null = false;             // standard output is /dev/null
};

class HostProcess {
public:
    explicit HostProcess(HostOptions options = {});
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Writes to the host's standard input.
    void Send(const nlohmann::json& message);
    void SendText(std::string_view text);          // one frame with this body
    void SendRaw(std::string_view bytes);          // bytes as they are
    void SendEndOfLine();                          // on a terminal: Ctrl-D, an empty read
    void CloseInput();
    void CloseOutputReader();                      // as a browser that stopped reading

    // The next frame's text; nullopt once the host has closed its output.
    std::optional<std::string> ReadFrameText();
    std::optional<nlohmann::json> ReadFrame();
    // Every frame until the host closes its output.
    std::vector<std::string> ReadAllFrames();

    // Starts reading the log of a host started with log_unread.
    void ReadLog();
    // Blocks until the log holds `text` `times` times, or the host has closed
    // its standard error; says which.
    bool WaitForLog(std::string_view text, size_t times = 1);
    std::string Log();
    // The log without the reader's lines, which may land anywhere in the
    // worker's (each reader line is one write, so it is whole): what the
    // worker wrote, as it wrote it.
    std::string WorkerLog();
    size_t CountInLog(std::string_view text);

    // Waits for the host to end; its exit status, or 128 + signal.
    int Wait();
    void Signal(int number);
    pid_t pid() const { return pid_; }
    // The host's resident memory (VmRSS) in KiB, or -1.
    long ResidentKiB() const;

private:
    void CollectLog(int fd);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int log_unread_ = -1;
    int exit_status_ = -1;
    std::mutex log_mutex_;
    std::condition_variable log_changed_;
    std::string log_;
    bool log_closed_ = false;
    bool keep_log_ = true;
    size_t read_size_ = 65536;   // the log's reader takes at most this much,
    int read_pause_ms_ = 0;      // then pauses this long
    std::thread log_reader_;
};

// Frame helpers shared by the tests, beside the tools' Frame (frame.h).
std::string LengthPrefix(uint32_t length);
size_t CountOf(std::string_view haystack, std::string_view needle);
