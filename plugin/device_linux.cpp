// The device's read on Linux, where the HID library's non-blocking reads
// leave nothing outstanding: the host keeps the read-pending flag, and the
// library's descriptor tells, without taking anything, whether a report is
// there or the device is gone.
#include "device_handle.h"

#include <poll.h>

namespace {

// How a descriptor whose device is gone polls: hung up, failed, or closed.
constexpr short HUNG_UP = POLLERR | POLLHUP | POLLNVAL;

// What the descriptor reports now, without waiting: its poll events, or -1
// when it cannot be told.
int EventsNow(int descriptor)
{
    pollfd ready = {descriptor, POLLIN, 0};
    return poll(&ready, 1, 0) < 0 ? -1 : ready.revents;
}

}  // namespace

WaitHandle ReadCompletionSignal(hid_device* hid)
{
    return DeviceReadCompletion(hid);
}

bool ReadPending(const DeviceHandle* device)
{
    return device->read_pending;
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
    // keeps the blocking read that collects from ever waiting: it runs only
    // when a report is there. A device that is gone polls as hung up.
    const int events = EventsNow(device->read_completion);
    if (events < 0)
        return -1;
    if (events & POLLIN)
        return hid_read_timeout(device->hid, buffer, length, -1);
    if (events & HUNG_UP)
        return -1;
    return 0;
}

bool ReadCompletedNow(DeviceHandle* device)
{
    return EventsNow(device->read_completion) > 0;
}

bool ReadHasFailed(const DeviceHandle* device)
{
    // A node or connection whose device is gone polls as hung up, while the
    // reports it queued before are still there to read; those go with it.
    const int events = EventsNow(device->read_completion);
    return events > 0 && (events & HUNG_UP) != 0;
}
