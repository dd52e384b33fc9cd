// Playing a virtual HID device: what stands on the far side of the virtual
// HID library. A VirtualDevice lists itself in the directory's devices.json
// and listens on a SOCK_SEQPACKET socket there; each host that opens the
// device connects to it, and several may have it open at once, as hidraw lets
// every process open the node. Each packet a host sends is one output report,
// each packet sent to it one input report; closing its connection unplugs the
// device for that host.
//
// For a host on another system (Windows, under Wine) a player process of that
// system plays the device instead (bridge-sim-player.exe, over a named pipe),
// and the VirtualDevice steers it over its standard input and output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace hidsim {

std::string DefaultDir();   // $HIDSIM_DIR, or /tmp/hidsim

// Replaces devices.json with these records as they are (no socket needed): for enumeration-only tests.
void WriteDevices(const std::string& dir, const nlohmann::json& records);

// From now on devices are played by a player started with this command (the
// program and its arguments) rather than by sockets of this process; an
// empty command goes back to sockets.
void PlayDevicesThrough(std::vector<std::string> command);

// Failures to set up or to update the device list throw std::system_error.
class VirtualDevice {
   public:
    // Creates dir if needed, listens on a fresh SOCK_SEQPACKET socket in dir, and appends `record` (any members
    // given; "socket" is filled in; the rest defaulted: vendor 0x0ACD, product 0x3820, release 0x0100,
    // interface 0, path "/dev/hidsim<N>", strings absent, fail_write false) to devices.json.
    VirtualDevice(const std::string& dir, nlohmann::json record = nlohmann::json::object());
    ~VirtualDevice();   // Unplug()
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    bool Accept();   // blocks until one more host connects; those before stay connected
    // Blocks for the next report of any host, the earliest sent first, and
    // sets `from` (when given) to the connection it came on; empty when that
    // host closed, and its connection is then closed here too.
    std::vector<uint8_t> ReceiveOutputReport(int* from = nullptr);
    // To every connected host, as each open of a hidraw node gets every
    // report. False when the report is empty or no host took it.
    bool SendInputReport(const std::vector<uint8_t>& report);
    // To one host's connection without waiting (sockets only): FULL when it
    // cannot take the report now.
    enum class Sent { YES, FULL, FAILED };
    Sent TrySendInputReport(int connection, const std::vector<uint8_t>& report);
    void Unplug();   // closes connections and listener, removes record and socket
    const std::vector<int>& connections() const;   // empty with a player; for poll()
    int listener() const;

   private:
    void CloseConnections();
    void StartPlayer();
    std::string AskPlayer(const std::string& command);   // its answer; throws when it is gone
    void StopPlayer();

    std::string dir_;
    int player_ = -1;   // the player's process id, or -1
    FILE* to_player_ = nullptr;
    FILE* from_player_ = nullptr;
    std::string pipe_;   // the named pipe the player serves
    std::string socket_name_;   // empty once unplugged
    int listener_ = -1;
    std::vector<int> connections_;
};

}  // namespace hidsim
