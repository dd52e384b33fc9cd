/* hidapi's Windows backend, compiled here in one unit with the two items the
 * host reads from its device record (struct hid_device_ in windows/hid.c):
 * the read-pending flag and the overlapped read's completion event, an
 * auto-reset event that the backend resets before each read it starts. */
#include <wchar.h>

/* hidapi's header marks every function of the library for export on
 * Windows; the host's export table is its module-definition file's alone, so
 * the header is read as on the other systems. */
#pragma push_macro("_WIN32")
#undef _WIN32
#include <hidapi.h>
#pragma pop_macro("_WIN32")

#include "hid.c"

void* DeviceReadCompletion(hid_device* device)
{
    return device->ol.hEvent;
}

const int* DeviceReadPending(hid_device* device)
{
    return &device->read_pending;
}

int DeviceReadFailed(hid_device* device)
{
    /* An unplugged device fails the overlapped read left outstanding on it.
     * Asking for the result without waiting neither waits on nor resets the
     * completion event, and the read call collects the same result later. */
    DWORD ignored;
    return device->read_pending && HasOverlappedIoCompleted(&device->ol) &&
           !GetOverlappedResult(device->device_handle, &device->ol, &ignored, FALSE);
}
