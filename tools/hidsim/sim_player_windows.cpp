// bridge-sim-player: plays one virtual HID device on Windows for a host on
// the virtual HID library, steered by the program that started it over its
// standard input and output, one command a line and one answer a line:
//
//   accept     waits until a host has opened the device: "ok"
//   send HEX   sends an input report (hex bytes): "ok", or "fail"
//   receive    waits for the host's next output report: its hex bytes, or
//              an empty line when the host has closed the device
//
// It first says "ready PIPE", with the name of the named pipe that the
// device's record is to name. The end of its input unplugs the device: the
// pipe is closed and the player ends.
#include <cstdio>
#include <iostream>
#include <string>
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

class Player {
public:
    explicit Player(HANDLE pipe) : pipe_(pipe) {}

    std::string Accept()
    {
        // A new host replaces the one before.
        if (connected_)
            DisconnectNamedPipe(pipe_);
        // A host may have opened the pipe before this call.
        connected_ = ConnectNamedPipe(pipe_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        return connected_ ? "ok" : "fail";
    }

    std::string Send(const std::string& hex)
    {
        const auto report = hidsim::ParseHexLine(hex);
        DWORD written = 0;
        if (!connected_ || !report || report->empty() || report->size() > MAX_REPORT_SIZE ||
            !WriteFile(pipe_, report->data(), static_cast<DWORD>(report->size()), &written, nullptr) ||
            written != report->size())
            return "fail";
        return "ok";
    }

    std::string Receive()
    {
        std::vector<uint8_t> report(MAX_REPORT_SIZE);
        DWORD got = 0;
        if (connected_ && ReadFile(pipe_, report.data(), MAX_REPORT_SIZE, &got, nullptr) && got > 0) {
            report.resize(got);
            return hidsim::HexLine(report);
        }
        // The host closed its end.
        if (connected_)
            DisconnectNamedPipe(pipe_);
        connected_ = false;
        return "";
    }

private:
    HANDLE pipe_;
    bool connected_ = false;
};

}  // namespace

int main()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    const std::string name = "\\\\.\\pipe\\hidsim-" + std::to_string(GetCurrentProcessId());
    const HANDLE pipe =
        CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0,
                         nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::cerr << "bridge-sim-player: cannot create " << name << ": system error " << GetLastError() << "\n";
        return 1;
    }
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
    CloseHandle(pipe);
    return 0;
}
