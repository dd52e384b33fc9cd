// The worker on a virtual device that this harness plays. Each input line is
// one step, taken while the worker waits:
//   e JSON   the device echoes what it received, then JSON goes to the worker
//   u JSON   the device is unplugged, then JSON goes to the worker
//   s BYTES  the device sends BYTES (at most 256) as an input report
//   p JSON   a device is plugged in with JSON as its record (fail_write: true
//            makes it refuse writes)
//   JSON     any other line is a message for the worker
// Lines that are no JSON text send nothing. After the last step the worker
// gets an EXIT. Checks: every "Sent" reply is a report that reached a device,
// and the "receive" messages are reports the devices sent, in their order.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include <csignal>
#include <poll.h>
#include <unistd.h>

#include "fuzz_platform.h"
#include "directory.h"
#include "virtual_device.h"

// The worker's own translation unit, its dispatch within reach.
#include "worker.cpp"

// The browser's side of the link: replies are kept.

namespace {

std::vector<json> replies;

bool Readable(int descriptor)
{
    if (descriptor < 0)
        return false;
    pollfd ready = {descriptor, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}

class Harness {
public:
    Harness(const uint8_t* data, size_t size)
    {
        std::string_view rest(reinterpret_cast<const char*>(data), size);
        while (!rest.empty()) {
            const size_t end = std::min(rest.find('\n'), rest.size());
            steps_.emplace_back(rest.substr(0, end));
            rest.remove_prefix(std::min(end + 1, rest.size()));
        }
    }

    // Takes steps until one leaves the worker something to do, then the EXIT.
    void BeforeWait(WaitHandle device_signal)
    {
        ServiceDevices();
        while (next_step_ < steps_.size()) {
            const bool queued = Take(steps_[next_step_++]);
            ServiceDevices();
            if (queued || Readable(device_signal))
                return;
        }
        if (!exit_queued_ && !Readable(device_signal)) {
            Queue({{"call", "EXIT"}});
            exit_queued_ = true;
        }
    }

    void Finish()
    {
        ServiceDevices();
        devices_.clear();
    }

    size_t received() const { return received_; }
    const std::vector<std::vector<uint8_t>>& sent() const { return sent_; }

private:
    // Each device takes the host's connection and every report written to it.
    void ServiceDevices()
    {
        for (auto& device : devices_) {
            if (Readable(device->listener()))
                device->Accept();
            while (std::ranges::any_of(device->connections(), Readable)) {
                std::vector<uint8_t> report = device->ReceiveOutputReport();
                if (report.empty())
                    continue;
                ++received_;
                unanswered_.push_back(std::move(report));
            }
        }
    }

    bool Take(std::string_view line)
    {
        const char action = line.empty() ? '\0' : line[0];
        const std::string_view rest = line.substr(std::min<size_t>(1, line.size()));
        switch (action) {
        case 'e':
            for (const auto& report : unanswered_)
                Send(report);
            unanswered_.clear();
            return QueueText(rest);
        case 'u':
            if (!devices_.empty())
                devices_.erase(devices_.begin());
            return QueueText(rest);
        case 's':
            Send(std::vector<uint8_t>(rest.begin(), rest.begin() + std::min<size_t>(rest.size(), 256)));
            return false;
        case 'p':
            Plug(rest);
            return false;
        default:
            return QueueText(line);
        }
    }

    void Plug(std::string_view text)
    {
        json record = json::parse(text, nullptr, false);
        if (!record.is_object())
            record = json::object();
        if (devices_.size() < 3)
            devices_.push_back(std::make_unique<hidsim::VirtualDevice>(hidsim::DefaultDir(), record));
    }

    void Send(const std::vector<uint8_t>& report)
    {
        for (auto& device : devices_)
            if (device->SendInputReport(report))
                sent_.push_back(report);
    }

    bool QueueText(std::string_view text)
    {
        json message = json::parse(text, nullptr, false);
        if (message.is_discarded())
            return false;
        Queue(std::move(message));
        return true;
    }

    static void Queue(json message)
    {
        {
            std::lock_guard lock(from_browser_mutex);
            from_browser.push_back(std::move(message));
        }
        PostSemaphore(from_browser_notify);
    }

    std::vector<std::string_view> steps_;
    size_t next_step_ = 0;
    bool exit_queued_ = false;
    std::vector<std::unique_ptr<hidsim::VirtualDevice>> devices_;
    std::vector<std::vector<uint8_t>> unanswered_;   // reports received and not echoed yet
    size_t received_ = 0;
    std::vector<std::vector<uint8_t>> sent_;
};

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "dispatch_fuzz: %s\n", what);
        std::abort();
    }
}

// Whether the receive messages are some of the sent reports, in their order:
// reports still on their way when the host closed the device are lost.
bool ReceivedInOrder(const std::vector<std::vector<uint8_t>>& sent)
{
    size_t next = 0;
    for (const json& reply : replies) {
        if (reply["call"] != "receive")
            continue;
        const auto bytes = reply["response"].get<std::vector<uint8_t>>();
        while (next < sent.size() && sent[next] != bytes)
            ++next;
        if (next == sent.size())
            return false;
        ++next;
    }
    return true;
}

}  // namespace

void SendMessageA(json message)
{
    replies.push_back(std::move(message));
}

static void RemoveDeviceDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(hidsim::DefaultDir(), ignored);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char dir[] = "/tmp/dispatch-fuzz-XXXXXX";
    if (!mkdtemp(dir) || setenv(hidsim::DIR_VARIABLE, dir, 1) != 0)
        std::abort();
    std::atexit(RemoveDeviceDir);
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Harness harness(data, size);
    fuzz::before_wait = [&harness](WaitHandle device_signal) { harness.BeforeWait(device_signal); };
    replies.clear();
    Thread(nullptr);
    harness.Finish();

    size_t sent_replies = 0;
    for (const json& reply : replies)
        sent_replies += reply == json{{"call", "write"}, {"response", {{"success", "Sent"}}}};
    Check(sent_replies == harness.received(), "a \"Sent\" reply for a report no device received");
    Check(ReceivedInOrder(harness.sent()), "a receive message that is no report the device sent");
    return 0;
}
