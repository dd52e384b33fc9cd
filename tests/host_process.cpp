#include "host_process.h"

#include "whole_io.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr char END_OF_LINE = 0x04;   // the terminal's EOF character, Ctrl-D
constexpr unsigned char UNUSED_CHARACTER = 0xFF;

void Check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

void WriteAllToHost(int fd, std::string_view bytes)
{
    Check(WriteExactly(fd, bytes.data(), bytes.size()), "write to host");
}

// A new pseudo-terminal: the master's descriptor, and the slave's in *slave,
// set up by `configure`.
template <typename Configure>
int OpenTerminal(int* slave, Configure configure)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    Check(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0, "pseudo-terminal");
    *slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    Check(*slave >= 0, "open terminal");
    termios mode;
    Check(tcgetattr(*slave, &mode) == 0, "tcgetattr");
    configure(mode);
    Check(tcsetattr(*slave, TCSANOW, &mode) == 0, "tcsetattr");
    return master;
}

// A terminal in canonical mode turns each Ctrl-D at the start of a line into a
// read of 0 bytes, and Ctrl-D after other bytes hands those over at once. Every
// other special character is moved to a byte the tests never send.
int OpenTerminalForInput(int* slave)
{
    return OpenTerminal(slave, [](termios& mode) {
        mode.c_iflag = 0;
        mode.c_oflag = 0;
        mode.c_lflag = ICANON;
        for (const int special : {VERASE, VKILL, VEOL, VEOL2, VWERASE, VREPRINT, VLNEXT, VINTR, VQUIT, VSUSP})
            mode.c_cc[special] = UNUSED_CHARACTER;
        mode.c_cc[VEOF] = END_OF_LINE;
    });
}

// A terminal that passes bytes unchanged and stops background writers.
int OpenStoppingTerminal(int* slave)
{
    return OpenTerminal(slave, [](termios& mode) {
        cfmakeraw(&mode);
        mode.c_lflag |= TOSTOP;
    });
}

// Starts argv in a process group of its own, in the background of a new
// session whose controlling terminal is `terminal`, which becomes its
// standard error. The returned process leads the session and ends with the
// program's status; should the program be stopped, it kills it and ends with
// 128 + the stopping signal. Only calls that are safe after fork() in a
// process with threads come between fork() and exec.
pid_t SpawnInBackground(char* const argv[], char* const envp[], int input, int output, int terminal)
{
    const pid_t leader = fork();
    Check(leader >= 0, "fork");
    if (leader > 0)
        return leader;
    if (setsid() < 0 || ioctl(terminal, TIOCSCTTY, 0) < 0)
        _exit(126);
    const pid_t program = fork();
    if (program == 0) {
        setpgid(0, 0);
        if (dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(terminal, 2) < 0)
            _exit(126);
        execve(argv[0], argv, envp);
        _exit(127);
    }
    // The end of the host closes the terminal, whose hangup would end us
    // before we could tell how the host ended. Copies of the test's
    // descriptors here would keep the host's input open.
    signal(SIGHUP, SIG_IGN);
    close_range(0, ~0U, 0);
    int status = 0;
    while (program > 0 && waitpid(program, &status, WUNTRACED) < 0 && errno == EINTR) {
    }
    if (WIFSTOPPED(status)) {
        kill(program, SIGKILL);
        _exit(128 + WSTOPSIG(status));
    }
    _exit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
}

const char* BuildNamedBy(const char* variable)
{
    const char* build = std::getenv(variable);
    return build && *build ? build : nullptr;
}

const char* WindowsBuild()
{
    return BuildNamedBy("BRIDGE_TEST_WINDOWS");
}

const char* EmulatedBuild()
{
    return BuildNamedBy("BRIDGE_TEST_EMULATED");
}

}  // namespace

bool TestingWindowsHosts()
{
    return WindowsBuild() != nullptr;
}

bool TestingEmulatedHosts()
{
    return EmulatedBuild() != nullptr;
}

std::string HostExecutable(const std::string& linux_path, const std::string& windows_name)
{
    if (TestingWindowsHosts())
        return std::string(WindowsBuild()) + "/" + windows_name;
    if (TestingEmulatedHosts())
        return std::string(EmulatedBuild()) + "/" + linux_path.substr(linux_path.rfind('/') + 1);
    return linux_path;
}

std::vector<std::string> WindowsCommand(const std::string& executable)
{
    // The prefix's cfgmgr32.dll is the stand-in of tests/wine.
    return {"/usr/bin/env",   "WINEPREFIX=" + std::string(WindowsBuild()) + "/wine-prefix",
            "WINEDEBUG=-all", "WINEDLLOVERRIDES=cfgmgr32=n",
            BRIDGE_WINE,      executable};
}

std::string PathForHost(const std::string& path)
{
    if (!TestingWindowsHosts())
        return path;
    std::string windows = "Z:" + path;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::string LengthPrefix(uint32_t length)
{
    return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

size_t CountOf(std::string_view haystack, std::string_view needle)
{
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string_view::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

HostProcess::HostProcess(HostOptions options)
{
    // A host that has died fails the test's next write to it, rather than
    // ending the test.
    signal(SIGPIPE, SIG_IGN);
    int input[2], output[2], log[2];
    int child_input = -1;
    if (options.input_on_terminal) {
        input_ = OpenTerminalForInput(&child_input);
    } else {
        Check(pipe2(input, O_CLOEXEC) == 0, "pipe");
        input_ = input[1];
        child_input = input[0];
    }
    Check(pipe2(output, O_CLOEXEC) == 0 && pipe2(log, O_CLOEXEC) == 0, "pipe");
    int terminal = -1;
    if (options.log_on_stopping_terminal) {
        close(log[0]);
        log[0] = OpenStoppingTerminal(&terminal);
    }
    if (options.log_read_in_drips)
        Check(fcntl(log[0], F_SETPIPE_SZ, 4096) >= 0, "F_SETPIPE_SZ");
    read_size_ = options.log_read_in_drips ? 200 : options.log_read_slowly ? 4096 : read_size_;
    read_pause_ms_ = options.log_read_in_drips ? 100 : options.log_read_slowly ? 1 : 0;
    if (options.nonblocking_output)
        Check(fcntl(output[1], F_SETFL, O_NONBLOCK) == 0, "O_NONBLOCK");
    output_ = output[0];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.close_input)
        posix_spawn_file_actions_addclose(&actions, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, child_input, 0);
    if (options.close_output)
        posix_spawn_file_actions_addclose(&actions, 1);
    else
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    if (options.close_error)
        posix_spawn_file_actions_addclose(&actions, 2);
    else if (options.log_to_null)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, log[1], 2);
    if (options.output_to_null)
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    // Only the standard streams, as a browser starts its hosts: ctest leaves
    // descriptors of its own open in the tests.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    keep_log_ = !options.log_discarded;

    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry)
        environment.emplace_back(*entry);
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    std::vector<char*> envp;
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> command = {options.path};
    if (TestingWindowsHosts() && options.path.ends_with(".exe"))
        command = WindowsCommand(options.path);
    command.insert(command.end(), options.arguments.begin(), options.arguments.end());
    if (options.descriptor_limit > 0)
        command.insert(command.begin(), {"/bin/sh", "-c",
                                         "ulimit -n " + std::to_string(options.descriptor_limit) + " && exec \"$@\"",
                                         "sh"});
    std::vector<char*> argv;
    for (auto& word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    if (terminal >= 0) {
        pid_ = SpawnInBackground(argv.data(), envp.data(), child_input, output[1], terminal);
        close(terminal);
    } else {
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        errno = spawned;
        Check(spawned == 0, "spawn host");
    }
    posix_spawn_file_actions_destroy(&actions);
    close(child_input);
    close(output[1]);
    close(log[1]);
    log_unread_ = log[0];
    if (!options.log_unread)
        ReadLog();
}

void HostProcess::ReadLog()
{
    if (log_unread_ < 0)
        return;
    // First everything the pipe holds now, so that the host's next log
    // writes find room.
    const int flags = fcntl(log_unread_, F_GETFL);
    fcntl(log_unread_, F_SETFL, flags | O_NONBLOCK);
    char chunk[65536];
    ssize_t got;
    while ((got = read(log_unread_, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
        std::lock_guard lock(log_mutex_);
        if (got > 0)
            log_.append(chunk, static_cast<size_t>(got));
    }
    fcntl(log_unread_, F_SETFL, flags);
    log_reader_ = std::thread(&HostProcess::CollectLog, this, log_unread_);
    log_unread_ = -1;
}

HostProcess::~HostProcess()
{
    CloseInput();
    if (exit_status_ < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        Wait();
    }
    ReadLog();
    if (log_reader_.joinable())
        log_reader_.join();
    if (output_ >= 0)
        close(output_);
}

void HostProcess::CollectLog(int fd)
{
    char chunk[65536];
    for (;;) {
        // A terminal whose every writer has gone reads as failed (EIO).
        const ssize_t got = read(fd, chunk, read_size_);
        if (got > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(read_pause_ms_));
        if (got < 0 && errno == EINTR)
            continue;
        std::lock_guard lock(log_mutex_);
        if (got <= 0) {
            log_closed_ = true;
            log_changed_.notify_all();
            break;
        }
        if (keep_log_)
            log_.append(chunk, static_cast<size_t>(got));
        log_changed_.notify_all();
    }
    close(fd);
}

void HostProcess::Send(const nlohmann::json& message)
{
    SendText(message.dump());
}

void HostProcess::SendText(std::string_view text)
{
    SendRaw(Frame(text));
}

void HostProcess::SendRaw(std::string_view bytes)
{
    WriteAllToHost(input_, bytes);
}

void HostProcess::SendEndOfLine()
{
    SendRaw(std::string(1, END_OF_LINE));
}

void HostProcess::CloseInput()
{
    if (input_ >= 0)
        close(input_);
    input_ = -1;
}

void HostProcess::CloseOutputReader()
{
    if (output_ >= 0)
        close(output_);
    output_ = -1;
}

std::optional<std::string> HostProcess::ReadFrameText()
{
    uint32_t length;
    if (!ReadExactly(output_, &length, sizeof length))
        return std::nullopt;
    std::string text(length, '\0');
    if (!ReadExactly(output_, text.data(), length))
        throw std::runtime_error("frame cut short: " + std::to_string(length) + " bytes announced");
    return text;
}

std::optional<nlohmann::json> HostProcess::ReadFrame()
{
    auto text = ReadFrameText();
    if (!text)
        return std::nullopt;
    return nlohmann::json::parse(*text);
}

std::vector<std::string> HostProcess::ReadAllFrames()
{
    std::vector<std::string> frames;
    while (auto text = ReadFrameText())
        frames.push_back(std::move(*text));
    return frames;
}

bool HostProcess::WaitForLog(std::string_view text, size_t times)
{
    // Counts on from where the last look stopped: the log can grow long.
    size_t found = 0, from = 0;
    std::unique_lock lock(log_mutex_);
    log_changed_.wait(lock, [&] {
        for (size_t at = log_.find(text, from); at != std::string::npos; at = log_.find(text, at + 1)) {
            ++found;
            from = at + 1;
        }
        if (log_.size() >= text.size())
            from = std::max(from, log_.size() - text.size() + 1);
        return found >= times || log_closed_;
    });
    return found >= times;
}

std::string HostProcess::Log()
{
    std::lock_guard lock(log_mutex_);
    return log_;
}

std::string HostProcess::WorkerLog()
{
    static const std::regex reader_line(
        "Going to read message from stdin -?\\d+ bytes\n|Read -?\\d+ bytes\n|Message size \\d+d of 16384\n|"
        "Read JSON package: [^\n]*\n|Parsed message!\n|Obtained lock!\n|Pushed message!\n|Released lock\n|"
        "Pushed JSON notify message\n|Pushed EXIT message!\n|Pushed JSON EXIT notify message\n|"
        "Message: [^\n]*\n");
    return std::regex_replace(Log(), reader_line, "");
}

size_t HostProcess::CountInLog(std::string_view text)
{
    std::lock_guard lock(log_mutex_);
    return CountOf(log_, text);
}

void HostProcess::Signal(int number)
{
    if (exit_status_ < 0)
        kill(pid_, number);
}

int HostProcess::Wait()
{
    if (exit_status_ >= 0)
        return exit_status_;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    exit_status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    if (log_reader_.joinable())
        log_reader_.join();
    return exit_status_;
}

long HostProcess::ResidentKiB() const
{
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string word;
    while (status >> word)
        if (word == "VmRSS:" && status >> word)
            return std::stol(word);
    return -1;
}
