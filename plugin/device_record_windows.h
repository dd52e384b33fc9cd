/* What the host reads from the record of a HID library on Windows
 * (device_record_hidapi_windows.c, device_record_sim_windows.cpp): both keep
 * an overlapped read of one report left running, as hidapi's Windows backend
 * does. Read by device_windows.cpp. */
#pragma once

#include <windows.h>

typedef struct hid_device_ hid_device;

#ifdef __cplusplus
extern "C" {
#endif

/* The device's overlapped read, whose auto-reset event is the
 * read-completion signal; the file it reads; and the library's read-pending
 * flag, set from the start of the read until a read call has collected it. */
OVERLAPPED* DeviceOverlappedRead(hid_device* device, HANDLE* file, const int** read_pending);

#ifdef __cplusplus
}
#endif
