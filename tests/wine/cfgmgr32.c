/* What hidapi's Windows backend needs of cfgmgr32.dll and Wine 8 lacks,
 * installed in the tests' Wine prefix; the functions Wine has are forwarded
 * to it (cfgmgr32.def).
 *
 * Wine 8 has no CM_Get_Device_Interface_ListW and only a stub of
 * CM_Get_Device_Interface_List_SizeW, so hidapi would find no HID device at
 * all: here both list the interfaces of a class as SetupDi sees them, which
 * is where Wine keeps the interfaces its HID class driver registers. */
/* This is cfgmgr32.dll: its header's functions are defined here, not imported. */
#define _CFGMGR32_
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#include <stdlib.h>
#include <string.h>

/* Walks the interfaces of a class and copies their paths, one after
 * another each with its terminator, into buffer while they fit in room
 * characters; *needed is the length of the whole list, with the empty string
 * that closes it. */
static CONFIGRET ListInterfaces(const GUID* class_guid, const WCHAR* device_id, ULONG flags, WCHAR* buffer,
                                ULONG room, ULONG* needed)
{
    DWORD which = DIGCF_DEVICEINTERFACE;
    if (!(flags & CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES))
        which |= DIGCF_PRESENT;
    HDEVINFO set = SetupDiGetClassDevsW(class_guid, device_id, NULL, which);
    if (set == INVALID_HANDLE_VALUE)
        return CR_FAILURE;
    CONFIGRET result = CR_SUCCESS;
    ULONG used = 0;
    SP_DEVICE_INTERFACE_DATA device_interface = {sizeof device_interface, {0}, 0, 0};
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, NULL, class_guid, index, &device_interface); ++index) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &device_interface, NULL, 0, &size, NULL);
        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = size ? malloc(size) : NULL;
        if (!detail) {
            result = CR_OUT_OF_MEMORY;
            break;
        }
        detail->cbSize = sizeof *detail;
        /* An interface that went away between the two calls is left out. */
        if (SetupDiGetDeviceInterfaceDetailW(set, &device_interface, detail, size, NULL, NULL)) {
            const ULONG length = (ULONG)wcslen(detail->DevicePath) + 1;
            if (buffer && used + length < room)
                memcpy(buffer + used, detail->DevicePath, length * sizeof(WCHAR));
            used += length;
        }
        free(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
    *needed = used + 1;
    return result;
}

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID class_guid, DEVINSTID_W device_id,
                                                    ULONG flags)
{
    if (!length || !class_guid)
        return CR_INVALID_POINTER;
    return ListInterfaces(class_guid, device_id, flags, NULL, 0, length);
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID class_guid, DEVINSTID_W device_id, PZZWSTR buffer,
                                               ULONG length, ULONG flags)
{
    if (!class_guid || !buffer)
        return CR_INVALID_POINTER;
    if (length == 0)
        return CR_INVALID_DATA;
    ULONG needed = 0;
    const CONFIGRET result = ListInterfaces(class_guid, device_id, flags, buffer, length, &needed);
    if (result != CR_SUCCESS || needed > length) {
        /* No partial list: a caller that goes on reading finds it empty. */
        buffer[0] = 0;
        return result != CR_SUCCESS ? result : CR_BUFFER_SMALL;
    }
    buffer[needed - 1] = 0;
    return CR_SUCCESS;
}

/* hidapi asks it for each device found, to learn the interface number and
 * the bus from the device's node; without it both stay unknown, which the
 * host does not use. */
CONFIGRET WINAPI CM_Get_Device_Interface_PropertyW(LPCWSTR device_interface, const DEVPROPKEY* key, DEVPROPTYPE* type,
                                                   PBYTE buffer, PULONG size, ULONG flags)
{
    (void)device_interface;
    (void)key;
    (void)type;
    (void)buffer;
    (void)size;
    (void)flags;
    return CR_CALL_NOT_IMPLEMENTED;
}
