// What the kernel test's USB gadget claims to be, shared by the program that
// plays the device and the program that checks what the host makes of it, and
// the hex text both use to pass reports around.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace test_device {

constexpr unsigned short VENDOR_ID = 0x0acd;
constexpr unsigned short PRODUCT_ID = 0x3820;
constexpr unsigned short RELEASE = 0x0219;   // bcdDevice

// Two- and three-byte UTF-8 characters, so that a host decoding the kernel's
// strings in the "C" locale shows here.
constexpr char MANUFACTURER[] = "Testgeräte Ærø €";
constexpr char PRODUCT[] = "Echo Pad";
constexpr char SERIAL[] = "KT-0001";

constexpr unsigned char REPORT_ID = 1;
constexpr size_t REPORT_DATA_SIZE = 64;
constexpr size_t REPORT_SIZE = 1 + REPORT_DATA_SIZE;   // the id byte travels with every report

using Bytes = std::vector<unsigned char>;

// "01 ff 00": lower-case pairs, one space between bytes.
inline std::string ToHex(const Bytes& bytes)
{
    std::string text;
    char pair[3];
    for (const unsigned char byte : bytes) {
        if (!text.empty())
            text += ' ';
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

// The inverse of ToHex; false on anything that is not pairs of hex digits.
inline bool FromHex(const std::string& text, Bytes& bytes)
{
    bytes.clear();
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        unsigned value;
        int used = 0;
        if (i + 2 > text.size() || std::sscanf(text.c_str() + i, "%2x%n", &value, &used) != 1 || used != 2)
            return false;
        bytes.push_back(static_cast<unsigned char>(value));
        i += 2;
    }
    return true;
}

}  // namespace test_device
