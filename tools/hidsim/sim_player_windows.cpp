// bridge-sim-player: plays one virtual HID device on Windows for a host on
// the virtual HID library, steered by the program that started it over its
// standard input and output, one command a line and one answer a line:
//
//   accept     waits until a host has opened the device: "ok"
//   send HEX   queues an input report (hex bytes) for the host: "ok", or
//              "fail"; never waits for the host to take it
//   receive    waits for the host's next output report: its hex bytes, or
//              an empty line when the host has closed the device
//
// It first says "ready PIPE", with the name of the named pipe that the
// device's record is to name. The end of its input unplugs the device: the
// pipe is closed and the player ends.
//
// Like hidraw it holds at most 64 input reports that the host has not taken,
// and drops newer ones; its standard error says how many.
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "hex.h"
#include "sim_record_windows.h"

namespace {

constexpr DWORD PIPE_BUFFER_SIZE = 65536;
using hidsim::MAX_REPORT_SIZE;   // what the library reads in one go

void Answer(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

constexpr size_t INPUT_QUEUE_SIZE = 64;

// Waits for an overlapped operation on the pipe; false when it failed.
bool Finish(HANDLE pipe, OVERLAPPED& operation, BOOL started, DWORD* count)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    return GetOverlappedResult(pipe, &operation, count, TRUE);
}

// The pipe is overlapped so that a thread of its own sends the queued input
// reports while the commands read the host's output reports.
class Player {
public:
    explicit Player(HANDLE pipe) : pipe_(pipe), sender_(&Player::SendQueued, this) {}

    ~Player()
    {
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
        }
        changed_.notify_all();
        // A write the host does not take fails once it is disconnected.
        DisconnectNamedPipe(pipe_);
        CancelIoEx(pipe_, nullptr);
        sender_.join();
    }

    std::string Accept()
    {
        std::lock_guard lock(mutex_);
        // A new host replaces the one before.
        if (connected_) {
            DisconnectNamedPipe(pipe_);
            DropQueue();
        }
        OVERLAPPED operation{};
        operation.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        // A host may have opened the pipe before this call.
        const BOOL started = ConnectNamedPipe(pipe_, &operation);
        DWORD ignored;
        connected_ = GetLastError() == ERROR_PIPE_CONNECTED || Finish(pipe_, operation, started, &ignored);
        CloseHandle(operation.hEvent);
        return connected_ ? "ok" : "fail";
    }

    std::string Send(const std::string& hex)
    {
        const auto report = hidsim::ParseHexLine(hex);
        std::lock_guard lock(mutex_);
        if (!connected_ || !report || report->empty() || report->size() > MAX_REPORT_SIZE)
            return "fail";
        if (queue_.size() < INPUT_QUEUE_SIZE)
            queue_.push_back(*report);
        else
            ++dropped_;
        changed_.notify_all();
        return "ok";
    }

    std::string Receive()
    {
        std::vector<uint8_t> report(MAX_REPORT_SIZE);
        OVERLAPPED operation{};
        operation.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD got = 0;
        const bool received = connected_ && Finish(pipe_, operation, ReadFile(pipe_, report.data(), MAX_REPORT_SIZE,
                                                                             nullptr, &operation), &got) && got > 0;
        CloseHandle(operation.hEvent);
        if (received) {
            report.resize(got);
            return hidsim::HexLine(report);
        }
        // The host closed its end.
        std::lock_guard lock(mutex_);
        if (connected_) {
            DisconnectNamedPipe(pipe_);
            DropQueue();
        }
        connected_ = false;
        return "";
    }

private:
    // The sender: the queue's first report stays counted until the host has
    // taken it.
    void SendQueued()
    {
        OVERLAPPED operation{};
        operation.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return ending_ || !queue_.empty(); });
            if (ending_)
                break;
            const std::vector<uint8_t> report = queue_.front();
            lock.unlock();
            DWORD written = 0;
            const bool sent = Finish(pipe_, operation, WriteFile(pipe_, report.data(), static_cast<DWORD>(report.size()),
                                                                 nullptr, &operation), &written) &&
                              written == report.size();
            lock.lock();
            if (!sent) {
                DropQueue();
                continue;
            }
            if (!queue_.empty())
                queue_.pop_front();
            if (queue_.empty())
                LogDropped();
        }
        CloseHandle(operation.hEvent);
    }

    // With the lock held: the host is gone, and what waited for it is dropped.
    void DropQueue()
    {
        dropped_ += queue_.size();
        queue_.clear();
        LogDropped();
    }

    void LogDropped()
    {
        if (dropped_ > 0)
            std::cerr << "bridge-sim-player: dropped " << dropped_ << " input reports: " << INPUT_QUEUE_SIZE
                      << " were waiting for the host\n";
        dropped_ = 0;
    }

    HANDLE pipe_;
    bool connected_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<uint8_t>> queue_;
    unsigned long dropped_ = 0;
    bool ending_ = false;
    std::thread sender_;
};

}  // namespace

int main()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    const std::string name = "\\\\.\\pipe\\hidsim-" + std::to_string(GetCurrentProcessId());
    const HANDLE pipe =
        CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0,
                         nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::cerr << "bridge-sim-player: cannot create " << name << ": system error " << GetLastError() << "\n";
        return 1;
    }
    {
        Player player(pipe);
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
    }
    CloseHandle(pipe);
    return 0;
}
