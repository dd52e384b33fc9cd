#include "virtual_device.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "directory.h"
#include "hex.h"

extern char** environ;

using nlohmann::json;

namespace hidsim {

namespace {

constexpr const char* LOCK_FILE = "devices.lock";
constexpr int PENDING_HOSTS = 8;   // hosts that may wait to be accepted
constexpr mode_t LIST_MODE = 0644;   // hosts of other users may read the list
// Room for the largest output report a device plays; hosts write 65 bytes.
constexpr size_t MAX_PACKET = 1 << 16;

std::vector<std::string> player_command;   // empty: sockets of this process

[[noreturn]] void ThrowErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Several players, in one process or in several, may change the list of one
// directory at once: each change reads, edits and replaces the whole file
// holding this lock. Readers need none, as they only ever see whole files.
class ListLock {
   public:
    explicit ListLock(const std::string& dir)
    {
        const std::string path = InDir(dir, LOCK_FILE);
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, LIST_MODE);
        if (fd_ < 0)
            ThrowErrno("cannot open " + path);
        while (flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(fd_);
                ThrowErrno("cannot lock " + path);
            }
        }
    }
    ~ListLock() { close(fd_); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

   private:
    int fd_;
};

// The list as it is; a missing or broken file counts as empty.
json ReadList(const std::string& dir)
{
    std::ifstream file(InDir(dir, DEVICES_FILE));
    std::stringstream text;
    text << file.rdbuf();
    json list = json::parse(text.str(), nullptr, false);
    return list.is_array() ? list : json::array();
}

// Writes a whole new file beside the list and renames it over the list, so
// that a host reading it sees the old list or the new one, never a part.
void ReplaceList(const std::string& dir, const json& records)
{
    std::string temporary = InDir(dir, DEVICES_FILE) + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        ThrowErrno("cannot create " + temporary);
    const std::string text = records.dump(2) + "\n";
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t put = write(fd, text.data() + written, text.size() - written);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0) {
            const int error = errno;
            close(fd);
            unlink(temporary.c_str());
            errno = error;
            ThrowErrno("cannot write " + temporary);
        }
        written += static_cast<size_t>(put);
    }
    fchmod(fd, LIST_MODE);
    close(fd);
    if (rename(temporary.c_str(), InDir(dir, DEVICES_FILE).c_str()) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        errno = error;
        ThrowErrno("cannot replace " + InDir(dir, DEVICES_FILE));
    }
}

std::string SocketName(unsigned number)
{
    return "hidsim" + std::to_string(number) + ".sock";
}

// The lowest number whose socket neither a record names nor a file holds: a
// player that was killed leaves its socket behind, and that name stays taken.
unsigned FreeNumber(const std::string& dir, const json& records)
{
    for (unsigned number = 0;; ++number) {
        const std::string name = SocketName(number);
        bool taken = std::filesystem::exists(InDir(dir, name.c_str()));
        for (const json& record : records)
            taken = taken || (record.is_object() && record.value("socket", json()) == name);
        if (!taken)
            return number;
    }
}

int Listen(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::system_error(std::make_error_code(std::errc::filename_too_long), path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        ThrowErrno("socket");
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, PENDING_HOSTS) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        ThrowErrno("cannot listen on " + path);
    }
    return fd;
}

void FillDefaults(json& record, unsigned number)
{
    const json defaults = {{"path", "/dev/hidsim" + std::to_string(number)},
                           {"vendor_id", 0x0ACD},
                           {"product_id", 0x3820},
                           {"release_number", 0x0100},
                           {"interface_number", 0},
                           {"serial_number", nullptr},
                           {"manufacturer_string", nullptr},
                           {"product_string", nullptr},
                           {"indexed_string_1", nullptr},
                           {"fail_write", false}};
    for (const auto& [name, value] : defaults.items())
        if (!record.contains(name))
            record[name] = value;
}

}  // namespace

void PlayDevicesThrough(std::vector<std::string> command)
{
    player_command = std::move(command);
}

void WriteDevices(const std::string& dir, const json& records)
{
    std::filesystem::create_directories(dir);
    ListLock lock(dir);
    ReplaceList(dir, records);
}

VirtualDevice::VirtualDevice(const std::string& dir, json record) : dir_(dir)
{
    if (!record.is_object())
        throw std::invalid_argument("a device record is a JSON object");
    std::filesystem::create_directories(dir);
    ListLock lock(dir);
    json records = ReadList(dir);
    const unsigned number = FreeNumber(dir, records);
    const std::string name = SocketName(number);
    // With a player the name stays only a name in the list.
    if (player_command.empty())
        listener_ = Listen(InDir(dir, name.c_str()));
    else
        StartPlayer();
    socket_name_ = name;
    FillDefaults(record, number);
    record["socket"] = name;
    if (player_ > 0)
        record["pipe"] = pipe_;
    records.push_back(std::move(record));
    try {
        ReplaceList(dir, records);
    } catch (...) {
        // Not Unplug(): it would wait for the lock held here.
        StopPlayer();
        if (listener_ >= 0) {
            close(listener_);
            unlink(InDir(dir, name.c_str()).c_str());
        }
        throw;
    }
}

VirtualDevice::~VirtualDevice()
{
    Unplug();
}

bool VirtualDevice::Accept()
{
    if (player_ > 0)
        return AskPlayer("accept") == "ok";
    if (listener_ < 0)
        return false;
    int host;
    do {
        host = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    } while (host < 0 && errno == EINTR);
    if (host < 0)
        return false;
    // The kernel stamps each packet with the time it was sent, which orders
    // the reports of several hosts as they wrote them.
    const int on = 1;
    setsockopt(host, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    connections_.push_back(host);
    return true;
}

std::vector<uint8_t> VirtualDevice::ReceiveOutputReport(int* from)
{
    if (from)
        *from = -1;
    if (player_ > 0)
        return ParseHexLine(AskPlayer("receive")).value_or(std::vector<uint8_t>());
    if (connections_.empty())
        return {};
    std::vector<pollfd> waits;
    for (const int connection : connections_)
        waits.push_back({connection, POLLIN, 0});
    while (poll(waits.data(), waits.size(), -1) < 0) {
        if (errno != EINTR)
            return {};
    }
    // Every host's next packet is looked at now, after the wait: one sent
    // before the packet that ended it is there by then.
    int chosen = -1;
    size_t length = 0;
    timespec earliest{};
    thread_local std::vector<char> peeked(MAX_PACKET);
    for (const int connection : connections_) {
        // The packet is peeked into a buffer that holds any report rather
        // than measured with MSG_TRUNC, which qemu-user does not pass on.
        char control[CMSG_SPACE(sizeof(timespec))];
        iovec into{peeked.data(), peeked.size()};
        msghdr peek{};
        peek.msg_iov = &into;
        peek.msg_iovlen = 1;
        peek.msg_control = control;
        peek.msg_controllen = sizeof control;
        ssize_t next;
        do {
            next = recvmsg(connection, &peek, MSG_PEEK | MSG_DONTWAIT);
        } while (next < 0 && errno == EINTR);
        if (next < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (next <= 0) {
            // The host is gone: told at once, whatever the others sent.
            chosen = connection;
            length = 0;
            break;
        }
        // Packets sent before the connection was accepted carry no stamp, and came first.
        timespec sent{};
        const cmsghdr* stamp = CMSG_FIRSTHDR(&peek);
        if (stamp && stamp->cmsg_level == SOL_SOCKET && stamp->cmsg_type == SCM_TIMESTAMPNS)
            std::memcpy(&sent, CMSG_DATA(stamp), sizeof sent);
        if (chosen < 0 || sent.tv_sec < earliest.tv_sec ||
            (sent.tv_sec == earliest.tv_sec && sent.tv_nsec < earliest.tv_nsec)) {
            chosen = connection;
            length = static_cast<size_t>(next);
            earliest = sent;
        }
    }
    if (chosen < 0)
        return {};
    if (from)
        *from = chosen;
    std::vector<uint8_t> report(length);
    ssize_t received = 0;
    if (length > 0) {
        do {
            received = recv(chosen, report.data(), report.size(), 0);
        } while (received < 0 && errno == EINTR);
    }
    if (received <= 0) {
        close(chosen);
        std::erase(connections_, chosen);
        return {};
    }
    return report;
}

bool VirtualDevice::SendInputReport(const std::vector<uint8_t>& report)
{
    // An empty packet would read as the device's end on the host's side.
    if (report.empty())
        return false;
    if (player_ > 0)
        return AskPlayer("send " + HexLine(report)) == "ok";
    // A host that is gone fails its send until ReceiveOutputReport has seen it go.
    bool taken = false;
    for (const int connection : connections_) {
        ssize_t sent;
        do {
            sent = send(connection, report.data(), report.size(), MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        taken = taken || sent == static_cast<ssize_t>(report.size());
    }
    return taken;
}

VirtualDevice::Sent VirtualDevice::TrySendInputReport(int connection, const std::vector<uint8_t>& report)
{
    if (report.empty() || connection < 0)
        return Sent::FAILED;
    ssize_t sent;
    do {
        sent = send(connection, report.data(), report.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return Sent::FULL;
    return sent == static_cast<ssize_t>(report.size()) ? Sent::YES : Sent::FAILED;
}

void VirtualDevice::Unplug()
{
    StopPlayer();
    CloseConnections();
    if (listener_ >= 0) {
        close(listener_);
        listener_ = -1;
    }
    if (socket_name_.empty())
        return;
    const std::string name = std::move(socket_name_);
    socket_name_.clear();
    try {
        ListLock lock(dir_);
        json records = ReadList(dir_);
        json kept = json::array();
        for (json& record : records)
            if (!record.is_object() || record.value("socket", json()) != name)
                kept.push_back(std::move(record));
        ReplaceList(dir_, kept);
    } catch (...) {
        // The directory may be gone already; an unplugged device has nothing left to keep.
    }
    unlink(InDir(dir_, name.c_str()).c_str());
}

const std::vector<int>& VirtualDevice::connections() const
{
    return connections_;
}

int VirtualDevice::listener() const
{
    return listener_;
}

void VirtualDevice::StartPlayer()
{
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0)
        ThrowErrno("pipe");
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        ThrowErrno("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (std::string& word : player_command)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    to_player_ = fdopen(input[1], "w");
    from_player_ = fdopen(output[0], "r");
    if (spawned != 0) {
        StopPlayer();
        errno = spawned;
        ThrowErrno("cannot start the player " + player_command[0]);
    }
    player_ = pid;
    const std::string ready = AskPlayer("");
    if (ready.rfind("ready ", 0) != 0) {
        StopPlayer();
        throw std::runtime_error("the player did not start: " + ready);
    }
    pipe_ = ready.substr(6);
}

std::string VirtualDevice::AskPlayer(const std::string& command)
{
    // The empty command only reads: the player's first line comes unasked.
    if (!command.empty() && (std::fputs((command + "\n").c_str(), to_player_) < 0 || std::fflush(to_player_) != 0))
        throw std::runtime_error("the player is gone");
    char* line = nullptr;
    size_t size = 0;
    const ssize_t length = getline(&line, &size, from_player_);
    std::string answer = length > 0 ? std::string(line, static_cast<size_t>(length) - 1) : std::string();
    std::free(line);
    if (length <= 0)
        throw std::runtime_error("the player is gone");
    return answer;
}

// Closing its input unplugs the device and ends the player.
void VirtualDevice::StopPlayer()
{
    if (to_player_)
        std::fclose(to_player_);
    if (from_player_)
        std::fclose(from_player_);
    to_player_ = from_player_ = nullptr;
    if (player_ > 0) {
        while (waitpid(player_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    player_ = -1;
}

void VirtualDevice::CloseConnections()
{
    for (const int connection : connections_)
        close(connection);
    connections_.clear();
}

}  // namespace hidsim
