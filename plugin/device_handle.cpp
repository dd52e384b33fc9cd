#include "device_handle.h"

DeviceHandle* OpenDevice(unsigned short vendor_id, unsigned short product_id)
{
    hid_device* hid = hid_open(vendor_id, product_id, nullptr);
    if (!hid)
        return nullptr;
    const WaitHandle read_completion = ReadCompletionSignal(hid);
    if (read_completion == NO_HANDLE) {
        hid_close(hid);
        return nullptr;
    }
    return new DeviceHandle{hid, read_completion, false};
}

void CloseDevice(DeviceHandle* device)
{
    hid_close(device ? device->hid : nullptr);
    delete device;
}
