// bridge-sim-device --kernel: the device played as a HID device of the
// kernel, made through its uhid interface (/dev/uhid).
#pragma once

#include <nlohmann/json.hpp>

namespace hidsim {

// Makes the device `record` describes (the members bridge-sim-device's
// options fill in) and plays it until a stop signal arrives on the signalfd
// stop_signals; then removes it, which is an unplug. Returns the exit code.
int PlayUhidDevice(const nlohmann::json& record, bool echo, int stop_signals);

}  // namespace hidsim
