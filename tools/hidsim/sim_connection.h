// Inside the virtual HID library: what its shared part (hidapi_sim.cpp) and
// each system's connection to the playing process (sim_connection_*.cpp)
// give each other.
#pragma once

#include <cstddef>
#include <string>

#include <hidapi.h>

namespace hidsim {

// What the library keeps of an open device besides the connection.
struct DeviceState {
    bool nonblocking;
    bool fail_write;
    // The record's strings, null when absent.
    wchar_t* manufacturer_string;
    wchar_t* product_string;
    wchar_t* serial_number;
    wchar_t* indexed_string_1;
    // Why the last call on this device failed; null after one that succeeded.
    wchar_t* last_error;
};

// Where a record says its player listens: a socket's file name in the
// directory (Linux), or a named pipe (Windows).
struct PlayerAddress {
    std::string dir;
    std::string socket;
    std::string pipe;
};

// As usbhid gives up on an output report the device does not take, a write
// that the player leaves untaken this long fails with this text.
constexpr int WRITE_TIMEOUT_MS = 5000;
constexpr const wchar_t* WRITE_TIMEOUT_TEXT = L"write timed out: the virtual device took no report for 5 s";

// The error texts of the library.
void SetError(wchar_t*& slot, const std::wstring& text);
void ClearError(wchar_t*& slot);
// UTF-8 to wide characters, UTF-16 where they have 16 bits.
std::wstring DecodeUtf8(const std::string& text);
// The error of the calls without a device.
wchar_t*& GlobalError();

// Each system's own: connects to the player (null, with the reason in
// GlobalError(), when it is not there); the device's state; sends one
// report (bytes sent, or -1 with the reason in the state); closes the
// connection and frees the device (not the state's strings).
hid_device* Connect(const PlayerAddress& address, const DeviceState& state);
DeviceState& State(hid_device* device);
int SendReport(hid_device* device, const unsigned char* data, size_t length);
void Disconnect(hid_device* device);

}  // namespace hidsim
