#include "device_handle.h"

#include <poll.h>

DeviceHandle* OpenDevice(unsigned short vendor_id, unsigned short product_id)
{
    hid_device* hid = hid_open(vendor_id, product_id, nullptr);
    if (!hid)
        return nullptr;
    const int descriptor = DeviceDescriptor(hid);
    if (descriptor < 0) {
        hid_close(hid);
        return nullptr;
    }
    return new DeviceHandle{hid, descriptor, false};
}

void CloseDevice(DeviceHandle* device)
{
    hid_close(device ? device->hid : nullptr);
    delete device;
}

int StartRead(DeviceHandle* device, unsigned char* buffer, size_t length)
{
    const int result = hid_read(device->hid, buffer, length);
    device->read_pending = result == 0;
    return result;
}

int CollectRead(DeviceHandle* device, unsigned char* buffer, size_t length)
{
    device->read_pending = false;
    // Readiness is level-triggered, so looking again takes nothing away. It
    // keeps the blocking read below from ever waiting: it runs only when a
    // report is there. A device that is gone polls as hung up or failed.
    pollfd ready = {device->descriptor, POLLIN, 0};
    if (poll(&ready, 1, 0) < 0)
        return -1;
    if (ready.revents & POLLIN)
        return hid_read_timeout(device->hid, buffer, length, -1);
    if (ready.revents & (POLLERR | POLLHUP | POLLNVAL))
        return -1;
    return 0;
}
