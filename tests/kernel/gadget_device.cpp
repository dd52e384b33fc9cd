// The device end of the kernel test: a USB HID gadget on the dummy host
// controller, which the guest's own USB stack enumerates as if it sat on a
// cable. It takes commands on standard input, one per line, and tells what
// happened on standard output, one line each:
//
//   plug          -> "plugged /dev/hidrawN" once the host side has its node
//   unplug        -> "unplugged" once the host side's node is gone
//   send HEX      -> "sent" once the input report is handed to the bus
//
// Every output report the host writes is told as "out HEX" and sent straight
// back as an input report ("echoed"). End of input ends the program.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_device.h"
#include "report_descriptor.h"

using test_device::Bytes;

namespace {

const std::string GADGET = "/sys/kernel/config/usb_gadget/kernel-test";
const std::string FUNCTION = "functions/hid.usb0";
constexpr char GADGET_NODE[] = "/dev/hidg0";
constexpr char UDC_CLASS[] = "/sys/class/udc";
constexpr char ENGLISH[] = "strings/0x409";
constexpr int UEVENT_WAIT_MS = 30000;
constexpr size_t UEVENT_BUFFER_SIZE = 8192;
constexpr size_t REPORT_BUFFER_SIZE = 1024;   // more than any report, so a short one shows


[[noreturn]] void Die(const std::string& why)
{
    std::fprintf(stderr, "kernel-device: %s\n", why.c_str());
    std::exit(1);
}

void Say(const std::string& line)
{
    const std::string text = line + "\n";
    if (write(STDOUT_FILENO, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        Die("cannot write to standard output");
}

void WriteFile(const std::string& path, const void* data, size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        Die("cannot open " + path + ": " + std::strerror(errno));
    if (write(fd, data, size) != static_cast<ssize_t>(size))
        Die("cannot write " + path + ": " + std::strerror(errno));
    close(fd);
}

void WriteText(const std::string& path, const std::string& text)
{
    WriteFile(path, text.data(), text.size());
}

void MakeDirectory(const std::string& path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        Die("cannot make " + path + ": " + std::strerror(errno));
}

bool Exists(const char* path)
{
    struct stat status;
    return stat(path, &status) == 0;
}

std::string HexNumber(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// The gadget is described once in configfs and survives unplugging; only its
// binding to the controller comes and goes.
void DescribeGadget()
{
    if (Exists(GADGET.c_str()))
        return;
    MakeDirectory(GADGET);
    WriteText(GADGET + "/idVendor", HexNumber(test_device::VENDOR_ID));
    WriteText(GADGET + "/idProduct", HexNumber(test_device::PRODUCT_ID));
    WriteText(GADGET + "/bcdDevice", HexNumber(test_device::RELEASE));
    WriteText(GADGET + "/bcdUSB", HexNumber(0x0200));
    MakeDirectory(GADGET + "/" + ENGLISH);
    WriteText(GADGET + "/" + ENGLISH + "/manufacturer", test_device::MANUFACTURER);
    WriteText(GADGET + "/" + ENGLISH + "/product", test_device::PRODUCT);
    WriteText(GADGET + "/" + ENGLISH + "/serialnumber", test_device::SERIAL);

    const std::string config = GADGET + "/configs/c.1";
    MakeDirectory(config);
    MakeDirectory(config + "/" + ENGLISH);
    WriteText(config + "/" + ENGLISH + "/configuration", "echo");

    const std::string function = GADGET + "/" + FUNCTION;
    MakeDirectory(function);
    WriteText(function + "/protocol", "0");
    WriteText(function + "/subclass", "0");
    // The id byte counts: with 64 the kernel drops every input report.
    WriteText(function + "/report_length", std::to_string(test_device::REPORT_SIZE));
    WriteFile(function + "/report_desc", REPORT_DESCRIPTOR, sizeof REPORT_DESCRIPTOR);
    if (symlink(function.c_str(), (config + "/hid.usb0").c_str()) != 0)
        Die(std::string("cannot link the function into the configuration: ") + std::strerror(errno));
}

std::string ControllerName()
{
    DIR* directory = opendir(UDC_CLASS);
    if (!directory)
        Die(std::string("no USB device controller: ") + std::strerror(errno));
    std::string name;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') {
            name = entry->d_name;
            break;
        }
    }
    closedir(directory);
    if (name.empty())
        Die("no USB device controller in " + std::string(UDC_CLASS));
    return name;
}

struct Uevent {
    std::string action;
    std::string subsystem;
    std::string devname;
};

// The kernel's own announcements of devices coming and going, the events udev
// would act on. Listening starts before the change is made, so none is missed.
class UeventListener {
public:
    UeventListener() : fd_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT))
    {
        sockaddr_nl address = {};
        address.nl_family = AF_NETLINK;
        address.nl_groups = 1;   // the kernel's broadcast group
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            Die(std::string("cannot listen to kernel uevents: ") + std::strerror(errno));
    }
    ~UeventListener() { close(fd_); }
    UeventListener(const UeventListener&) = delete;
    UeventListener& operator=(const UeventListener&) = delete;

    Uevent Next(const std::string& awaited)
    {
        pollfd ready = {fd_, POLLIN, 0};
        if (poll(&ready, 1, UEVENT_WAIT_MS) != 1)
            Die("no kernel uevent in " + std::to_string(UEVENT_WAIT_MS / 1000) + " s while waiting for " + awaited);
        char buffer[UEVENT_BUFFER_SIZE];
        const ssize_t size = recv(fd_, buffer, sizeof buffer - 1, 0);
        if (size < 0)
            Die(std::string("cannot read a kernel uevent: ") + std::strerror(errno));
        buffer[size] = '\0';
        // "action@devpath", then KEY=value fields, each ended by a NUL.
        Uevent event;
        for (const char* field = buffer; field < buffer + size; field += std::strlen(field) + 1) {
            const std::string text = field;
            if (text.rfind("ACTION=", 0) == 0)
                event.action = text.substr(7);
            else if (text.rfind("SUBSYSTEM=", 0) == 0)
                event.subsystem = text.substr(10);
            else if (text.rfind("DEVNAME=", 0) == 0)
                event.devname = text.substr(8);
        }
        return event;
    }

private:
    int fd_;
};

class Gadget {
public:
    void Plug()
    {
        DescribeGadget();
        UeventListener events;
        WriteText(GADGET + "/UDC", ControllerName());
        std::string host_node;
        while (host_node.empty() || !Exists(GADGET_NODE)) {
            const Uevent event = events.Next("the host side's hidraw node and " + std::string(GADGET_NODE));
            if (event.action == "add" && event.subsystem == "hidraw")
                host_node = "/dev/" + event.devname;
        }
        node_ = open(GADGET_NODE, O_RDWR | O_CLOEXEC);
        if (node_ < 0)
            Die(std::string("cannot open ") + GADGET_NODE + ": " + std::strerror(errno));
        Say("plugged " + host_node);
    }

    void Unplug()
    {
        close(node_);
        node_ = -1;
        UeventListener events;
        WriteText(GADGET + "/UDC", "\n");
        for (;;) {
            const Uevent event = events.Next("the host side's hidraw node to go");
            if (event.action == "remove" && event.subsystem == "hidraw")
                break;
        }
        Say("unplugged");
    }

    void Send(const Bytes& report)
    {
        WriteReport(report);
        Say("sent");
    }

    // Records the host's output report and sends it back unchanged.
    void Echo()
    {
        unsigned char buffer[REPORT_BUFFER_SIZE];
        const ssize_t size = read(node_, buffer, sizeof buffer);
        if (size < 0)
            Die(std::string("cannot read an output report: ") + std::strerror(errno));
        const Bytes report(buffer, buffer + size);
        Say("out " + test_device::ToHex(report));
        WriteReport(report);
        Say("echoed");
    }

    int Node() const { return node_; }

private:
    void WriteReport(const Bytes& report)
    {
        if (node_ < 0)
            Die("cannot send a report while unplugged");
        if (write(node_, report.data(), report.size()) != static_cast<ssize_t>(report.size()))
            Die(std::string("cannot write an input report: ") + std::strerror(errno));
    }

    int node_ = -1;
};

void Obey(Gadget& gadget, const std::string& command)
{
    Bytes report;
    if (command == "plug")
        gadget.Plug();
    else if (command == "unplug")
        gadget.Unplug();
    else if (command.rfind("send ", 0) == 0 && test_device::FromHex(command.substr(5), report))
        gadget.Send(report);
    else
        Die("unknown command: " + command);
}

}  // namespace

int main()
{
    Gadget gadget;
    std::string pending;
    for (;;) {
        pollfd ready[2] = {{STDIN_FILENO, POLLIN, 0}, {gadget.Node(), POLLIN, 0}};
        if (poll(ready, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            Die(std::string("poll: ") + std::strerror(errno));
        }
        if (ready[1].revents & POLLIN)
            gadget.Echo();
        if (ready[0].revents & (POLLIN | POLLHUP)) {
            char chunk[REPORT_BUFFER_SIZE];
            const ssize_t size = read(STDIN_FILENO, chunk, sizeof chunk);
            if (size <= 0)
                return 0;
            pending.append(chunk, static_cast<size_t>(size));
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
                Obey(gadget, pending.substr(0, end));
        }
    }
}
