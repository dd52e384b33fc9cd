// The host's view of the one open HID device: hidapi's handle, plus the two
// things the worker's wait rests on that hidapi does not offer, read from
// the HID library's own record of the device.
//
// - The read-pending flag: set while a read of one report is outstanding.
//   hidapi's Windows backend keeps it in its record, as its non-blocking
//   reads are overlapped reads left running; on Linux a non-blocking read
//   that finds nothing leaves nothing running, and the host keeps the flag:
//   set when a non-blocking hid_read found no report ready, cleared when a
//   read's result is collected or a read fails.
// - The read-completion signal, waited on together with the mailbox
//   semaphore: the overlapped read's auto-reset event on Windows; on Linux
//   the device's descriptor becoming readable (or hung up, when the device is
//   unplugged), which is level-triggered and only reading the report clears.
#pragma once

#include <cstddef>

#include <hidapi.h>

#include "platform.h"

struct DeviceHandle {
    hid_device* hid;
    WaitHandle read_completion;
    const int* library_read_pending;   // the library's flag; null where it keeps none
    bool read_pending;                 // the host's own flag, used where the library keeps none
};

// Opens the first device with both ids. Null when hidapi cannot open it or
// its record does not hold what the host reads.
DeviceHandle* OpenDevice(unsigned short vendor_id, unsigned short product_id);

// Closes the device (hid_close with null when there is none) and frees it.
void CloseDevice(DeviceHandle* device);

// Whether a read is outstanding on the device.
bool ReadPending(const DeviceHandle* device);

// Start and poll: a non-blocking read. The report's length, 0 with the read
// left pending when none is ready, or -1 on failure.
int StartRead(DeviceHandle* device, unsigned char* buffer, size_t length);

// Collect, after the wait reported the device: takes the report of the read
// that completed. The report's length, or -1 on failure or unplug.
int CollectRead(DeviceHandle* device, unsigned char* buffer, size_t length);

// Whether the read outstanding on the device has already failed, as it does
// when the device is unplugged; told without taking a report or the read's
// completion signal.
bool ReadHasFailed(const DeviceHandle* device);

// From the HID library's own record of an open device; each HID library
// linked beneath the host has its own version of these three
// (device_record_*). The read-completion signal, checked to be the opened
// device's where that can be told, else NO_HANDLE; the library's
// read-pending flag, null where the library keeps none; and whether the
// device's outstanding read has failed (non-zero), as ReadHasFailed.
extern "C" WaitHandle DeviceReadCompletion(hid_device* device);
extern "C" const int* DeviceReadPending(hid_device* device);
extern "C" int DeviceReadFailed(hid_device* device);
