// What the host reads from a handle of the virtual-device HID library on
// Linux: its connection's descriptor.
#include "device_handle.h"

#include <cstring>

#include <poll.h>
#include <sys/stat.h>

WaitHandle DeviceReadCompletion(hid_device* device)
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

const int* DeviceReadPending(hid_device*)
{
    // Its non-blocking reads leave nothing outstanding: the host keeps the flag.
    return nullptr;
}

int DeviceReadFailed(hid_device* device)
{
    // The connection of an unplugged device polls as hung up, while the
    // reports it sent before are still there to read; those go with it.
    int descriptor;
    std::memcpy(&descriptor, device, sizeof descriptor);
    pollfd ready = {descriptor, POLLIN, 0};
    return poll(&ready, 1, 0) > 0 && (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}
