// bridge-bench [ROUNDS]: the hosts' speed, each figure beside the same
// exchange with a bare echo host (bridge-echo-host), the least any host pays.
// The cases take turns, round after round, so that whatever else the machine
// does falls on all of them alike; the host's log goes to /dev/null or to a
// pipe that is read and thrown away. Prints a table; asserts nothing.
#include <poll.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "echo_load.h"
#include "virtual_device.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SAMPLES = 200;         // round trips of a case in one round
constexpr uint32_t WINDOW = 32;      // pipelined requests awaiting their echo
constexpr uint32_t PIPELINED = 5000;
constexpr int SPAWNS = 5;
constexpr int FLOOD_REPORTS = 20000;
const std::string GET_DEVICES = R"({"call":"getDevices"})";
const std::string RECEIVE = R"({"call":"receive")";

struct Column {
    const char* title;
    bool echo_host;
    bool log_drained;
};
const Column COLUMNS[] = {{"host, log to /dev/null", false, false},
                          {"host, log to a drained pipe", false, true},
                          {"echo host", true, false}};

double Since(Clock::time_point start, double unit)
{
    return std::chrono::duration<double>(Clock::now() - start).count() / unit;
}

struct Bench {
    std::string echo_dir, play_dir;
    std::unique_ptr<HostProcess> echoing_device;
    std::unique_ptr<hidsim::VirtualDevice> played;

    std::unique_ptr<HostProcess> Start(const Column& column, const std::string& path, const std::string& dir) const
    {
        HostOptions options = load::HostOn(dir, {.log_discarded = column.log_drained,
                                                 .log_to_null = !column.log_drained});
        options.path = column.echo_host ? ECHO_HOST : path;
        return std::make_unique<HostProcess>(options);
    }

    // bridge-host-sim with its device open, or the echo host.
    std::unique_ptr<HostProcess> Opened(const Column& column, const std::string& dir)
    {
        auto host = Start(column, BRIDGE_HOST_SIM, dir);
        if (column.echo_host)
            return host;
        host->Send({{"call", "open"}});
        if (dir == play_dir)
            played->Accept();
        if (host->ReadFrameText() != load::OPEN_SUCCESS)
            throw std::runtime_error("the virtual device did not open");
        return host;
    }

    void WriteRoundTrip(const Column& column, std::vector<double>& samples)
    {
        auto host = Opened(column, echo_dir);
        for (uint32_t i = 0; i < SAMPLES; ++i) {
            const auto start = Clock::now();
            host->SendText(load::WriteRequest(i));
            host->ReadFrameText();
            samples.push_back(Since(start, 1e-6));
            if (!column.echo_host)
                host->ReadFrameText();   // the echo
        }
    }

    // Requests a second, WINDOW at a time: each done with its echo.
    void Pipelined(const Column& column, std::vector<double>& samples)
    {
        auto host = Opened(column, echo_dir);
        uint32_t sent = 0, done = 0;
        const auto start = Clock::now();
        while (done < PIPELINED) {
            while (sent < PIPELINED && sent - done < WINDOW)
                host->SendText(load::WriteRequest(sent++));
            if (host->ReadFrameText().value().rfind(column.echo_host ? "{" : RECEIVE, 0) == 0)
                ++done;
        }
        samples.push_back(PIPELINED / Since(start, 1));
    }

    void GetDevices(const Column& column, std::vector<double>& samples)
    {
        auto host = Start(column, BRIDGE_HOST, "");
        for (int i = 0; i < SAMPLES; ++i) {
            const auto start = Clock::now();
            host->SendText(GET_DEVICES);
            host->ReadFrameText();
            samples.push_back(Since(start, 1e-6));
        }
    }

    // From the device's report to its "receive"; the echo host's round trip
    // of such a message.
    void ReportToReceive(const Column& column, std::vector<double>& samples)
    {
        auto host = Opened(column, play_dir);
        for (int i = 0; i < SAMPLES; ++i) {
            const auto start = Clock::now();
            if (column.echo_host)
                host->SendText(R"({"call":"receive","response":[1,2,3]})");
            else
                played->SendInputReport({1, 2, 3});
            host->ReadFrameText();
            samples.push_back(Since(start, 1e-6));
        }
    }

    void SpawnToFirstReply(const Column& column, std::vector<double>& samples)
    {
        for (int i = 0; i < SPAWNS; ++i) {
            const auto start = Clock::now();
            auto host = Start(column, BRIDGE_HOST, "");
            host->SendText(GET_DEVICES);
            host->ReadFrameText();
            samples.push_back(Since(start, 1e-3));
        }
    }

    // A "getDevices" sent while the device floods the host with reports.
    void RequestDuringFlood(const Column& column, std::vector<double>& samples)
    {
        if (column.echo_host)
            return;
        auto host = Opened(column, play_dir);
        std::atomic<bool> stop = false;
        std::thread flood([&] {
            for (int sent = 0; sent < FLOOD_REPORTS && !stop;) {
                if (played->TrySendInputReport(played->connections().back(), {9, 9}) == hidsim::VirtualDevice::Sent::YES) {
                    ++sent;
                    continue;
                }
                pollfd room = {played->connections().back(), POLLOUT, 0};
                poll(&room, 1, 10);
            }
        });
        while (host->ReadFrameText().value().rfind(RECEIVE, 0) != 0) {
        }
        const auto start = Clock::now();
        host->SendText(GET_DEVICES);
        while (host->ReadFrameText().value().rfind(RECEIVE, 0) == 0) {
        }
        samples.push_back(Since(start, 1e-3));
        stop = true;
        flood.join();
        host->CloseInput();
        host->ReadAllFrames();
    }
};

struct Case {
    const char* name;
    const char* unit;
    void (Bench::*run)(const Column&, std::vector<double>&);
};
const Case CASES[] = {
    {"\"write\" round trip, virtual device (bridge-host-sim)", "us", &Bench::WriteRoundTrip},
    {"pipelined \"write\"s with their echoes, 32 at a time", "/s", &Bench::Pipelined},
    {"\"getDevices\" round trip (bridge-host)", "us", &Bench::GetDevices},
    {"device report to \"receive\" (bridge-host-sim)", "us", &Bench::ReportToReceive},
    {"spawn to first reply (bridge-host)", "ms", &Bench::SpawnToFirstReply},
    {"\"getDevices\" while the device floods (bridge-host-sim)", "ms", &Bench::RequestDuringFlood},
};

std::string Cell(std::vector<double> samples, const std::string& unit)
{
    if (samples.empty())
        return "-";
    std::sort(samples.begin(), samples.end());
    const double median = samples[samples.size() / 2];
    const double p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    char text[64];
    if (unit == "/s")
        std::snprintf(text, sizeof text, "%.0f/s", median);
    else
        std::snprintf(text, sizeof text, "%.*f / %.*f %s", unit == "ms" ? 1 : 0, median, unit == "ms" ? 1 : 0, p99,
                      unit == "us" ? "µs" : unit.c_str());
    return text;
}

std::string Machine()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "?";
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    utsname system{};
    uname(&system);
    return std::to_string(std::thread::hardware_concurrency()) + " CPUs (nproc), " + model + ", Linux " +
           system.release;
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    Bench bench;
    char echo_dir[] = "/tmp/bridge-bench-XXXXXX", play_dir[] = "/tmp/bridge-bench-XXXXXX";
    if (!mkdtemp(echo_dir) || !mkdtemp(play_dir))
        return 1;
    bench.echo_dir = echo_dir;
    bench.play_dir = play_dir;
    bench.echoing_device = std::make_unique<HostProcess>(load::EchoingDevice(echo_dir));
    bench.echoing_device->WaitForLog(" ready in ");
    bench.played = std::make_unique<hidsim::VirtualDevice>(play_dir);

    constexpr size_t case_count = std::size(CASES), column_count = std::size(COLUMNS);
    std::vector<double> samples[case_count][column_count];
    for (int round = 0; round < rounds; ++round)
        for (size_t c = 0; c < case_count; ++c)
            for (size_t k = 0; k < column_count; ++k)
                (bench.*CASES[c].run)(COLUMNS[k], samples[c][k]);

    std::printf("%s; %d rounds; median / p99\n\n| case |", Machine().c_str(), rounds);
    for (const Column& column : COLUMNS)
        std::printf(" %s |", column.title);
    std::printf("\n| --- |");
    for (size_t k = 0; k < column_count; ++k)
        std::printf(" --- |");
    std::printf("\n");
    for (size_t c = 0; c < case_count; ++c) {
        std::printf("| %s |", CASES[c].name);
        for (size_t k = 0; k < column_count; ++k)
            std::printf(" %s |", Cell(samples[c][k], CASES[c].unit).c_str());
        std::printf("\n");
    }
    bench.played.reset();
    bench.echoing_device->Signal(SIGTERM);
    bench.echoing_device->Wait();
    std::filesystem::remove_all(echo_dir);
    std::filesystem::remove_all(play_dir);
    return 0;
}
