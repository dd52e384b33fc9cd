// The report layout of the served device as the kernel's devices play it (a
// USB gadget in the kernel test, a uhid device for bridge-sim-device --kernel):
// one vendor-defined collection with report 1, 64 bytes in, 64 bytes out (the
// id byte comes first in each report, as it travels on the bus).
#pragma once

#include <cstdint>

inline constexpr uint8_t REPORT_DESCRIPTOR[] = {
    0x06, 0x00, 0xff,   // Usage Page (vendor defined 0xff00)
    0x09, 0x01,         // Usage (1)
    0xa1, 0x01,         // Collection (Application)
    0x85, 0x01,         //   Report ID (1)
    0x15, 0x00,         //   Logical Minimum (0)
    0x26, 0xff, 0x00,   //   Logical Maximum (255)
    0x75, 0x08,         //   Report Size (8)
    0x95, 0x40,         //   Report Count (64)
    0x09, 0x01,         //   Usage (1)
    0x81, 0x02,         //   Input (Data, Variable, Absolute)
    0x09, 0x01,         //   Usage (1)
    0x91, 0x02,         //   Output (Data, Variable, Absolute)
    0xc0,               // End Collection
};
