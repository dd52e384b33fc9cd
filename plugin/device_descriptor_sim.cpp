// The descriptor behind a handle of the virtual-device HID library.
#include "device_handle.h"

#include <cstring>

#include <sys/stat.h>

int DeviceDescriptor(hid_device* device)
{
    // That library's device record starts with its connection to the process
    // that plays the device: a socket, which reads as readable when a report
    // is there and hangs up when the device is unplugged.
    int descriptor;
    std::memcpy(&descriptor, device, sizeof descriptor);
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISSOCK(status.st_mode))
        return -1;
    return descriptor;
}
