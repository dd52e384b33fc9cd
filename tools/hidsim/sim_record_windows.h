// The virtual HID library's device record on Windows. Like hidapi's own
// Windows record it holds the read-pending flag and the overlapped read's
// completion event, which the host reads from it to wait on the device.
#pragma once

#include <windows.h>

#include "sim_connection.h"

namespace hidsim {
// The longest report a player sends (hidraw's limit too).
constexpr DWORD MAX_REPORT_SIZE = 4096;
}  // namespace hidsim

struct hid_device_ {
    HANDLE pipe;
    // Set from the start of an overlapped read of one report until a read
    // call has collected its result.
    BOOL read_pending;
    // The read's; its event resets itself, as hidapi's does.
    OVERLAPPED ol;
    OVERLAPPED write_ol;
    unsigned char read_buf[hidsim::MAX_REPORT_SIZE];
    hidsim::DeviceState state;
};
