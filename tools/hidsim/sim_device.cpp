// bridge-sim-device: plays one virtual HID device for hosts linked with the
// virtual HID library. See usage below.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "hex.h"
#include "virtual_device.h"

using nlohmann::json;

namespace {

constexpr const char* USAGE = R"(usage: bridge-sim-device [OPTION]...
Plays one virtual HID device for a host built on the virtual HID library.
Prints each output report the host writes as a line of hex bytes on standard
output and, unless --no-echo, sends it back as an input report. Each line of
hex bytes typed on standard input (spaces between bytes allowed) is sent as an
input report. Serves host after host until SIGINT or SIGTERM, then removes the
device. Says on standard error when it is ready.

  --dir DIR              the virtual-device directory (default: $HIDSIM_DIR, else /tmp/hidsim)
  --vendor HEX           vendor id (default 0acd)
  --product HEX          product id (default 3820)
  --release HEX          release number (default 0100)
  --interface N          interface number (default 0)
  --path PATH            device path (default /dev/hidsim<N>)
  --manufacturer TEXT    manufacturer string (default: none)
  --product-name TEXT    product string (default: none)
  --serial TEXT          serial number string (default: none)
  --indexed-string TEXT  string descriptor 1 (default: none)
  --fail-write           refuse every write of the host
  --no-echo              do not send output reports back
  --help                 show this text
)";

constexpr size_t READ_CHUNK = 4096;
constexpr unsigned long MAX_ID = 0xFFFF;

struct Options {
    std::string dir = hidsim::DefaultDir();
    json record = json::object();
    bool echo = true;
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
           FAIL_WRITE, NO_ECHO, HELP };
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
    return options;
}

void SendTypedReport(hidsim::VirtualDevice& device, const std::string& line)
{
    const std::optional<std::vector<uint8_t>> report = hidsim::ParseHexLine(line);
    if (!report)
        std::cerr << "bridge-sim-device: not hex bytes, nothing sent: " << line << "\n";
    else if (report->empty())
        return;
    else if (device.connection() < 0)
        std::cerr << "bridge-sim-device: no host connected, report dropped\n";
    else if (!device.SendInputReport(*report))
        std::cerr << "bridge-sim-device: the host did not take the report\n";
}

// Standard input as lines, read only when poll() says there is something.
class TypedLines {
   public:
    // Reads what is there and sends each whole line; false at end of input.
    bool Forward(hidsim::VirtualDevice& device)
    {
        char chunk[READ_CHUNK];
        const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0)
            return errno == EINTR || errno == EAGAIN;
        if (got == 0) {
            if (!pending_.empty())
                SendTypedReport(device, pending_);
            pending_.clear();
            return false;
        }
        pending_.append(chunk, static_cast<size_t>(got));
        size_t end;
        while ((end = pending_.find('\n')) != std::string::npos) {
            SendTypedReport(device, pending_.substr(0, end));
            pending_.erase(0, end + 1);
        }
        return true;
    }

   private:
    std::string pending_;
};

void PlayOutputReport(hidsim::VirtualDevice& device, bool echo)
{
    const std::vector<uint8_t> report = device.ReceiveOutputReport();
    if (report.empty()) {
        std::cerr << "bridge-sim-device: host disconnected\n";
        return;
    }
    const std::string line = hidsim::HexLine(report) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    if (echo && !device.SendInputReport(report))
        std::cerr << "bridge-sim-device: could not echo the report\n";
}

// Serves until a stop signal arrives on the signalfd. The connection is
// handled before the listener, as accepting a new host closes the old one.
int Serve(hidsim::VirtualDevice& device, bool echo, int stop_signals)
{
    TypedLines typed;
    bool input_open = true;
    for (;;) {
        enum { STOP, CONNECTION, LISTENER, INPUT, COUNT };
        pollfd waits[COUNT] = {{stop_signals, POLLIN, 0},
                               {device.connection(), POLLIN, 0},
                               {device.listener(), POLLIN, 0},
                               {input_open ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(waits, COUNT, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("bridge-sim-device: poll");
            return 1;
        }
        if (waits[STOP].revents)
            return 0;
        if (waits[CONNECTION].revents)
            PlayOutputReport(device, echo);
        if (waits[LISTENER].revents) {
            if (!device.Accept()) {
                std::perror("bridge-sim-device: accept");
                return 1;
            }
            std::cerr << "bridge-sim-device: host connected\n";
        }
        // End of input is no reason to stop: the device goes on serving.
        if (waits[INPUT].revents & POLLNVAL)
            input_open = false;
        else if (waits[INPUT].revents)
            input_open = typed.Forward(device);
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
        std::perror("bridge-sim-device: signals");
        return 1;
    }
    try {
        hidsim::VirtualDevice device(options->dir, options->record);
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", options->record.value("vendor_id", 0x0ACDu),
                      options->record.value("product_id", 0x3820u));
        std::cerr << "virtual device " << ids << " ready in " << options->dir << std::endl;
        return Serve(device, options->echo, stop_signals);
    } catch (const std::exception& error) {
        std::cerr << "bridge-sim-device: " << error.what() << "\n";
        return 1;
    }
}
