// What the host reads from the record of the virtual-device HID library on
// Windows, which keeps it as hidapi's Windows backend does; the file read is
// the pipe to the player.
#include "device_record_windows.h"

#include "sim_record_windows.h"

OVERLAPPED* DeviceOverlappedRead(hid_device* device, HANDLE* file, const int** read_pending)
{
    *file = device->pipe;
    *read_pending = &device->read_pending;
    return &device->ol;
}
