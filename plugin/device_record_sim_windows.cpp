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

int DeviceReadFailed(hid_device* device)
{
    // The player closing its end fails the outstanding read. Asking for the
    // result without waiting neither waits on nor resets the completion
    // event, and the read call collects the same result later.
    DWORD ignored;
    return device->read_pending && HasOverlappedIoCompleted(&device->ol) &&
           !GetOverlappedResult(device->pipe, &device->ol, &ignored, FALSE);
}
