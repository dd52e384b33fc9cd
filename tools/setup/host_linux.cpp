#include "host.h"
#include "host_run.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

extern char** environ;

const char* const HOST_FILE = "bridge-host";

namespace {

const char* const WRAPPER_MARK = "# Made by bridge-host-setup install --log.";

class Pipe {
public:
    Pipe()
    {
        if (pipe2(ends_, O_CLOEXEC) != 0)
            ends_[0] = ends_[1] = -1;
    }
    ~Pipe()
    {
        CloseRead();
        CloseWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int read_end() const { return ends_[0]; }
    int write_end() const { return ends_[1]; }
    void CloseRead() { Close(ends_[0]); }
    void CloseWrite() { Close(ends_[1]); }

private:
    static void Close(int& fd)
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    int ends_[2];
};

// The started host: its pipes, and a pidfd that becomes readable when it ends,
// so that every wait below is one poll on all of them with a deadline.
class StartedHost {
public:
    std::string Start(const std::string& program, const std::vector<std::string>& args)
    {
        if (input_.write_end() < 0 || output_.read_end() < 0 || log_.read_end() < 0)
            return std::strerror(errno);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input_.read_end(), STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output_.write_end(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, log_.write_end(), STDERR_FILENO);
        // Browsers start the host in its own folder.
        const std::string folder = fs::path(program).parent_path();
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        input_.CloseRead();
        output_.CloseWrite();
        log_.CloseWrite();
        if (error != 0)
            return std::strerror(error);
        // glibc 2.36 declares pidfd_open without C linkage for C++.
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        return pidfd_ < 0 ? std::strerror(errno) : "";
    }

    ~StartedHost()
    {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            Reap();
        }
        if (pidfd_ >= 0)
            close(pidfd_);
    }

    void Send(const std::string& frame)
    {
        // A host that ended already is seen through its pidfd, not here.
        [[maybe_unused]] const ssize_t written = write(input_.write_end(), frame.data(), frame.size());
    }
    void CloseInput() { input_.CloseWrite(); }

    // Waits for the first frame until the deadline; false when the host's
    // output ended or the time ran out first.
    bool WaitForFrame(Clock::time_point deadline, std::string& body)
    {
        Pump(deadline, [&] { return FirstFrame(output_text_) || output_ended_; });
        return FirstFrame(output_text_, &body);
    }
    bool WaitForEnd(Clock::time_point deadline)
    {
        Pump(deadline, [&] { return ended_; });
        return ended_;
    }
    void Kill()
    {
        if (!ended_ && kill(pid_, SIGKILL) == 0)
            Reap();
    }
    // What it wrote to standard error, up to the deadline at the latest.
    std::string Log(Clock::time_point deadline)
    {
        Pump(deadline, [&] { return log_ended_; });
        return log_text_;
    }
    void Ended(HostRun& run) const
    {
        if (WIFEXITED(status_)) {
            run.exit_status = WEXITSTATUS(status_);
        } else if (WIFSIGNALED(status_)) {
            run.signal = WTERMSIG(status_);
            run.signal_name = strsignal(run.signal);
        }
    }

private:
    template <typename Done>
    void Pump(Clock::time_point deadline, Done done)
    {
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return;
            pollfd watched[] = {{output_ended_ ? -1 : output_.read_end(), POLLIN, 0},
                                {log_ended_ ? -1 : log_.read_end(), POLLIN, 0},
                                {ended_ ? -1 : pidfd_, POLLIN, 0}};
            if (poll(watched, 3, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR)
                return;
            if (watched[0].revents)
                output_ended_ = !ReadSome(output_.read_end(), output_text_);
            if (watched[1].revents)
                log_ended_ = !ReadSome(log_.read_end(), log_text_);
            if (watched[2].revents)
                Reap();
        }
    }

    static bool ReadSome(int fd, std::string& text)
    {
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0)
            text.append(buffer, static_cast<size_t>(got));
        return got > 0 || (got < 0 && errno == EINTR);
    }

    void Reap()
    {
        while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        ended_ = true;
    }

    Pipe input_, output_, log_;
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int status_ = 0;
    bool ended_ = false;
    bool output_ended_ = false;
    bool log_ended_ = false;
    std::string output_text_, log_text_;
};

std::string ShellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ShellUnquoted(const std::string& quoted)
{
    std::string text;
    bool inside = false;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\'')
            inside = !inside;
        else if (!inside && quoted[i] == '\\' && i + 1 < quoted.size())
            text += quoted[++i];
        else
            text += quoted[i];
    }
    return text;
}

}  // namespace

std::string HostFault(const std::string& path)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return path + " does not exist";
    if (!S_ISREG(status.st_mode))
        return path + " is not a file";
    if (access(path.c_str(), X_OK) != 0)
        return path + " is not executable";
    return "";
}

HostRun RunHostOnce(const std::string& program, const std::vector<std::string>& args, const std::string& request,
                    std::chrono::milliseconds patience)
{
    // A host that ends before reading its request must not end us.
    std::signal(SIGPIPE, SIG_IGN);
    return RunStartedHost<StartedHost>(program, args, request, patience);
}

std::string LogWrapperText(const std::string& host, const std::string& log)
{
    // A log that cannot be written must not keep the host from starting.
    return std::string("#!/bin/sh\n") + WRAPPER_MARK + "\n" +
           "# Starts the host with its standard error in the log; the previous run's log is kept as log.1.\n"
           "host=" + ShellQuoted(host) + "\n" +
           "log=" + ShellQuoted(log) + "\n" +
           "mv -f \"$log\" \"$log.1\" 2>/dev/null\n"
           "if ! { : >\"$log\"; } 2>/dev/null; then\n"
           "    exec \"$host\" \"$@\"\n"
           "fi\n"
           "\"$host\" \"$@\" 2>>\"$log\"\n"
           "status=$?\n"
           "echo \"bridge-host-setup: the host ended with exit status $status\" >>\"$log\"\n"
           "exit $status\n";
}

fs::path LogWrapperFile(const fs::path& manifest_folder, const std::string& name)
{
    return manifest_folder / (name + "-log.sh");
}

bool ReadLogWrapper(const fs::path& file, std::string& host, std::string& log)
{
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line) || !std::getline(in, line) || line != WRAPPER_MARK)
        return false;
    std::string wrapped, kept;
    while (std::getline(in, line)) {
        if (line.starts_with("host="))
            wrapped = ShellUnquoted(line.substr(5));
        else if (line.starts_with("log="))
            kept = ShellUnquoted(line.substr(4));
    }
    if (wrapped.empty() || kept.empty())
        return false;
    host = wrapped;
    log = kept;
    return true;
}

std::string LogFault(const fs::path& log)
{
    const fs::path folder = log.parent_path();
    struct stat status;
    if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return "the folder " + folder.string() + " does not exist";
    if (access(folder.c_str(), W_OK) != 0)
        return "the folder " + folder.string() + " cannot be written by this user";
    return "";
}
