// Where the virtual devices live: one directory that holds the device list
// and the sockets of the processes that play the devices. The HID library and
// the players each find it the same way.
#pragma once

#include <string>

namespace hidsim {

constexpr const char* DIR_VARIABLE = "HIDSIM_DIR";
constexpr const char* FALLBACK_DIR = "/tmp/hidsim";
constexpr const char* DEVICES_FILE = "devices.json";
// Its presence makes hid_init fail, for testing a library that cannot start.
constexpr const char* INIT_FAILS_FILE = "init-fails";

// $HIDSIM_DIR, or /tmp/hidsim when it is unset or empty.
std::string DefaultDir();

// dir/name
std::string InDir(const std::string& dir, const char* name);

}  // namespace hidsim
