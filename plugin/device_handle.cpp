#include "device_handle.h"

DeviceHandle* OpenDevice(unsigned short vendor_id, unsigned short product_id)
{
    hid_device* hid = hid_open(vendor_id, product_id, nullptr);
    if (!hid)
        return nullptr;
    const WaitHandle read_completion = DeviceReadCompletion(hid);
    if (read_completion == NO_HANDLE) {
        hid_close(hid);
        return nullptr;
    }
    return new DeviceHandle{hid, read_completion, DeviceReadPending(hid), false};
}

void CloseDevice(DeviceHandle* device)
{
    hid_close(device ? device->hid : nullptr);
    delete device;
}

bool ReadPending(const DeviceHandle* device)
{
    return device->library_read_pending ? *device->library_read_pending != 0 : device->read_pending;
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
    switch (SignalAfterWake(device->read_completion)) {
    case DeviceSignal::SET:
        return hid_read_timeout(device->hid, buffer, length, -1);
    case DeviceSignal::BROKEN:
        return -1;
    case DeviceSignal::CLEAR:
        break;
    }
    return 0;
}

bool ReadHasFailed(const DeviceHandle* device)
{
    return DeviceReadFailed(device->hid) != 0;
}
