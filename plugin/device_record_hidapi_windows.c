/* hidapi's Windows backend, compiled here in one unit with what the host
 * reads from its device record (struct hid_device_ in windows/hid.c): the
 * overlapped read, whose event is an auto-reset event that the backend
 * resets before each read it starts, and the read-pending flag. */
#include <wchar.h>

/* hidapi's header marks every function of the library for export on
 * Windows; the host's export table is its module-definition file's alone, so
 * the header is read as on the other systems. */
#pragma push_macro("_WIN32")
#undef _WIN32
#include <hidapi.h>
#pragma pop_macro("_WIN32")

#include "hid.c"

#include "device_record_windows.h"

OVERLAPPED* DeviceOverlappedRead(hid_device* device, HANDLE* file, const int** read_pending)
{
    *file = device->device_handle;
    *read_pending = &device->read_pending;
    return &device->ol;
}
