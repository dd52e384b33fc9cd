// The standard streams of bridge-sim-device: see device_console.h.
#include "device_console.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hex.h"

namespace hidsim {

namespace {

constexpr size_t READ_CHUNK = 4096;

// A pipe or terminal of ours, opened once more as a file description of our
// own that does not block (setting O_NONBLOCK on the descriptor would change
// it for whoever shares it); other kinds as they are.
int NonBlockingCopy(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || (!S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)))
        return fd;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    return own >= 0 ? own : fd;
}

void SendTypedLine(const std::string& line, const SendReport& send)
{
    const std::optional<std::vector<uint8_t>> report = ParseHexLine(line);
    if (!report)
        LogLine("bridge-sim-device: not hex bytes, nothing sent: " + line);
    else if (!report->empty())
        send(*report);
}

}  // namespace

void LogLine(const std::string& line)
{
    static const int fd = NonBlockingCopy(STDERR_FILENO);
    static unsigned long dropped = 0;
    std::string text = line + "\n";
    if (dropped > 0)
        text = "bridge-sim-device: dropped " + std::to_string(dropped) +
               " log lines: standard error was full\n" + text;
    ssize_t put;
    do {
        put = write(fd, text.data(), text.size());
    } while (put < 0 && errno == EINTR);
    dropped = put < 0 ? dropped + 1 : 0;
}

void LogErrno(const std::string& what)
{
    LogLine("bridge-sim-device: " + what + ": " + std::strerror(errno));
}

bool WriteOutput(const std::string& text, int stop_signals)
{
    static const int fd = NonBlockingCopy(STDOUT_FILENO);
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t put = write(fd, text.data() + written, text.size() - written);
        if (put >= 0) {
            written += static_cast<size_t>(put);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return false;
        pollfd waits[2] = {{fd, POLLOUT, 0}, {stop_signals, POLLIN, 0}};
        if ((poll(waits, 2, -1) < 0 && errno != EINTR) || waits[1].revents)
            return false;
    }
    return true;
}

bool PlayOutputReport(const std::vector<uint8_t>& report, bool echo, int stop_signals, const SendReport& send)
{
    if (!WriteOutput(HexLine(report) + "\n", stop_signals))
        return false;
    if (echo)
        send(report);
    return true;
}

bool TypedLines::Forward(const SendReport& send)
{
    char chunk[READ_CHUNK];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0)
        return errno == EINTR || errno == EAGAIN;
    if (got == 0) {
        if (!pending_.empty())
            SendTypedLine(pending_, send);
        pending_.clear();
        return false;
    }
    pending_.append(chunk, static_cast<size_t>(got));
    size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
        SendTypedLine(pending_.substr(0, end), send);
        pending_.erase(0, end + 1);
    }
    return true;
}

}  // namespace hidsim
