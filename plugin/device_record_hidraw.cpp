// What the host reads from a handle of hidapi's hidraw backend: the descriptor
// of the device node.
#include "device_handle.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

WaitHandle DeviceReadCompletion(hid_device* device)
{
    // hidapi offers no call for it, but its device record (struct hid_device_
    // in linux/hid.c) starts with the open descriptor of the /dev/hidrawN node.
    int descriptor;
    std::memcpy(&descriptor, device, sizeof descriptor);

    // Make sure that is what we got: a character device whose sysfs entry
    // belongs to the hidraw class.
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISCHR(status.st_mode))
        return -1;
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(status.st_rdev),
                  minor(status.st_rdev));
    char target[PATH_MAX];
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0)
        return -1;
    target[length] = '\0';
    const char* slash = std::strrchr(target, '/');
    return std::strcmp(slash ? slash + 1 : target, "hidraw") == 0 ? descriptor : -1;
}
