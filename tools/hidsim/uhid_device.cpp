// bridge-sim-device --kernel. Through uhid, user space gives the kernel a
// report descriptor and plays the device's side of it; the kernel makes a HID
// device of it as of one on a cable, with a hidraw node that udev sets up, so
// that hidapi's hidraw backend, and so every host installed on the machine,
// lists and opens it. The kernel keeps the input reports for each open file of
// the node, as for hardware: this side only answers the kernel's events.
#include "uhid_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/input.h>
#include <linux/netlink.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "device_console.h"
#include "report_descriptor.h"

namespace hidsim {

namespace {

constexpr char UHID_NODE[] = "/dev/uhid";
constexpr size_t UEVENT_BUFFER_SIZE = 8192;
constexpr uint8_t REPORT_ID = 1;
constexpr size_t REPORT_SIZE = 1 + 64;


std::string Text(const nlohmann::json& record, const char* member)
{
    const auto found = record.find(member);
    return found != record.end() && found->is_string() ? found->get<std::string>() : "";
}

// Text into one of uhid's fixed fields, with its terminating zero, cut if
// need be before a whole UTF-8 character.
template <size_t N>
void Fill(uint8_t (&field)[N], const std::string& text)
{
    size_t size = std::min(text.size(), N - 1);
    if (size < text.size())
        while (size > 0 && (static_cast<uint8_t>(text[size]) & 0xC0) == 0x80)
            --size;
    std::memcpy(field, text.data(), size);
}

bool Write(int uhid, const uhid_event& event)
{
    ssize_t put;
    do {
        put = write(uhid, &event, sizeof event);
    } while (put < 0 && errno == EINTR);
    return put == static_cast<ssize_t>(sizeof event);
}

// The kernel passes on only reports of the descriptor's one report id, and
// drops one shorter than that report: a short one is filled with zeros, as a
// device on a cable sends each report whole, and one of another id is
// refused here rather than dropped there unseen. nullopt then.
std::optional<std::vector<uint8_t>> WholeReport(std::vector<uint8_t> report)
{
    if (report.empty() || report[0] != REPORT_ID) {
        LogLine("bridge-sim-device: not sent: the device has only report 01, and the kernel drops any other");
        return std::nullopt;
    }
    if (report.size() < REPORT_SIZE)
        report.resize(REPORT_SIZE);
    return report;
}

bool SendInputReport(int uhid, const std::vector<uint8_t>& report)
{
    uhid_event event = {};
    event.type = UHID_INPUT2;
    if (report.size() > sizeof event.u.input2.data) {
        errno = EMSGSIZE;
        return false;
    }
    event.u.input2.size = static_cast<uint16_t>(report.size());
    std::memcpy(event.u.input2.data, report.data(), report.size());
    return Write(uhid, event);
}

// Feature reports are not played: the kernel's request fails at once rather
// than after its own timeout.
void Refuse(int uhid, const uhid_event& request)
{
    uhid_event reply = {};
    if (request.type == UHID_GET_REPORT) {
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = request.u.get_report.id;
        reply.u.get_report_reply.err = EIO;
    } else {
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = request.u.set_report.id;
        reply.u.set_report_reply.err = EIO;
    }
    if (!Write(uhid, reply))
        LogErrno("cannot answer the kernel");
    LogLine("bridge-sim-device: refused a feature report: only input and output reports are played");
}

// The kernel's own announcements of devices, read until the hidraw node of
// ours is there: the HID device whose phys is ours, then the hidraw device
// under it.
class NodeWatch {
   public:
    explicit NodeWatch(std::string phys)
        : phys_(std::move(phys)), fd_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT))
    {
        sockaddr_nl address = {};
        address.nl_family = AF_NETLINK;
        address.nl_groups = 1;   // the kernel's broadcast group
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~NodeWatch() { Stop(); }
    NodeWatch(const NodeWatch&) = delete;
    NodeWatch& operator=(const NodeWatch&) = delete;

    int fd() const { return fd_; }

    // The node's path once the event that adds it has come, else empty.
    std::string Take()
    {
        char buffer[UEVENT_BUFFER_SIZE];
        const ssize_t size = recv(fd_, buffer, sizeof buffer - 1, 0);
        if (size <= 0)
            return "";
        buffer[size] = '\0';
        // "action@devpath", then KEY=value fields, each ended by a NUL.
        std::string action, subsystem, devpath, devname, phys;
        for (const char* field = buffer; field < buffer + size; field += std::strlen(field) + 1) {
            const std::string text = field;
            const size_t equals = text.find('=');
            const std::string key = text.substr(0, equals), value = text.substr(equals + 1);
            if (key == "ACTION")
                action = value;
            else if (key == "SUBSYSTEM")
                subsystem = value;
            else if (key == "DEVPATH")
                devpath = value;
            else if (key == "DEVNAME")
                devname = value;
            else if (key == "HID_PHYS")
                phys = value;
        }
        if (action != "add")
            return "";
        if (subsystem == "hid" && phys == phys_)
            hid_devpath_ = devpath;
        else if (subsystem == "hidraw" && !hid_devpath_.empty() && devpath.starts_with(hid_devpath_ + "/"))
            return "/dev/" + devname;
        return "";
    }

    void Stop()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

   private:
    std::string phys_;
    std::string hid_devpath_;
    int fd_;
};

}  // namespace

int PlayUhidDevice(const nlohmann::json& record, bool echo, int stop_signals)
{
    for (const char* member : {"path", "interface_number", "indexed_string_1", "fail_write"})
        if (record.contains(member)) {
            LogLine("bridge-sim-device: --kernel takes no --path, --interface, --indexed-string or --fail-write: "
                    "the kernel describes its device itself");
            return 2;
        }
    const int uhid = open(UHID_NODE, O_RDWR | O_CLOEXEC);
    if (uhid < 0) {
        const int error = errno;
        LogErrno(std::string("cannot open ") + UHID_NODE);
        if (error == ENOENT)
            LogLine("bridge-sim-device: the kernel's uhid module is not loaded (as root: modprobe uhid)");
        else if (error == EACCES)
            LogLine("bridge-sim-device: only root, or a user given access to " + std::string(UHID_NODE) +
                    ", can make a device");
        return 1;
    }

    const unsigned vendor = record.value("vendor_id", 0x0ACDu);
    const unsigned product = record.value("product_id", 0x3820u);
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", vendor, product);
    // The name usbhid gives a device on a cable: its manufacturer's and its
    // product's strings.
    std::string name = Text(record, "manufacturer_string");
    const std::string product_name = Text(record, "product_string");
    name += (name.empty() || product_name.empty() ? "" : " ") + product_name;
    if (name.empty())
        name = std::string("HID ") + ids;
    // Tells our HID device from any other in the kernel's announcements.
    const std::string phys = "bridge-sim-device/" + std::to_string(getpid());
    NodeWatch watch(phys);

    uhid_event create = {};
    create.type = UHID_CREATE2;
    uhid_create2_req& request = create.u.create2;
    Fill(request.name, name);
    Fill(request.phys, phys);
    Fill(request.uniq, Text(record, "serial_number"));
    request.rd_size = sizeof REPORT_DESCRIPTOR;
    std::memcpy(request.rd_data, REPORT_DESCRIPTOR, sizeof REPORT_DESCRIPTOR);
    request.bus = BUS_USB;
    request.vendor = vendor;
    request.product = product;
    request.version = record.value("release_number", 0x0100u);
    if (!Write(uhid, create)) {
        LogErrno("cannot make the device");
        close(uhid);
        return 1;
    }

    bool open_by_host = false;
    const SendReport echo_report = [&](const std::vector<uint8_t>& report) {
        if (const auto whole = WholeReport(report); whole && !SendInputReport(uhid, *whole))
            LogErrno("could not echo the report");
    };
    const SendReport typed_report = [&](const std::vector<uint8_t>& report) {
        if (!open_by_host)
            LogLine("bridge-sim-device: no host connected, report dropped");
        else if (const auto whole = WholeReport(report); whole && !SendInputReport(uhid, *whole))
            LogErrno("the kernel did not take the report");
    };
    TypedLines typed;
    bool input_open = true;
    int status = 0;
    for (;;) {
        enum { STOP, UHID, UEVENTS, INPUT, COUNT };
        pollfd waits[COUNT] = {{stop_signals, POLLIN, 0},
                               {uhid, POLLIN, 0},
                               {watch.fd(), POLLIN, 0},
                               {input_open ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(waits, COUNT, -1) < 0) {
            if (errno == EINTR)
                continue;
            LogErrno("poll");
            status = 1;
            break;
        }
        if (waits[STOP].revents)
            break;
        if (waits[UHID].revents) {
            uhid_event event = {};
            if (read(uhid, &event, sizeof event) < static_cast<ssize_t>(sizeof event.type)) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                LogErrno("cannot read from " + std::string(UHID_NODE));
                status = 1;
                break;
            }
            if (event.type == UHID_START && watch.fd() < 0)
                LogLine(std::string("kernel device ") + ids + " ready");
            // The kernel tells the first open of the node and the last close.
            else if (event.type == UHID_OPEN || event.type == UHID_CLOSE) {
                open_by_host = event.type == UHID_OPEN;
                LogLine(open_by_host ? "bridge-sim-device: host connected" : "bridge-sim-device: host disconnected");
            }
            else if (event.type == UHID_GET_REPORT || event.type == UHID_SET_REPORT)
                Refuse(uhid, event);
            else if (event.type == UHID_OUTPUT) {
                const uint8_t* data = event.u.output.data;
                if (!PlayOutputReport(std::vector<uint8_t>(data, data + event.u.output.size), echo, stop_signals,
                                      echo_report))
                    break;
            }
        }
        if (waits[UEVENTS].revents) {
            if (const std::string node = watch.Take(); !node.empty()) {
                LogLine(std::string("kernel device ") + ids + " ready as " + node);
                watch.Stop();
            }
        }
        // End of input is no reason to stop: the device goes on serving.
        if (waits[INPUT].revents & POLLNVAL)
            input_open = false;
        else if (waits[INPUT].revents)
            input_open = typed.Forward(typed_report);
    }
    // Removing the device is an unplug: every open of its node ends.
    uhid_event destroy = {};
    destroy.type = UHID_DESTROY;
    if (!Write(uhid, destroy))
        LogErrno("cannot remove the device");
    close(uhid);
    return status;
}

}  // namespace hidsim
