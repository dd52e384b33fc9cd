// bridge-sim-player: plays one virtual HID device on Windows for hosts on
// the virtual HID library, steered by the program that started it over its
// standard input and output, one command a line and one answer a line:
//
//   accept     waits until one more host has opened the device: "ok"
//   send HEX   queues an input report (hex bytes) for every host that has the
//              device open: "ok", or "fail" when none has; never waits for a
//              host to take it
//   receive    waits for the next output report of any host, in the order
//              they arrived: its hex bytes, or an empty line when a host has
//              closed the device (at once when none has it open)
//
// It first says "ready PIPE", with the name of the named pipe that the
// device's record is to name. The end of its input unplugs the device for
// every host: the pipes are closed and the player ends.
//
// As Windows' HID class gives each handle of a device its report buffer,
// several hosts may have the device open at once, each on an instance of the
// pipe of its own: each gets every input report, and like hidraw the player
// holds at most 64 of them that a host has not taken, dropping newer ones
// (its standard error says how many).
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "hex.h"
#include "sim_record_windows.h"

namespace {

constexpr DWORD PIPE_BUFFER_SIZE = 65536;
using hidsim::MAX_REPORT_SIZE;   // what the library reads in one go
constexpr size_t INPUT_QUEUE_SIZE = 64;
// As usbhid queues at most 64 output reports for a device, the player holds
// at most that many of a host that `receive` has not taken; the host's next
// write then waits, and fails after 5 s in the library.
constexpr unsigned OUTPUT_QUEUE_SIZE = 64;

void Answer(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// One instance of the pipe: waiting for a host, then serving it.
struct Instance {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED connect{};
    OVERLAPPED read{};
    OVERLAPPED write{};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(MAX_REPORT_SIZE);
    // Input reports for the host; the first is being written until it has taken it.
    std::deque<std::vector<uint8_t>> queue;
    unsigned long dropped = 0;
    int outstanding = 0;   // operations whose completion has not come yet
    unsigned held = 0;     // its entries in the player's received reports
    bool reading = false;
    bool writing = false;
    bool connected = false;
    bool closed = false;
};

// One thread takes the completions of every instance's operations from a
// completion port, which hands them over in the order they completed. The
// pipes buffer nothing on the way to the player, so that a host's write
// completes only once a read of the player has taken it, as a HID device's
// write completes once the device has: the hosts' output reports come out in
// the order they were written. Each connected instance has a read
// outstanding while the player holds fewer than OUTPUT_QUEUE_SIZE of its
// reports, and a write while its queue holds a report.
class Player {
public:
    explicit Player(std::string name) : name_(std::move(name)) {}

    // False when the first instance cannot be created.
    bool Start()
    {
        port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        std::lock_guard lock(mutex_);
        if (!port_ || !Listen(true))
            return false;
        std::thread(&Player::Run, this).detach();
        return true;
    }

    // The device's end: every host's pipe is closed, and the process ends
    // with the completion thread still waiting.
    void Unplug()
    {
        std::lock_guard lock(mutex_);
        for (auto& instance : instances_)
            Close(*instance);
        std::fflush(stdout);
        ExitProcess(0);
    }

    std::string Accept()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return accepted_ > 0 || failed_; });
        if (accepted_ == 0)
            return "fail";
        --accepted_;
        return "ok";
    }

    std::string Send(const std::string& hex)
    {
        const auto report = hidsim::ParseHexLine(hex);
        if (!report || report->empty() || report->size() > MAX_REPORT_SIZE)
            return "fail";
        std::lock_guard lock(mutex_);
        bool sent = false;
        for (auto& instance : instances_) {
            if (!instance->connected)
                continue;
            sent = true;
            if (instance->queue.size() < INPUT_QUEUE_SIZE)
                instance->queue.push_back(*report);
            else
                ++instance->dropped;
            StartWrite(*instance);
        }
        return sent ? "ok" : "fail";
    }

    std::string Receive()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !received_.empty() || !AnyConnected(); });
        if (received_.empty())
            return "";
        auto [from, line] = std::move(received_.front());
        received_.pop_front();
        --from->held;
        if (from->connected && !from->reading)
            StartRead(*from);
        Reap();
        return line;
    }

private:
    void Run()
    {
        for (;;) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* operation = nullptr;
            const BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &operation, INFINITE);
            if (!operation)
                return;   // the port itself failed
            const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            std::lock_guard lock(mutex_);
            Instance& instance = *reinterpret_cast<Instance*>(key);
            --instance.outstanding;
            if (operation == &instance.connect)
                Connected(instance, error);
            else if (operation == &instance.read)
                Received(instance, error, bytes);
            else
                Written(instance, error);
            Reap();
            changed_.notify_all();
        }
    }

    // With the lock held, as every function below: frees the instances that
    // nothing refers to any more.
    void Reap()
    {
        instances_.remove_if([](const auto& one) { return one->closed && one->outstanding == 0 && one->held == 0; });
    }

    // A new instance waits for a host, so that there is always one for the next.
    bool Listen(bool first)
    {
        auto instance = std::make_unique<Instance>();
        instance->pipe = CreateNamedPipeA(name_.c_str(),
                                          PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                              (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                          PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER_SIZE, 0, 0, nullptr);
        if (instance->pipe == INVALID_HANDLE_VALUE ||
            !CreateIoCompletionPort(instance->pipe, port_, reinterpret_cast<ULONG_PTR>(instance.get()), 0)) {
            std::cerr << "bridge-sim-player: cannot create " << name_ << ": system error " << GetLastError() << "\n";
            if (instance->pipe != INVALID_HANDLE_VALUE)
                CloseHandle(instance->pipe);
            failed_ = true;
            return false;
        }
        Instance& listening = *instance;
        instances_.push_back(std::move(instance));
        // A host that opened the pipe before this call is connected already,
        // and no completion comes for it.
        if (ConnectNamedPipe(listening.pipe, &listening.connect) || GetLastError() == ERROR_IO_PENDING)
            ++listening.outstanding;
        else
            Connected(listening, GetLastError() == ERROR_PIPE_CONNECTED ? ERROR_SUCCESS : GetLastError());
        return true;
    }

    void Connected(Instance& instance, DWORD error)
    {
        if (error != ERROR_SUCCESS || instance.closed) {
            Close(instance);
            return;
        }
        instance.connected = true;
        ++accepted_;
        StartRead(instance);
        Listen(false);
    }

    void StartRead(Instance& instance)
    {
        if (ReadFile(instance.pipe, instance.buffer.data(), MAX_REPORT_SIZE, nullptr, &instance.read) ||
            GetLastError() == ERROR_IO_PENDING) {
            ++instance.outstanding;
            instance.reading = true;
        } else {
            HostGone(instance);
        }
    }

    void Received(Instance& instance, DWORD error, DWORD bytes)
    {
        instance.reading = false;
        if (error != ERROR_SUCCESS || bytes == 0 || instance.closed) {
            HostGone(instance);
            return;
        }
        const std::vector<uint8_t> report(instance.buffer.begin(), instance.buffer.begin() + bytes);
        received_.emplace_back(&instance, hidsim::HexLine(report));
        if (++instance.held < OUTPUT_QUEUE_SIZE)
            StartRead(instance);
    }

    void StartWrite(Instance& instance)
    {
        if (instance.writing || instance.closed || instance.queue.empty())
            return;
        const std::vector<uint8_t>& report = instance.queue.front();
        if (WriteFile(instance.pipe, report.data(), static_cast<DWORD>(report.size()), nullptr, &instance.write) ||
            GetLastError() == ERROR_IO_PENDING) {
            ++instance.outstanding;
            instance.writing = true;
        } else {
            DropQueue(instance);
        }
    }

    void Written(Instance& instance, DWORD error)
    {
        instance.writing = false;
        if (error != ERROR_SUCCESS) {
            // The host is gone: its read says so.
            DropQueue(instance);
            return;
        }
        instance.queue.pop_front();
        if (instance.queue.empty())
            LogDropped(instance);
        StartWrite(instance);
    }

    // A host closed the device: `receive` tells it, once.
    void HostGone(Instance& instance)
    {
        if (instance.closed)
            return;
        received_.emplace_back(&instance, "");
        ++instance.held;
        Close(instance);
    }

    // What is outstanding on the instance completes, cancelled, before it is freed.
    void Close(Instance& instance)
    {
        if (instance.closed)
            return;
        DropQueue(instance);
        instance.closed = true;
        instance.connected = false;
        DisconnectNamedPipe(instance.pipe);
        CloseHandle(instance.pipe);
    }

    void DropQueue(Instance& instance)
    {
        instance.dropped += instance.queue.size() - (instance.writing ? 1 : 0);
        if (instance.writing)
            instance.queue.resize(1);
        else
            instance.queue.clear();
        LogDropped(instance);
    }

    void LogDropped(Instance& instance)
    {
        if (instance.dropped > 0)
            std::cerr << "bridge-sim-player: dropped " << instance.dropped << " input reports: " << INPUT_QUEUE_SIZE
                      << " were waiting for the host\n";
        instance.dropped = 0;
    }

    bool AnyConnected() const
    {
        for (const auto& instance : instances_)
            if (instance->connected)
                return true;
        return false;
    }

    const std::string name_;
    HANDLE port_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<std::unique_ptr<Instance>> instances_;
    // Output reports' hex lines, "" for a host gone, with the instance each came from.
    std::deque<std::pair<Instance*, std::string>> received_;
    unsigned accepted_ = 0;              // hosts connected that no `accept` has answered yet
    bool failed_ = false;                // no instance waits for a host
};

}  // namespace

int main()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    const std::string name = "\\\\.\\pipe\\hidsim-" + std::to_string(GetCurrentProcessId());
    Player player(name);
    if (!player.Start())
        return 1;
    Answer("ready " + name);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "accept")
            Answer(player.Accept());
        else if (line.rfind("send ", 0) == 0)
            Answer(player.Send(line.substr(5)));
        else if (line == "receive")
            Answer(player.Receive());
        else
            Answer("fail");
    }
    player.Unplug();
    return 0;
}
