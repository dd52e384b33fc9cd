// soak [N]: N "write" requests (default 1000000) through bridge-host-sim to an
// echoing bridge-sim-device, at most WINDOW of them unanswered at a time, so
// that the device's queue of 64 input reports never fills. Every reply and
// every echo is checked, in order. Prints the time taken and the host's
// resident memory after the first 10000 and at the end; exit code 1 at the
// first fault.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "echo_load.h"

namespace {

constexpr uint32_t WINDOW = 32;
constexpr uint32_t EARLY = 10000;   // memory is taken once this many are echoed

int Fail(const std::string& why)
{
    std::fprintf(stderr, "soak: %s\n", why.c_str());
    return 1;
}

// Sends requests while fewer than WINDOW await their echo, and checks each
// frame that comes back; the first fault, or nothing.
class Soak {
   public:
    Soak(HostProcess& host, uint32_t count) : host_(host), count_(count) {}

    std::optional<std::string> Run()
    {
        while (echoed_ < count_) {
            while (sent_ < count_ && sent_ - echoed_ < WINDOW)
                host_.SendText(load::WriteRequest(sent_++));
            const std::optional<std::string> frame = host_.ReadFrameText();
            if (!frame)
                return "the host closed its output after " + std::to_string(echoed_) + " echoes";
            if (*frame == load::SENT && replied_ < sent_) {
                ++replied_;
            } else if (echoed_ < replied_ && *frame == load::EchoOf(echoed_)) {
                if (++echoed_ == EARLY)
                    early_kib_ = host_.ResidentKiB();
            } else {
                return "frame " + *frame + " where the reply to " + std::to_string(replied_) + " or the echo of " +
                       std::to_string(echoed_) + " was due";
            }
        }
        return std::nullopt;
    }

    long early_kib() const { return early_kib_; }

   private:
    HostProcess& host_;
    const uint32_t count_;
    uint32_t sent_ = 0, replied_ = 0, echoed_ = 0;
    long early_kib_ = -1;
};

}  // namespace

int main(int argc, char** argv)
{
    const uint32_t count = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
    char name[] = "/tmp/bridge-soak-XXXXXX";
    if (!mkdtemp(name))
        return Fail("no directory");
    const std::string dir = name;
    int status = 0;
    {
        HostProcess device(load::EchoingDevice(dir));
        if (!device.WaitForLog(" ready in "))
            return Fail("the device did not start: " + device.Log());
        HostProcess host(load::HostOn(dir, {.log_discarded = true}));
        host.Send({{"call", "open"}});
        if (host.ReadFrameText() != load::OPEN_SUCCESS)
            return Fail("the device did not open");

        Soak soak(host, count);
        const auto start = std::chrono::steady_clock::now();
        const std::optional<std::string> fault = soak.Run();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const long end_kib = host.ResidentKiB();
        host.CloseInput();
        if (fault)
            status = Fail(*fault);
        else if (!host.ReadAllFrames().empty() || host.Wait() != 0)
            status = Fail("the host did not end cleanly at the end of its input");
        device.Signal(SIGTERM);
        if (device.Wait() != 0 || device.CountInLog("dropped"))
            status = Fail("the device dropped reports or did not end cleanly:\n" + device.Log());
        if (status == 0)
            std::printf("soak: %u writes, every reply and echo in order, in %.1f s (%.0f a second); host VmRSS "
                        "after %u: %ld kB, at the end: %ld kB\n",
                        count, seconds, count / seconds, std::min(count, EARLY), count < EARLY ? end_kib : soak.early_kib(),
                        end_kib);
    }
    std::filesystem::remove_all(dir);
    return status;
}
