// The virtual HID library's connection on Windows: a named pipe in message
// mode to the playing process (bridge-sim-player.exe), one message per
// report, read and written with overlapped I/O the way hidapi's Windows
// backend reads and writes a HID device.
#include <cstring>
#include <new>
#include <string>

#include "sim_record_windows.h"

using hidsim::ClearError;
using hidsim::SetError;

namespace {

std::wstring SystemError(const wchar_t* what)
{
    return std::wstring(what) + L": system error " + std::to_wstring(GetLastError());
}

void CloseRecord(hid_device* device)
{
    if (device->ol.hEvent)
        CloseHandle(device->ol.hEvent);
    if (device->write_ol.hEvent)
        CloseHandle(device->write_ol.hEvent);
    CloseHandle(device->pipe);
    delete device;
}

}  // namespace

namespace hidsim {

hid_device* Connect(const PlayerAddress& player, const DeviceState& state)
{
    if (player.pipe.empty()) {
        SetError(GlobalError(), L"the device record names no pipe");
        return nullptr;
    }
    // Shared for reading and writing, as hidapi opens a HID device. Each host
    // takes an instance of the pipe of its own; when all are taken, the
    // player is about to make the next.
    HANDLE pipe;
    do {
        pipe = CreateFileA(player.pipe.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    } while (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY &&
             WaitNamedPipeA(player.pipe.c_str(), WRITE_TIMEOUT_MS));
    if (pipe == INVALID_HANDLE_VALUE) {
        SetError(GlobalError(), SystemError(L"cannot reach the virtual device"));
        return nullptr;
    }
    auto* device = new (std::nothrow) hid_device_{};
    if (!device) {
        SetError(GlobalError(), L"out of memory");
        CloseHandle(pipe);
        return nullptr;
    }
    device->pipe = pipe;
    device->state = state;
    DWORD mode = PIPE_READMODE_MESSAGE;
    device->ol.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    device->write_ol.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) || !device->ol.hEvent || !device->write_ol.hEvent) {
        SetError(GlobalError(), SystemError(L"cannot set up the connection"));
        CloseRecord(device);
        return nullptr;
    }
    return device;
}

DeviceState& State(hid_device* device)
{
    return device->state;
}

int SendReport(hid_device* device, const unsigned char* data, size_t length)
{
    DWORD written = 0;
    if (!WriteFile(device->pipe, data, static_cast<DWORD>(length), nullptr, &device->write_ol) &&
        GetLastError() != ERROR_IO_PENDING) {
        SetError(device->state.last_error, SystemError(L"WriteFile"));
        return -1;
    }
    // As a HID driver gives up on a report the device does not take, a write
    // the player leaves untaken is cancelled and fails.
    if (WaitForSingleObject(device->write_ol.hEvent, WRITE_TIMEOUT_MS) != WAIT_OBJECT_0) {
        // Only the write: the host's read stays outstanding.
        CancelIoEx(device->pipe, &device->write_ol);
        GetOverlappedResult(device->pipe, &device->write_ol, &written, TRUE);
        SetError(device->state.last_error, WRITE_TIMEOUT_TEXT);
        return -1;
    }
    if (!GetOverlappedResult(device->pipe, &device->write_ol, &written, FALSE)) {
        SetError(device->state.last_error, SystemError(L"write"));
        return -1;
    }
    ClearError(device->state.last_error);
    return static_cast<int>(written);
}

void Disconnect(hid_device* device)
{
    // The outstanding read writes into the record until it is cancelled.
    if (device->read_pending) {
        DWORD ignored;
        CancelIo(device->pipe);
        GetOverlappedResult(device->pipe, &device->ol, &ignored, TRUE);
    }
    CloseRecord(device);
}

}  // namespace hidsim

// hidapi's Windows read: a read with no outstanding overlapped read starts
// one; a timeout of 0 or more then tests the event, and only a signalled
// event (or a timeout of -1, which tests nothing) collects the result.
// Reports come back as the player sent them: the players play devices with
// and without report ids alike, so no leading 0 byte is dropped.
extern "C" int hid_read_timeout(hid_device* device, unsigned char* data, size_t length, int milliseconds)
{
    wchar_t*& last_error = device->state.last_error;
    if (!data || length == 0) {
        SetError(last_error, L"no room for the report");
        return -1;
    }
    ClearError(last_error);
    DWORD received = 0;
    BOOL done = TRUE;
    // False when a read started here completed at once.
    bool outstanding = device->read_pending;
    if (!outstanding) {
        device->read_pending = TRUE;
        ResetEvent(device->ol.hEvent);
        done = ReadFile(device->pipe, device->read_buf, sizeof device->read_buf, &received, &device->ol);
        if (!done && GetLastError() != ERROR_IO_PENDING) {
            SetError(last_error, SystemError(L"ReadFile"));
            CancelIo(device->pipe);
            device->read_pending = FALSE;
            return -1;
        }
        outstanding = !done;
    }
    if (outstanding) {
        if (milliseconds >= 0 && WaitForSingleObject(device->ol.hEvent, static_cast<DWORD>(milliseconds)) !=
                                     WAIT_OBJECT_0)
            return 0;
        done = GetOverlappedResult(device->pipe, &device->ol, &received, TRUE);
    }
    device->read_pending = FALSE;
    if (!done) {
        // The player closed its end: the device was unplugged.
        SetError(last_error, GetLastError() == ERROR_BROKEN_PIPE ? std::wstring(L"the virtual device was unplugged")
                                                                 : SystemError(L"read"));
        return -1;
    }
    const size_t copied = received < length ? received : length;
    std::memcpy(data, device->read_buf, copied);
    return static_cast<int>(copied);
}
