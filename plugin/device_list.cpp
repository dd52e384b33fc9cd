#include "device_list.h"

#include <hidapi.h>

#include "log.h"
#include "wide_text.h"

using nlohmann::json;

namespace {

std::string NameOrNull(const wchar_t* name)
{
    return name ? wstring_to_utf8(name) : "NULL";
}

void LogDevice(const hid_device_info& device)
{
    LogFormat("Device Found\n  type: %04hx %04hx\n  path: %s\n  serial_number: %s", device.vendor_id,
            device.product_id, device.path ? device.path : "(null)", LogText(device.serial_number).c_str());
    Log("\n");
    LogFormat("  Manufacturer: %s\n", LogText(device.manufacturer_string).c_str());
    LogFormat("  Product:      %s\n", LogText(device.product_string).c_str());
    LogFormat("  Release:      %hx\n", device.release_number);
    LogFormat("  Interface:    %d\n", device.interface_number);
    Log("\n");
}

}  // namespace

json Enumerate()
{
    hid_device_info* devices = hid_enumerate(0, 0);
    json result;   // null until the first device is appended
    for (const hid_device_info* device = devices; device; device = device->next) {
        LogDevice(*device);
        json entry = json::object();
        entry["vendorId"] = std::to_string(device->vendor_id);
        entry["productId"] = std::to_string(device->product_id);
        entry["productName"] = NameOrNull(device->product_string);
        entry["manufacturerName"] = NameOrNull(device->manufacturer_string);
        result.push_back(std::move(entry));
    }
    hid_free_enumeration(devices);
    Log("Finised Enumerate() returning\n");
    return result;
}
