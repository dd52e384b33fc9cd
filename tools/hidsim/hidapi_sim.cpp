// hidapi's C API on virtual devices. The device list is the JSON file that
// the playing processes keep in the virtual-device directory; an open device
// is a SOCK_SEQPACKET connection to the process that plays it, one packet per
// report in either direction.
//
// Linked beneath the host, whose standard output is the browser's channel and
// whose standard error is its log: this library writes to neither. Failures
// are told only by results and by the texts of hid_error.
#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "directory.h"

using nlohmann::json;

struct hid_device_ {
    // The connection to the playing process. It must come first: the host
    // reads it from the start of the record to wait on the device.
    int socket;
    bool nonblocking;
    bool fail_write;
    // The record's strings, null when absent.
    wchar_t* manufacturer_string;
    wchar_t* product_string;
    wchar_t* serial_number;
    wchar_t* indexed_string_1;
    // Why the last call on this device failed; null after one that succeeded.
    wchar_t* last_error;
};
static_assert(std::is_standard_layout_v<hid_device_> && offsetof(hid_device_, socket) == 0);

namespace {

// Why the last call without a device failed (hid_init, hid_enumerate, hid_open).
wchar_t* global_error = nullptr;

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
    bool fail_write = false;
};

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
        out += static_cast<wchar_t>(code_point);
        i += length;
    }
    return out;
}

std::wstring ErrnoText(const char* what)
{
    return DecodeUtf8(std::string(what) + ": " + std::strerror(errno));
}

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

// Connects to the process that plays the device. Null, with the reason
// recorded, when it is not listening.
hid_device* Connect(const std::string& dir, const Record& record)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = hidsim::InDir(dir, record.socket.c_str());
    if (record.socket.empty() || socket_path.size() >= sizeof address.sun_path) {
        SetError(global_error, L"the device record names no usable socket");
        return nullptr;
    }
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);

    const int connection = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (connection < 0) {
        SetError(global_error, ErrnoText("socket"));
        return nullptr;
    }
    if (connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        SetError(global_error, ErrnoText("cannot reach the virtual device"));
        close(connection);
        return nullptr;
    }
    auto* device = new (std::nothrow) hid_device_{connection,
                                                  false,
                                                  record.fail_write,
                                                  CopyOrNull(record.manufacturer_string),
                                                  CopyOrNull(record.product_string),
                                                  CopyOrNull(record.serial_number),
                                                  CopyOrNull(record.indexed_string_1),
                                                  nullptr};
    if (!device) {
        SetError(global_error, L"out of memory");
        close(connection);
    }
    return device;
}

template <typename Matches>
hid_device* OpenFirst(Matches matches)
{
    const std::string dir = hidsim::DefaultDir();
    for (const Record& record : ReadRecords(dir))
        if (matches(record))
            return Connect(dir, record);
    SetError(global_error, L"no such virtual device");
    return nullptr;
}

// Copies like hidapi: at most maxlen - 1 characters, then the terminator.
int CopyDeviceString(hid_device* device, const wchar_t* text, wchar_t* string, size_t maxlen)
{
    if (!string || maxlen == 0) {
        SetError(device->last_error, L"no room for the string");
        return -1;
    }
    if (!text) {
        SetError(device->last_error, L"the virtual device has no such string");
        return -1;
    }
    std::wcsncpy(string, text, maxlen);
    string[maxlen - 1] = L'\0';
    ClearError(device->last_error);
    return 0;
}

// Waits until a report, or the playing process's end, can be received: 1 then,
// 0 when the time ran out first, -1 on failure. A negative time waits forever.
int WaitForReport(int socket, int milliseconds)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t deadline = now.tv_sec * 1000 + now.tv_nsec / 1000000 + milliseconds;
    int left = milliseconds;
    for (;;) {
        pollfd ready = {socket, POLLIN, 0};
        const int result = poll(&ready, 1, left);
        if (result > 0 && (ready.revents & POLLNVAL)) {
            errno = EBADF;
            return -1;
        }
        if (result > 0)
            return 1;
        if (result == 0)
            return 0;
        if (errno != EINTR)
            return -1;
        if (milliseconds >= 0) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            left = static_cast<int>(std::max<int64_t>(0, deadline - (now.tv_sec * 1000 + now.tv_nsec / 1000000)));
        }
    }
}

}  // namespace

extern "C" {

int hid_init(void)
{
    if (access(hidsim::InDir(hidsim::DefaultDir(), hidsim::INIT_FAILS_FILE).c_str(), F_OK) == 0) {
        SetError(global_error, L"the virtual HID library was told to fail");
        return -1;
    }
    ClearError(global_error);
    return 0;
}

int hid_exit(void)
{
    ClearError(global_error);
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
            SetError(global_error, L"no virtual device found");
        return first;
    } catch (...) {
        SetError(global_error, L"out of memory");
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
        SetError(global_error, L"out of memory");
        return nullptr;
    }
}

hid_device* hid_open_path(const char* path)
{
    try {
        return OpenFirst([&](const Record& record) { return path && record.path == path; });
    } catch (...) {
        SetError(global_error, L"out of memory");
        return nullptr;
    }
}

void hid_close(hid_device* device)
{
    if (!device)
        return;
    close(device->socket);
    std::free(device->manufacturer_string);
    std::free(device->product_string);
    std::free(device->serial_number);
    std::free(device->indexed_string_1);
    std::free(device->last_error);
    delete device;
}

int hid_write(hid_device* device, const unsigned char* data, size_t length)
{
    if (device->fail_write) {
        SetError(device->last_error, L"write refused by the virtual device");
        return -1;
    }
    if (!data || length == 0 || length > INT_MAX) {
        SetError(device->last_error, L"no report to write");
        return -1;
    }
    ssize_t sent;
    do {
        // A player that is gone must not kill the host with SIGPIPE.
        sent = send(device->socket, data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        SetError(device->last_error, ErrnoText("write"));
        return -1;
    }
    ClearError(device->last_error);
    return static_cast<int>(sent);
}

int hid_read_timeout(hid_device* device, unsigned char* data, size_t length, int milliseconds)
{
    const int ready = WaitForReport(device->socket, milliseconds);
    if (ready < 0) {
        SetError(device->last_error, ErrnoText("read"));
        return -1;
    }
    ClearError(device->last_error);
    if (ready == 0)
        return 0;
    // MSG_TRUNC makes recv tell the whole packet's length; the part that did
    // not fit is dropped, as hidraw drops what a short read leaves.
    ssize_t received;
    do {
        received = recv(device->socket, data, length, MSG_TRUNC | MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    if (received < 0) {
        SetError(device->last_error, ErrnoText("read"));
        return -1;
    }
    // The players never send an empty report, so an empty receive is the
    // playing process gone: the device was unplugged.
    if (received == 0) {
        SetError(device->last_error, L"the virtual device was unplugged");
        return -1;
    }
    return static_cast<int>(std::min({static_cast<size_t>(received), length, static_cast<size_t>(INT_MAX)}));
}

int hid_read(hid_device* device, unsigned char* data, size_t length)
{
    return hid_read_timeout(device, data, length, device->nonblocking ? 0 : -1);
}

int hid_set_nonblocking(hid_device* device, int nonblock)
{
    device->nonblocking = nonblock != 0;
    return 0;
}

int hid_send_feature_report(hid_device* device, const unsigned char*, size_t)
{
    SetError(device->last_error, L"the virtual device has no feature reports");
    return -1;
}

int hid_get_feature_report(hid_device* device, unsigned char*, size_t)
{
    SetError(device->last_error, L"the virtual device has no feature reports");
    return -1;
}

int hid_get_manufacturer_string(hid_device* device, wchar_t* string, size_t maxlen)
{
    return CopyDeviceString(device, device->manufacturer_string, string, maxlen);
}

int hid_get_product_string(hid_device* device, wchar_t* string, size_t maxlen)
{
    return CopyDeviceString(device, device->product_string, string, maxlen);
}

int hid_get_serial_number_string(hid_device* device, wchar_t* string, size_t maxlen)
{
    return CopyDeviceString(device, device->serial_number, string, maxlen);
}

int hid_get_indexed_string(hid_device* device, int string_index, wchar_t* string, size_t maxlen)
{
    constexpr int ONLY_INDEXED_STRING = 1;
    return CopyDeviceString(device, string_index == ONLY_INDEXED_STRING ? device->indexed_string_1 : nullptr,
                            string, maxlen);
}

const wchar_t* hid_error(hid_device* device)
{
    return device ? device->last_error : global_error;
}

}  // extern "C"
