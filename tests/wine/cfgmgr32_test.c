/* The tests' cfgmgr32.dll under Wine, as hidapi's enumeration uses it: the
 * size of the HID class's interface list, then the list in a buffer of that
 * size, and the retry that a list grown in between asks for. Wine's own HID
 * mouse and keyboard are always there to be listed. Prints what differs and
 * exits with 1. */
#include <windows.h>

#include <cfgmgr32.h>
#include <initguid.h>
#include <hidclass.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int failures;

static void Expect(int ok, const char* what)
{
    if (!ok) {
        printf("cfgmgr32 test: FAIL: %s\n", what);
        ++failures;
    }
}

/* A class that no device has. */
static const GUID NO_SUCH_CLASS = {0x6c0e2a3d, 0x5a4b, 0x4e0f, {0x9d, 0x21, 0x3e, 0x77, 0x10, 0x0c, 0x52, 0x9a}};

int main(void)
{
    GUID hid_class = GUID_DEVINTERFACE_HID;
    ULONG length = 0;
    Expect(CM_Get_Device_Interface_List_SizeW(&length, &hid_class, NULL, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) ==
               CR_SUCCESS,
           "the size of the HID class's list");
    WCHAR* list = calloc(length + 1, sizeof(WCHAR));
    if (!list)
        return 1;

    Expect(CM_Get_Device_Interface_ListW(&hid_class, NULL, list, length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) ==
               CR_SUCCESS,
           "the HID class's list in a buffer of its size");
    ULONG used = 0, wine_devices = 0;
    for (const WCHAR* path = list; *path; path += wcslen(path) + 1) {
        used += (ULONG)wcslen(path) + 1;
        wine_devices += wcsstr(path, L"vid_845e") != NULL;
        Expect(wcsncmp(path, L"\\\\?\\hid#", 8) == 0, "an interface path of the HID class");
    }
    Expect(used + 1 == length, "the size: the paths with their terminators and the closing empty string");
    Expect(wine_devices == 2, "Wine's HID mouse and keyboard in the list");

    list[0] = L'x';
    Expect(CM_Get_Device_Interface_ListW(&hid_class, NULL, list, length - 1, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) ==
               CR_BUFFER_SMALL,
           "a buffer one short: CR_BUFFER_SMALL, which has hidapi ask for the size again");
    Expect(list[0] == 0, "a buffer one short holds an empty list");
    free(list);

    GUID no_such_class = NO_SUCH_CLASS;
    WCHAR empty[2] = {L'x', L'x'};
    Expect(CM_Get_Device_Interface_List_SizeW(&length, &no_such_class, NULL, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) ==
                   CR_SUCCESS &&
               length == 1,
           "a class without interfaces: the empty list's size");
    Expect(CM_Get_Device_Interface_ListW(&no_such_class, NULL, empty, 2, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) ==
                   CR_SUCCESS &&
               empty[0] == 0,
           "a class without interfaces: the empty list");
    Expect(CM_Get_Device_Interface_List_SizeW(NULL, &hid_class, NULL, 0) == CR_INVALID_POINTER,
           "no place for the size");

    if (failures == 0)
        printf("cfgmgr32 test: PASS\n");
    return failures == 0 ? 0 : 1;
}
