// hidapi's C API on virtual devices. The device list is the JSON file that
// the playing processes keep in the virtual-device directory; an open device
// is a connection to the process that plays it, one message per report in
// either direction: a SOCK_SEQPACKET socket on Linux, a named pipe in message
// mode on Windows (sim_connection_*.cpp).
//
// Linked beneath the host, whose standard output is the browser's channel and
// whose standard error is its log: this library writes to neither. Failures
// are told only by results and by the texts of hid_error.
#include <hidapi.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "directory.h"
#include "sim_connection.h"

using nlohmann::json;

using hidsim::ClearError;
using hidsim::DecodeUtf8;
using hidsim::SetError;
using hidsim::State;

namespace {

// What the device list says about one device. Members that are missing or of
// another type take these defaults.
struct Record {
    std::string path;
    unsigned short vendor_id = 0;
    unsigned short product_id = 0;
    unsigned short release_number = 0;
    int interface_number = 0;
    std::optional<std::wstring> serial_number;
    std::optional<std::wstring> manufacturer_string;
    std::optional<std::wstring> product_string;
    std::optional<std::wstring> indexed_string_1;
    std::string socket;
    std::string pipe;
    bool fail_write = false;
};

// A JSON string is UTF-8 text; an array of numbers gives wide characters as
// they are, for what no JSON string can carry (a lone surrogate, say).
std::optional<std::wstring> DeviceString(const json& record, const char* name)
{
    const auto member = record.find(name);
    if (member == record.end())
        return std::nullopt;
    if (member->is_string())
        return DecodeUtf8(member->get_ref<const std::string&>());
    if (!member->is_array())
        return std::nullopt;
    std::wstring units;
    for (const json& unit : *member) {
        if (!unit.is_number_integer())
            return std::nullopt;
        units += static_cast<wchar_t>(unit.get<int64_t>());
    }
    return units;
}

int64_t Number(const json& record, const char* name)
{
    const auto member = record.find(name);
    return member != record.end() && member->is_number_integer() ? member->get<int64_t>() : 0;
}

std::string Text(const json& record, const char* name)
{
    const auto member = record.find(name);
    return member != record.end() && member->is_string() ? member->get<std::string>() : std::string();
}

Record ToRecord(const json& record)
{
    Record device;
    device.path = Text(record, "path");
    device.vendor_id = static_cast<unsigned short>(Number(record, "vendor_id"));
    device.product_id = static_cast<unsigned short>(Number(record, "product_id"));
    device.release_number = static_cast<unsigned short>(Number(record, "release_number"));
    device.interface_number = static_cast<int>(Number(record, "interface_number"));
    device.serial_number = DeviceString(record, "serial_number");
    device.manufacturer_string = DeviceString(record, "manufacturer_string");
    device.product_string = DeviceString(record, "product_string");
    device.indexed_string_1 = DeviceString(record, "indexed_string_1");
    device.socket = Text(record, "socket");
    device.pipe = Text(record, "pipe");
    const auto fail_write = record.find("fail_write");
    device.fail_write = fail_write != record.end() && fail_write->is_boolean() && fail_write->get<bool>();
    return device;
}

// The device list as it is now. The players replace the file by renaming a
// finished one over it, so it is never seen half written; a missing or
// broken one lists nothing.
std::vector<Record> ReadRecords(const std::string& dir)
{
    std::ifstream file(hidsim::InDir(dir, hidsim::DEVICES_FILE));
    std::stringstream text;
    text << file.rdbuf();
    const json list = json::parse(text.str(), nullptr, false);
    std::vector<Record> records;
    if (!list.is_array())
        return records;
    for (const json& record : list)
        if (record.is_object())
            records.push_back(ToRecord(record));
    return records;
}

// hidapi's filter: an id of 0 matches any device.
bool HasIds(const Record& record, unsigned short vendor_id, unsigned short product_id)
{
    return (vendor_id == 0 || record.vendor_id == vendor_id) && (product_id == 0 || record.product_id == product_id);
}

wchar_t* CopyOrNull(const std::optional<std::wstring>& text)
{
    return text ? wcsdup(text->c_str()) : nullptr;
}

hid_device_info* NewDeviceInfo(const Record& record)
{
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    if (!info)
        return nullptr;
    info->path = strdup(record.path.c_str());
    info->vendor_id = record.vendor_id;
    info->product_id = record.product_id;
    info->serial_number = CopyOrNull(record.serial_number);
    info->release_number = record.release_number;
    info->manufacturer_string = CopyOrNull(record.manufacturer_string);
    info->product_string = CopyOrNull(record.product_string);
    info->interface_number = record.interface_number;
    info->bus_type = HID_API_BUS_USB;
    return info;
}

template <typename Matches>
hid_device* OpenFirst(Matches matches)
{
    const std::string dir = hidsim::DefaultDir();
    for (const Record& record : ReadRecords(dir))
        if (matches(record))
            return hidsim::Connect({dir, record.socket, record.pipe},
                                   {false, record.fail_write, CopyOrNull(record.manufacturer_string),
                                    CopyOrNull(record.product_string), CopyOrNull(record.serial_number),
                                    CopyOrNull(record.indexed_string_1), nullptr});
    SetError(hidsim::GlobalError(), L"no such virtual device");
    return nullptr;
}

// Copies like hidapi: at most maxlen - 1 characters, then the terminator.
int CopyDeviceString(hid_device* device, const wchar_t* text, wchar_t* string, size_t maxlen)
{
    wchar_t*& last_error = State(device).last_error;
    if (!string || maxlen == 0) {
        SetError(last_error, L"no room for the string");
        return -1;
    }
    if (!text) {
        SetError(last_error, L"the virtual device has no such string");
        return -1;
    }
    std::wcsncpy(string, text, maxlen);
    string[maxlen - 1] = L'\0';
    ClearError(last_error);
    return 0;
}

}  // namespace

namespace hidsim {

void SetError(wchar_t*& slot, const std::wstring& text)
{
    std::free(slot);
    slot = wcsdup(text.c_str());
}

void ClearError(wchar_t*& slot)
{
    std::free(slot);
    slot = nullptr;
}

wchar_t*& GlobalError()
{
    // Why the last call without a device failed (hid_init, hid_enumerate, hid_open).
    static wchar_t* global_error = nullptr;
    return global_error;
}

// The parser has already refused malformed UTF-8, so the lead byte tells the
// length and every continuation byte is there.
std::wstring DecodeUtf8(const std::string& text)
{
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t code_point = length == 1 ? lead : lead & (0x7Fu >> length);
        for (size_t k = 1; k < length && i + k < text.size(); ++k)
            code_point = (code_point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        if (sizeof(wchar_t) == 2 && code_point > 0xFFFF) {
            // A surrogate pair, as the system gives such a character.
            code_point -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (code_point >> 10));
            out += static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF));
        } else {
            out += static_cast<wchar_t>(code_point);
        }
        i += length;
    }
    return out;
}

}  // namespace hidsim

using hidsim::GlobalError;

extern "C" {

int hid_init(void)
{
    std::error_code error;
    if (std::filesystem::exists(hidsim::InDir(hidsim::DefaultDir(), hidsim::INIT_FAILS_FILE), error)) {
        SetError(GlobalError(), L"the virtual HID library was told to fail");
        return -1;
    }
    ClearError(GlobalError());
    return 0;
}

int hid_exit(void)
{
    ClearError(GlobalError());
    return 0;
}

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    try {
        hid_device_info* first = nullptr;
        hid_device_info** link = &first;
        for (const Record& record : ReadRecords(hidsim::DefaultDir())) {
            if (!HasIds(record, vendor_id, product_id))
                continue;
            *link = NewDeviceInfo(record);
            if (!*link)
                break;
            link = &(*link)->next;
        }
        if (!first)
            SetError(GlobalError(), L"no virtual device found");
        return first;
    } catch (...) {
        SetError(GlobalError(), L"out of memory");
        return nullptr;
    }
}

void hid_free_enumeration(hid_device_info* devices)
{
    while (devices) {
        hid_device_info* next = devices->next;
        std::free(devices->path);
        std::free(devices->serial_number);
        std::free(devices->manufacturer_string);
        std::free(devices->product_string);
        std::free(devices);
        devices = next;
    }
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t* serial_number)
{
    try {
        return OpenFirst([&](const Record& record) {
            return HasIds(record, vendor_id, product_id) &&
                   (!serial_number || (record.serial_number && *record.serial_number == serial_number));
        });
    } catch (...) {
        SetError(GlobalError(), L"out of memory");
        return nullptr;
    }
}

hid_device* hid_open_path(const char* path)
{
    try {
        return OpenFirst([&](const Record& record) { return path && record.path == path; });
    } catch (...) {
        SetError(GlobalError(), L"out of memory");
        return nullptr;
    }
}

void hid_close(hid_device* device)
{
    if (!device)
        return;
    hidsim::DeviceState state = State(device);
    hidsim::Disconnect(device);
    std::free(state.manufacturer_string);
    std::free(state.product_string);
    std::free(state.serial_number);
    std::free(state.indexed_string_1);
    std::free(state.last_error);
}

int hid_write(hid_device* device, const unsigned char* data, size_t length)
{
    wchar_t*& last_error = State(device).last_error;
    if (State(device).fail_write) {
        SetError(last_error, L"write refused by the virtual device");
        return -1;
    }
    if (!data || length == 0 || length > INT_MAX) {
        SetError(last_error, L"no report to write");
        return -1;
    }
    return hidsim::SendReport(device, data, length);
}

int hid_read(hid_device* device, unsigned char* data, size_t length)
{
    return hid_read_timeout(device, data, length, State(device).nonblocking ? 0 : -1);
}

int hid_set_nonblocking(hid_device* device, int nonblock)
{
    State(device).nonblocking = nonblock != 0;
    return 0;
}

int hid_send_feature_report(hid_device* device, const unsigned char*, size_t)
{
    SetError(State(device).last_error, L"the virtual device has no feature reports");
    return -1;
}

int hid_get_feature_report(hid_device* device, unsigned char*, size_t)
{
    SetError(State(device).last_error, L"the virtual device has no feature reports");
    return -1;
}

int hid_get_manufacturer_string(hid_device* device, wchar_t* string, size_t maxlen)
{
    return CopyDeviceString(device, State(device).manufacturer_string, string, maxlen);
}

int hid_get_product_string(hid_device* device, wchar_t* string, size_t maxlen)
{
    return CopyDeviceString(device, State(device).product_string, string, maxlen);
}

int hid_get_serial_number_string(hid_device* device, wchar_t* string, size_t maxlen)
{
    return CopyDeviceString(device, State(device).serial_number, string, maxlen);
}

int hid_get_indexed_string(hid_device* device, int string_index, wchar_t* string, size_t maxlen)
{
    constexpr int ONLY_INDEXED_STRING = 1;
    return CopyDeviceString(device, string_index == ONLY_INDEXED_STRING ? State(device).indexed_string_1 : nullptr,
                            string, maxlen);
}

const wchar_t* hid_error(hid_device* device)
{
    return device ? State(device).last_error : GlobalError();
}

}  // extern "C"
