// The host's view of the one open HID device: hidapi's handle, plus the two
// things the worker's wait rests on that hidapi does not offer.
//
// - The read-pending flag: set when a non-blocking hid_read found no report
//   ready, cleared when a read's result is collected or a read fails.
// - The read-completion signal: the device's descriptor becoming readable
//   (or hung up, when the device is unplugged). poll() waits on it together
//   with the mailbox semaphore. It is level-triggered: a wait that reports the
//   semaphore leaves it set, and only reading the report clears it.
#pragma once

#include <cstddef>

#include <hidapi.h>

struct DeviceHandle {
    hid_device* hid;
    int descriptor;
    bool read_pending;
};

// Opens the first device with both ids. Null when hidapi cannot open it or
// the descriptor behind the handle is not the device's.
DeviceHandle* OpenDevice(unsigned short vendor_id, unsigned short product_id);

// Closes the device (hid_close with null when there is none) and frees it.
void CloseDevice(DeviceHandle* device);

// Start and poll: a non-blocking read. The report's length, 0 with the read
// left pending when none is ready, or -1 on failure.
int StartRead(DeviceHandle* device, unsigned char* buffer, size_t length);

// Collect, after the wait reported the device: takes the report that made the
// descriptor readable. The report's length, or -1 on failure or unplug.
int CollectRead(DeviceHandle* device, unsigned char* buffer, size_t length);

// The descriptor of hidapi's device record, checked to be the device that was
// opened; -1 when it is not. Each HID library linked beneath the host has its
// own version of this one function.
int DeviceDescriptor(hid_device* device);
