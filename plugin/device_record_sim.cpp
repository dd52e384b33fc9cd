// What the host reads from a handle of the virtual-device HID library on
// Linux: its connection's descriptor.
#include "device_handle.h"

#include <cstring>

#include <sys/stat.h>

WaitHandle DeviceReadCompletion(hid_device* device)
{
    // That library's device record starts with its connection to the process
    // that plays the device: a socket, which reads as readable when a report
    // is there and hangs up when the device is unplugged.
    int descriptor;
    std::memcpy(&descriptor, device, sizeof descriptor);
    struct stat status;
    return fstat(descriptor, &status) == 0 && S_ISSOCK(status.st_mode) ? descriptor : -1;
}
