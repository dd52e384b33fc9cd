// The virtual HID library's connection on Linux: a SOCK_SEQPACKET socket to
// the playing process, one packet per report in either direction.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "directory.h"
#include "sim_connection.h"

using hidsim::ClearError;
using hidsim::SetError;

struct hid_device_ {
    // It must come first: the host reads it from the start of the record to
    // wait on the device.
    int socket;
    hidsim::DeviceState state;
};
static_assert(std::is_standard_layout_v<hid_device_> && offsetof(hid_device_, socket) == 0);

namespace {

std::wstring ErrnoText(const char* what)
{
    return hidsim::DecodeUtf8(std::string(what) + ": " + std::strerror(errno));
}

// Waits until the socket is ready for `events` (a report can be received, or
// the playing process has ended; or a report can be sent): 1 then, 0 when the
// time ran out first, -1 on failure. A negative time waits forever.
int WaitFor(int socket, short events, int milliseconds)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t deadline = now.tv_sec * 1000 + now.tv_nsec / 1000000 + milliseconds;
    int left = milliseconds;
    for (;;) {
        pollfd ready = {socket, events, 0};
        const int result = poll(&ready, 1, left);
        if (result > 0 && (ready.revents & POLLNVAL)) {
            errno = EBADF;
            return -1;
        }
        if (result > 0)
            return 1;
        if (result == 0)
            return 0;
        if (errno != EINTR)
            return -1;
        if (milliseconds >= 0) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            left = static_cast<int>(std::max<int64_t>(0, deadline - (now.tv_sec * 1000 + now.tv_nsec / 1000000)));
        }
    }
}

}  // namespace

namespace hidsim {

hid_device* Connect(const PlayerAddress& player, const DeviceState& state)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = InDir(player.dir, player.socket.c_str());
    if (player.socket.empty() || socket_path.size() >= sizeof address.sun_path) {
        SetError(GlobalError(), L"the device record names no usable socket");
        return nullptr;
    }
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);

    const int connection = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (connection < 0) {
        SetError(GlobalError(), ErrnoText("socket"));
        return nullptr;
    }
    if (connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        SetError(GlobalError(), ErrnoText("cannot reach the virtual device"));
        close(connection);
        return nullptr;
    }
    auto* device = new (std::nothrow) hid_device_{connection, state};
    if (!device) {
        SetError(GlobalError(), L"out of memory");
        close(connection);
    }
    return device;
}

DeviceState& State(hid_device* device)
{
    return device->state;
}

// As usbhid gives up on an output report the device does not take, a report
// the player leaves unread for WRITE_TIMEOUT_MS fails the write.
int SendReport(hid_device* device, const unsigned char* data, size_t length)
{
    ssize_t sent;
    for (;;) {
        // A player that is gone must not kill the host with SIGPIPE.
        sent = send(device->socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        if (errno == EINTR)
            continue;
        const int ready = WaitFor(device->socket, POLLOUT, WRITE_TIMEOUT_MS);
        if (ready == 0) {
            SetError(device->state.last_error, WRITE_TIMEOUT_TEXT);
            return -1;
        }
        if (ready < 0)
            break;
    }
    if (sent < 0) {
        SetError(device->state.last_error, ErrnoText("write"));
        return -1;
    }
    ClearError(device->state.last_error);
    return static_cast<int>(sent);
}

void Disconnect(hid_device* device)
{
    close(device->socket);
    delete device;
}

}  // namespace hidsim

extern "C" int hid_read_timeout(hid_device* device, unsigned char* data, size_t length, int milliseconds)
{
    wchar_t*& last_error = device->state.last_error;
    const int ready = WaitFor(device->socket, POLLIN, milliseconds);
    if (ready < 0) {
        SetError(last_error, ErrnoText("read"));
        return -1;
    }
    ClearError(last_error);
    if (ready == 0)
        return 0;
    // MSG_TRUNC makes recv tell the whole packet's length; the part that did
    // not fit is dropped, as hidraw drops what a short read leaves.
    ssize_t received;
    do {
        received = recv(device->socket, data, length, MSG_TRUNC | MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    if (received < 0) {
        SetError(last_error, ErrnoText("read"));
        return -1;
    }
    // The players never send an empty report, so an empty receive is the
    // playing process gone: the device was unplugged.
    if (received == 0) {
        SetError(last_error, L"the virtual device was unplugged");
        return -1;
    }
    return static_cast<int>(std::min({static_cast<size_t>(received), length, static_cast<size_t>(INT_MAX)}));
}
