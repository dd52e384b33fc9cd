// The two items the host reads from the record of the virtual-device HID
// library on Windows, which keeps them as hidapi's Windows backend does.
#include "device_handle.h"

#include "sim_record_windows.h"

WaitHandle DeviceReadCompletion(hid_device* device)
{
    return device->ol.hEvent;
}

const int* DeviceReadPending(hid_device* device)
{
    return &device->read_pending;
}
