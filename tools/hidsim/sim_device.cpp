// bridge-sim-device: plays one virtual HID device for hosts linked with the
// virtual HID library. See usage below.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "device_console.h"
#include "uhid_device.h"
#include "virtual_device.h"

using hidsim::LogErrno;
using hidsim::LogLine;
using nlohmann::json;

namespace {

constexpr const char* USAGE = R"(usage: bridge-sim-device [OPTION]...
Plays one virtual HID device for a host built on the virtual HID library.
Prints each output report the host writes as a line of hex bytes on standard
output and, unless --no-echo, sends it back as an input report. Each line of
hex bytes typed on standard input (spaces between bytes allowed) is sent as an
input report. Serves every host that opens it, several at once as hidraw
does: each gets every input report, and the reports of all of them are played
in the order they were written. Serves until SIGINT or SIGTERM, then removes
the device, which ends every host's open. Says on standard error when it is
ready.

Like hidraw, it holds at most 64 input reports that a host has not taken yet,
for each host, and drops newer ones, saying how many on standard error.
Standard error never holds it up: lines it cannot take at once are dropped and
counted.

  --dir DIR              the virtual-device directory (default: $HIDSIM_DIR, else /tmp/hidsim)
  --vendor HEX           vendor id (default 0acd)
  --product HEX          product id (default 3820)
  --release HEX          release number (default 0100)
  --interface N          interface number (default 0)
  --path PATH            device path (default /dev/hidsim<N>)
  --manufacturer TEXT    manufacturer string (default: Example Maker)
  --product-name TEXT    product string (default: Example Device)
  --no-strings           no manufacturer or product string unless given
  --serial TEXT          serial number string (default: none)
  --indexed-string TEXT  string descriptor 1 (default: none)
  --fail-write           refuse every write of the hosts
  --no-echo              do not send output reports back
  --kernel               make it a device of the kernel (through /dev/uhid)
                         that every host on this machine can open
  --help                 show this text
)";

constexpr unsigned long MAX_ID = 0xFFFF;
// Input reports waiting for the host, as hidraw keeps per open file.
constexpr size_t INPUT_QUEUE_SIZE = 64;

// The input reports for one connected host that its side could not take
// yet: at most INPUT_QUEUE_SIZE, sent on as it takes them; newer ones are
// dropped and counted, and the count is logged once the queue has emptied
// again or the host is gone. Never waits.
class InputQueue {
   public:
    explicit InputQueue(int connection = -1) : connection_(connection) {}

    // False when the host is gone or the report cannot be sent at all.
    bool Offer(hidsim::VirtualDevice& device, const std::vector<uint8_t>& report)
    {
        if (!waiting_.empty()) {
            if (waiting_.size() < INPUT_QUEUE_SIZE)
                waiting_.push_back(report);
            else
                ++dropped_;
            return true;
        }
        switch (device.TrySendInputReport(connection_, report)) {
        case hidsim::VirtualDevice::Sent::YES: return true;
        case hidsim::VirtualDevice::Sent::FULL: waiting_.push_back(report); return true;
        case hidsim::VirtualDevice::Sent::FAILED: return false;
        }
        return false;
    }

    // Sends what the host's side can take now.
    void Flush(hidsim::VirtualDevice& device)
    {
        while (!waiting_.empty()) {
            const hidsim::VirtualDevice::Sent sent = device.TrySendInputReport(connection_, waiting_.front());
            if (sent == hidsim::VirtualDevice::Sent::FULL)
                return;
            if (sent == hidsim::VirtualDevice::Sent::FAILED) {
                Discard();
                return;
            }
            waiting_.pop_front();
        }
        LogDropped();
    }

    // The host is gone: what waits for it is dropped too.
    void Discard()
    {
        dropped_ += waiting_.size();
        waiting_.clear();
        LogDropped();
    }

    bool waiting() const { return !waiting_.empty(); }

   private:
    void LogDropped()
    {
        if (dropped_ > 0)
            LogLine("bridge-sim-device: dropped " + std::to_string(dropped_) + " input reports: " +
                      std::to_string(INPUT_QUEUE_SIZE) + " were waiting for the host");
        dropped_ = 0;
    }

    int connection_;
    std::deque<std::vector<uint8_t>> waiting_;
    unsigned long dropped_ = 0;
};

// Each connected host's queue, by its connection.
using InputQueues = std::map<int, InputQueue>;

// A report the device sends goes to every host. False when there is none, or
// one could not take it at all.
bool OfferToAll(hidsim::VirtualDevice& device, InputQueues& queues, const std::vector<uint8_t>& report)
{
    bool offered = !queues.empty();
    for (auto& [connection, queue] : queues)
        offered = queue.Offer(device, report) && offered;
    return offered;
}

std::string HostsOpen(const InputQueues& queues)
{
    return " (" + std::to_string(queues.size()) + (queues.size() == 1 ? " host" : " hosts") + " open)";
}

struct Options {
    std::string dir = hidsim::DefaultDir();
    json record = json::object();
    bool echo = true;
    bool kernel = false;
    bool strings = true;
};

std::optional<unsigned long> ParseNumber(const char* text, int base, unsigned long max)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || value > max)
        return std::nullopt;
    return value;
}

// Fills options from the command line; nullopt after printing why not, or
// after --help. exit_code says how to end then.
std::optional<Options> ParseOptions(int argc, char** argv, int& exit_code)
{
    enum { DIR = 256, VENDOR, PRODUCT, RELEASE, INTERFACE, PATH, MANUFACTURER, PRODUCT_NAME, SERIAL, INDEXED,
           FAIL_WRITE, NO_ECHO, NO_STRINGS, KERNEL, HELP };
    static const option LONG_OPTIONS[] = {
        {"dir", required_argument, nullptr, DIR},
        {"vendor", required_argument, nullptr, VENDOR},
        {"product", required_argument, nullptr, PRODUCT},
        {"release", required_argument, nullptr, RELEASE},
        {"interface", required_argument, nullptr, INTERFACE},
        {"path", required_argument, nullptr, PATH},
        {"manufacturer", required_argument, nullptr, MANUFACTURER},
        {"product-name", required_argument, nullptr, PRODUCT_NAME},
        {"serial", required_argument, nullptr, SERIAL},
        {"indexed-string", required_argument, nullptr, INDEXED},
        {"fail-write", no_argument, nullptr, FAIL_WRITE},
        {"no-echo", no_argument, nullptr, NO_ECHO},
        {"no-strings", no_argument, nullptr, NO_STRINGS},
        {"kernel", no_argument, nullptr, KERNEL},
        {"help", no_argument, nullptr, HELP},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    exit_code = 2;
    int option;
    while ((option = getopt_long(argc, argv, "", LONG_OPTIONS, nullptr)) != -1) {
        std::optional<unsigned long> number;
        switch (option) {
        case DIR: options.dir = optarg; break;
        case VENDOR:
        case PRODUCT:
        case RELEASE:
            if (!(number = ParseNumber(optarg, 16, MAX_ID))) {
                std::cerr << "bridge-sim-device: not a 16-bit hex number: " << optarg << "\n";
                return std::nullopt;
            }
            options.record[option == VENDOR ? "vendor_id" : option == PRODUCT ? "product_id" : "release_number"] =
                *number;
            break;
        case INTERFACE: {
            char* end = nullptr;
            const long value = std::strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0') {
                std::cerr << "bridge-sim-device: not a number: " << optarg << "\n";
                return std::nullopt;
            }
            options.record["interface_number"] = value;
            break;
        }
        case PATH: options.record["path"] = optarg; break;
        case MANUFACTURER: options.record["manufacturer_string"] = optarg; break;
        case PRODUCT_NAME: options.record["product_string"] = optarg; break;
        case SERIAL: options.record["serial_number"] = optarg; break;
        case INDEXED: options.record["indexed_string_1"] = optarg; break;
        case FAIL_WRITE: options.record["fail_write"] = true; break;
        case NO_ECHO: options.echo = false; break;
        case NO_STRINGS: options.strings = false; break;
        case KERNEL: options.kernel = true; break;
        case HELP:
            std::cout << USAGE;
            exit_code = 0;
            return std::nullopt;
        default:
            std::cerr << USAGE;
            return std::nullopt;
        }
    }
    if (optind != argc) {
        std::cerr << USAGE;
        return std::nullopt;
    }
    // A newcomer's first device names itself, as hardware does.
    if (options.strings) {
        options.record.emplace("manufacturer_string", "Example Maker");
        options.record.emplace("product_string", "Example Device");
    }
    return options;
}

void SendTypedReport(hidsim::VirtualDevice& device, InputQueues& queues, const std::vector<uint8_t>& report)
{
    if (queues.empty())
        LogLine("bridge-sim-device: no host connected, report dropped");
    else if (!OfferToAll(device, queues, report))
        LogLine("bridge-sim-device: the host did not take the report");
}

// False when standard output could not take the report's line before a stop signal.
bool PlayOutputReport(hidsim::VirtualDevice& device, InputQueues& queues, bool echo, int stop_signals)
{
    int from;
    const std::vector<uint8_t> report = device.ReceiveOutputReport(&from);
    if (report.empty()) {
        const auto gone = queues.find(from);
        if (gone != queues.end()) {
            gone->second.Discard();
            queues.erase(gone);
        }
        LogLine("bridge-sim-device: host disconnected" + HostsOpen(queues));
        return true;
    }
    return hidsim::PlayOutputReport(report, echo, stop_signals, [&](const std::vector<uint8_t>& echoed) {
        if (!OfferToAll(device, queues, echoed))
            LogLine("bridge-sim-device: could not echo the report");
    });
}

// Serves until a stop signal arrives on the signalfd. Nothing but poll()
// waits, so a stop signal always ends it.
int Serve(hidsim::VirtualDevice& device, bool echo, int stop_signals)
{
    hidsim::TypedLines typed;
    InputQueues queues;
    bool input_open = true;
    for (;;) {
        enum { STOP, LISTENER, INPUT, FIRST_HOST };
        std::vector<pollfd> waits = {{stop_signals, POLLIN, 0},
                                     {device.listener(), POLLIN, 0},
                                     {input_open ? STDIN_FILENO : -1, POLLIN, 0}};
        for (auto& [connection, queue] : queues)
            waits.push_back({connection, static_cast<short>(POLLIN | (queue.waiting() ? POLLOUT : 0)), 0});
        if (poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            LogErrno("poll");
            return 1;
        }
        if (waits[STOP].revents)
            return 0;
        bool report_waiting = false;
        for (size_t i = FIRST_HOST; i < waits.size(); ++i) {
            if (waits[i].revents & POLLOUT)
                queues.at(waits[i].fd).Flush(device);
            report_waiting = report_waiting || (waits[i].revents & ~POLLOUT);
        }
        // One report a round: the device takes the earliest of all hosts'.
        if (report_waiting && !PlayOutputReport(device, queues, echo, stop_signals))
            return 0;
        if (waits[LISTENER].revents) {
            if (!device.Accept()) {
                LogErrno("accept");
                return 1;
            }
            const int connection = device.connections().back();
            queues.emplace(connection, InputQueue(connection));
            LogLine("bridge-sim-device: host connected" + HostsOpen(queues));
        }
        // End of input is no reason to stop: the device goes on serving.
        if (waits[INPUT].revents & POLLNVAL)
            input_open = false;
        else if (waits[INPUT].revents)
            input_open = typed.Forward([&](const std::vector<uint8_t>& report) {
                SendTypedReport(device, queues, report);
            });
    }
}

// SIGINT, SIGTERM and SIGHUP arrive as readable data on a descriptor, so
// that the device is removed on the way out like any other event.
int StopSignals()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0)
        return -1;
    return signalfd(-1, &stop, SFD_CLOEXEC);
}

}  // namespace

int main(int argc, char** argv)
{
    int exit_code;
    const std::optional<Options> options = ParseOptions(argc, argv, exit_code);
    if (!options)
        return exit_code;
    // A host gone while we write to it must not end us.
    std::signal(SIGPIPE, SIG_IGN);
    const int stop_signals = StopSignals();
    if (stop_signals < 0) {
        LogErrno("signals");
        return 1;
    }
    if (options->kernel)
        return hidsim::PlayUhidDevice(options->record, options->echo, stop_signals);
    try {
        hidsim::VirtualDevice device(options->dir, options->record);
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", options->record.value("vendor_id", 0x0ACDu),
                      options->record.value("product_id", 0x3820u));
        LogLine(std::string("virtual device ") + ids + " ready in " + options->dir);
        return Serve(device, options->echo, stop_signals);
    } catch (const std::exception& error) {
        LogLine(std::string("bridge-sim-device: ") + error.what());
        return 1;
    }
}
