#include "worker.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <hidapi.h>

#include "browser_link.h"
#include "device_handle.h"
#include "device_list.h"
#include "log.h"
#include "mailbox.h"
#include "platform.h"
#include "wide_text.h"

using nlohmann::json;

namespace {

// The one device the host serves.
constexpr unsigned short VENDOR_ID = 0x0ACD;
constexpr unsigned short PRODUCT_ID = 0x3820;

constexpr unsigned char OUTPUT_REPORT_ID = 1;
constexpr size_t REPORT_LEN = 65;                    // report id, then the data
constexpr size_t MAX_WRITE_DATA = REPORT_LEN - 1;
constexpr size_t READ_BUFFER_SIZE = 256;             // longest input report forwarded
constexpr size_t STRING_BUFFER_SIZE = 255;           // wide characters, terminator included
// The system holds 64 of the device's input reports that nobody has read
// (hidraw's queue of each open file; the 64 input buffers hidapi asks
// Windows for), and drops the newest beyond them. Messages come before device
// input, so a backlog of writes to a device that answers each with a report
// would fill that store; after this many messages in a row taken while a
// read is outstanding, the worker looks at the device before each further
// one. Half the store: a device answering every message fills at most 32
// before it is served, and the other half is left for what it sends of its
// own accord meanwhile.
constexpr int MESSAGES_BEFORE_THE_DEVICE = 32;

void GetDevices()
{
    StreamLog("getDevices() called");
    SendMessageA({{"call", "getDevices"}, {"response", Enumerate()}});
}

// Logs one of the device's strings; the query's result only decides the log.
void LogDeviceString(DeviceHandle* device, int (*query)(hid_device*, wchar_t*, size_t), const char* failure,
                     const char* format)
{
    wchar_t text[STRING_BUFFER_SIZE];
    text[0] = 0;
    if (query(device->hid, text, STRING_BUFFER_SIZE) < 0)
        Log(failure);
    LogFormat(format, LogText(text).c_str());
}

int GetIndexedString1(hid_device* device, wchar_t* text, size_t size)
{
    return hid_get_indexed_string(device, 1, text, size);
}

void LogDeviceStrings(DeviceHandle* device)
{
    LogDeviceString(device, hid_get_manufacturer_string, "Unable to read manufacturer string\n",
                    "Manufacturer String: %s\n");
    LogDeviceString(device, hid_get_product_string, "Unable to read product string\n", "Product String: %s\n");

    wchar_t serial[STRING_BUFFER_SIZE];
    serial[0] = 0;
    if (hid_get_serial_number_string(device->hid, serial, STRING_BUFFER_SIZE) < 0)
        Log("Unable to read serial number string\n");
    LogFormat("Serial Number String: (%d) %s", static_cast<int>(serial[0]), LogText(serial).c_str());
    Log("\n");

    LogDeviceString(device, GetIndexedString1, "Unable to read indexed string 1\n", "Indexed String 1: %s\n");
}

// A device whose read failed is gone or broken: it is closed and forgotten
// without telling the browser, with the log of that failed read.
void CloseDeadDevice(DeviceHandle*& device)
{
    Log("hid_read: Unable to read(), closing...\n");
    DeviceHandle* former = device;
    device = nullptr;
    CloseDevice(former);
    Log("hid_read: returned -1\n");
}

// Forwards what a read gave.
void ForwardReport(DeviceHandle*& device, const unsigned char* report, int result)
{
    if (result < 0) {
        CloseDeadDevice(device);
        return;
    }
    if (result == 0)
        Log("hid_read returned 0 (waiting)\n");
    if (result > 0) {
        json message = {{"call", "receive"}, {"response", json::array()}};
        for (int i = 0; i < result; ++i)
            message["response"].push_back(report[i]);
        StreamLog("Sending read receive ", Compact(message));
        SendMessageA(std::move(message));
    }
    LogFormat("hid_read: returned %d\n", result);
}

void Open(DeviceHandle*& device)
{
    StreamLog("open() called");
    // Browser messages are served before device input, so the device may be
    // gone with the failure of its read not yet collected. Its handle is
    // dead: it is closed as that read would close it, and the device opened
    // anew, rather than "Device Open" answered for it.
    if (device && ReadHasFailed(device))
        CloseDeadDevice(device);
    if (!device) {
        device = OpenDevice(VENDOR_ID, PRODUCT_ID);
        if (!device) {
            Log("unable to open device 0x0acd, 0x3820\n");
            SendMessageA({{"call", "open"}, {"response", {{"error", "Unable to open device"}}}});
            return;
        }
        LogDeviceStrings(device);
        hid_set_nonblocking(device->hid, 1);
    }
    SendMessageA({{"call", "open"},
                  {"response",
                   {{"success", "Device Open"},
                    {"vendorId", std::to_string(VENDOR_ID)},
                    {"productId", std::to_string(PRODUCT_ID)}}}});
}

// A number keeps its low 8 bits once any fraction is cut toward zero, so -1
// is 255 and 256 is 0; true is 1 and false 0. Anything else has no byte.
std::optional<uint8_t> ToByte(const json& element)
{
    switch (element.type()) {
    case json::value_t::number_unsigned:
        return static_cast<uint8_t>(element.get<uint64_t>());
    case json::value_t::number_integer:
        return static_cast<uint8_t>(element.get<int64_t>());
    case json::value_t::number_float: {
        // fmod is exact, so even a huge value gives the low 8 bits of its
        // integer part, where a plain cast would be undefined.
        double low = std::fmod(std::trunc(element.get<double>()), 256.0);
        if (low < 0)
            low += 256.0;
        return static_cast<uint8_t>(low);
    }
    case json::value_t::boolean:
        return element.get<bool>() ? 1 : 0;
    default:
        return std::nullopt;
    }
}

void ReplyToWrite(const char* key, const std::string& text)
{
    SendMessageA({{"call", "write"}, {"response", {{key, text}}}});
}

void Write(const json& message, DeviceHandle* device)
{
    if (!device) {
        StreamLog("write() called on null handle");
        return;
    }
    const json data = message.value("data", json());
    if (!data.is_array()) {
        ReplyToWrite("error", std::string("Data is not array ") + data.type_name());
        return;
    }
    if (data.size() > MAX_WRITE_DATA) {
        ReplyToWrite("error", "Data too large to write");
        return;
    }
    unsigned char report[REPORT_LEN] = {OUTPUT_REPORT_ID};
    for (size_t k = 0; k < data.size(); ++k) {
        const std::optional<uint8_t> byte = ToByte(data[k]);
        if (!byte) {
            ReplyToWrite("error", "Data element " + std::to_string(k) + " is not a number but " +
                                      data[k].type_name());
            return;
        }
        report[k + 1] = *byte;
    }
    // A device that does not take the report holds the worker for seconds.
    LetLogOut();
    if (hid_write(device->hid, report, REPORT_LEN) < 0) {
        Log("Unable to write()\n");
        LogFormat("Error: %s\n", LogText(hid_error(device->hid)).c_str());
        ReplyToWrite("error", "Unable to write");
        return;
    }
    ReplyToWrite("success", "Sent");
}

// Handles one browser message; false once it was "EXIT".
bool Dispatch(const json& message, DeviceHandle*& device)
{
    const auto call = message.is_object() ? message.find("call") : message.end();
    if (call == message.end() || !call->is_string()) {
        StreamLog("Unknown Message");
        return true;
    }
    const std::string& name = call->get_ref<const std::string&>();
    StreamLog("CALL present in JSON message: ", name);
    if (name == "getDevices") {
        GetDevices();
    } else if (name == "open") {
        Open(device);
    } else if (name == "write") {
        Write(message, device);
    } else if (name == "EXIT") {
        StreamLog("EXIT Called");
        CloseDevice(device);
        device = nullptr;
        hid_exit();
        CloseMailbox();
        return false;
    } else {
        StreamLog("Unknown Call");
    }
    return true;
}

// What the worker does next.
enum class Turn {
    MESSAGE,        // a unit of the semaphore was taken: one message waits
    COLLECT_READ,   // the device's outstanding read has completed, or the device is gone
    INJECT_READ,    // no read is outstanding: one is started
    NOTHING,        // the wait failed
};

// Waits for the next turn. Browser messages come before device input: the
// semaphore wins the wait when both are signalled, except that once
// MESSAGES_BEFORE_THE_DEVICE messages in a row were taken while a read was
// outstanding (counted in messages_while_reading), a read that has completed
// is collected before the next message.
Turn WaitForTurn(DeviceHandle* device, int& messages_while_reading)
{
    const int taken = messages_while_reading;
    messages_while_reading = 0;
    if (!device) {
        Log("About to wait on notification only..\n");
        LetLogOut();
        return WaitForSemaphoreOr(from_browser_notify, NO_HANDLE) == Woken::SEMAPHORE ? Turn::MESSAGE
                                                                                       : Turn::NOTHING;
    }
    if (!ReadPending(device)) {
        Log("Injecting read request.\n");
        return Turn::INJECT_READ;
    }
    Log("About to wait on USB or notification..\n");
    if (taken >= MESSAGES_BEFORE_THE_DEVICE && ReadCompletedNow(device))
        return Turn::COLLECT_READ;
    LetLogOut();
    switch (WaitForSemaphoreOr(from_browser_notify, device->read_completion)) {
    case Woken::SEMAPHORE:
        messages_while_reading = taken + 1;
        return Turn::MESSAGE;
    case Woken::OTHER:
        return Turn::COLLECT_READ;
    case Woken::FAILED:
        break;
    }
    return Turn::NOTHING;
}

}  // namespace

void Thread(void*)
{
    DecodeDeviceStringsAsUtf8();
    DeviceHandle* device = nullptr;
    if (hid_init() != 0)
        ExitAfterLog(-1);

    unsigned char read_buffer[READ_BUFFER_SIZE];
    int messages_while_reading = 0;
    bool running = true;
    while (running) {
        const Turn turn = WaitForTurn(device, messages_while_reading);
        Log("Finished waiting!\n");
        if (turn == Turn::COLLECT_READ || turn == Turn::INJECT_READ) {
            Log("Wait -- USB Event!\n");
            const int result = turn == Turn::COLLECT_READ ? CollectRead(device, read_buffer, READ_BUFFER_SIZE)
                                                          : StartRead(device, read_buffer, READ_BUFFER_SIZE);
            ForwardReport(device, read_buffer, result);
        } else if (turn == Turn::MESSAGE) {
            Log("Wait -- Notifiy From Browser!\n");
            const json message = TakeMessage();
            StreamLog("JSON Message (OBJ1): ", Compact(message));
            running = Dispatch(message, device);
        }
    }
    LetLogOut();
}
