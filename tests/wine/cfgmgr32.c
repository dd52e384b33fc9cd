/* Wine 8's cfgmgr32.dll lacks CM_Get_Device_Interface_PropertyW, which
 * hidapi's Windows backend looks up in hid_init, failing without it. This
 * stand-in, installed in the tests' Wine prefix, has it (answering that it is
 * not implemented: hidapi asks it only about a device found, and no HID
 * device is found under Wine here) and forwards the functions Wine has. */
#include <windows.h>

#include <cfgmgr32.h>

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
