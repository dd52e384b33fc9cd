// Device discovery: every HID device present as JSON, with hidapi's wide
// strings turned into UTF-8 (wide_text.h).
#pragma once

#include <nlohmann/json.hpp>

// The device list: null when no HID device is found, else one object per
// record of hid_enumerate, in its order, each with "manufacturerName",
// "productId", "productName" and "vendorId" as strings. Logs one block per
// device.
nlohmann::json Enumerate();
