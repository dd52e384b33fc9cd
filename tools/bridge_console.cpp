// bridge-console: talks to a bridge host the way a browser does, for people.
//
//   bridge-console [HOST]
//
// Starts HOST (by default the bridge-host beside this program, or the one
// installed with it), sends each line of standard input as one frame, prints
// each frame that comes back as one JSON line, and lets the host's log through
// to standard error. At the end of input it closes the host's standard input,
// waits for it and reports its exit code, which becomes its own.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "whole_io.h"

extern char** environ;

namespace {

const char* const HOST_FILE = "bridge-host";

// The host beside this program in the build folder, or where the host is
// installed when this program is.
std::string DefaultHost()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length < 0)
        return HOST_FILE;
    self[length] = '\0';
    const std::string path(self);
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    const std::string beside = folder + HOST_FILE;
    if (access(beside.c_str(), X_OK) == 0)
        return beside;
    return folder + BRIDGE_HOST_FROM_BINDIR + "/" + HOST_FILE;
}

// Prints every frame the host writes, one line each, until it closes its end.
void PrintFrames(int from_host)
{
    std::string text;
    while (ReadFrame(from_host, text))
        std::cout << text << std::endl;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::cerr << "usage: bridge-console [HOST]   (requests on standard input, one JSON text a line)\n";
        return 2;
    }
    const std::string host = argc == 2 ? argv[1] : DefaultHost();
    if (isatty(STDIN_FILENO))
        std::cerr << "Type one request a line, for example {\"call\":\"getDevices\"}; end with Ctrl-D.\n";

    // The host gone early must not kill us while we still write to it.
    signal(SIGPIPE, SIG_IGN);

    int to_host[2], from_host[2];
    if (pipe2(to_host, O_CLOEXEC) != 0 || pipe2(from_host, O_CLOEXEC) != 0) {
        perror("bridge-console: pipe");
        return 1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_host[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_host[1], STDOUT_FILENO);
    char* host_argv[] = {const_cast<char*>(host.c_str()), nullptr};
    pid_t pid;
    const int spawned = posix_spawn(&pid, host.c_str(), &actions, nullptr, host_argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::cerr << "bridge-console: cannot start " << host << ": " << std::strerror(spawned) << "\n";
        return 1;
    }
    close(to_host[0]);
    close(from_host[1]);

    std::thread printer(PrintFrames, from_host[0]);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty())
            continue;
        if (!WriteFrame(to_host[1], line))
            break;
    }
    close(to_host[1]);
    printer.join();

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        std::cerr << "bridge-console: host ended by signal " << WTERMSIG(status) << "\n";
        return 128 + WTERMSIG(status);
    }
    const int code = WEXITSTATUS(status);
    std::cerr << "bridge-console: host exited with code " << code << "\n";
    return code;
}
