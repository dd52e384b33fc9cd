// The device layer: the host's view of the one open HID device. hidapi's
// handle, plus what the worker's wait rests on that hidapi does not offer,
// read from the HID library's own record of the device:
//
// - The read-pending flag: set while a read of one report is outstanding.
//   hidapi's Windows backend keeps it in its record, as its non-blocking
//   reads are overlapped reads left running; on Linux a non-blocking read
//   that finds nothing leaves nothing running, and the host keeps the flag:
//   set when a non-blocking hid_read found no report ready, cleared when a
//   read's result is collected or a read fails.
// - The read-completion signal, waited on together with the mailbox
//   semaphore: the overlapped read's auto-reset event on Windows, whose
//   signal the wait that reports it takes; on Linux the device's descriptor
//   becoming readable (or hung up, when the device is unplugged), which is
//   level-triggered and only reading the report clears.
//
// What is the same everywhere is device_handle.cpp; the read is each
// system's (device_linux.cpp, device_windows.cpp), and what each HID library
// keeps in its record is its own device_record_* file.
#pragma once

#include <cstddef>

#include <hidapi.h>

#include "platform.h"

struct DeviceHandle {
    hid_device* hid;
    WaitHandle read_completion;
    bool read_pending;   // the host's own flag, where the library keeps none
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

// Collect, after the wait reported the device's signal: takes the report of
// the read that completed. The report's length, 0 when there was nothing
// after all, or -1 on failure or unplug.
int CollectRead(DeviceHandle* device, unsigned char* buffer, size_t length);

// Whether the outstanding read has completed (or the device is gone), told
// without waiting: then CollectRead takes its result. What it takes of the
// signal is what a wait that reports the signal takes (on Windows the
// auto-reset event's).
bool ReadCompletedNow(DeviceHandle* device);

// Whether the read outstanding on the device has already failed, as it does
// when the device is unplugged; told without taking a report or the read's
// completion signal.
bool ReadHasFailed(const DeviceHandle* device);

// The read-completion signal of a device just opened, NO_HANDLE when its
// record does not hold one the host can wait on. Each system's.
WaitHandle ReadCompletionSignal(hid_device* hid);

// From the record of a HID library on Linux (device_record_hidraw.cpp,
// device_record_sim.cpp): the descriptor the library reads reports from,
// checked to be the opened device's, else NO_HANDLE.
extern "C" WaitHandle DeviceReadCompletion(hid_device* device);
