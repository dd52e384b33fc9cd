// The device's read on Windows, where the HID library keeps an overlapped
// read outstanding and its flag in its own record.
#include "device_handle.h"

#include "device_record_windows.h"

namespace {

struct OutstandingRead {
    OVERLAPPED* overlapped;
    HANDLE file;
    const int* pending;
};

OutstandingRead ReadOf(hid_device* hid)
{
    OutstandingRead read{};
    read.overlapped = DeviceOverlappedRead(hid, &read.file, &read.pending);
    return read;
}

}  // namespace

WaitHandle ReadCompletionSignal(hid_device* hid)
{
    return ReadOf(hid).overlapped->hEvent;
}

bool ReadPending(const DeviceHandle* device)
{
    return *ReadOf(device->hid).pending != 0;
}

int StartRead(DeviceHandle* device, unsigned char* buffer, size_t length)
{
    return hid_read(device->hid, buffer, length);
}

int CollectRead(DeviceHandle* device, unsigned char* buffer, size_t length)
{
    // The wait took the event's signal; the read it announced has completed,
    // and collecting its result (a report, or the failure of an unplugged
    // device) does not look at the event again.
    return hid_read_timeout(device->hid, buffer, length, -1);
}

bool ReadCompletedNow(DeviceHandle* device)
{
    return WaitForSingleObject(device->read_completion, 0) == WAIT_OBJECT_0;
}

bool ReadHasFailed(const DeviceHandle* device)
{
    // An unplugged device fails the overlapped read left outstanding on it.
    // Asking for the result without waiting neither waits on nor resets the
    // completion event, and the read call collects the same result later.
    const OutstandingRead read = ReadOf(device->hid);
    DWORD ignored;
    return *read.pending && HasOverlappedIoCompleted(read.overlapped) &&
           !GetOverlappedResult(read.file, read.overlapped, &ignored, FALSE);
}
