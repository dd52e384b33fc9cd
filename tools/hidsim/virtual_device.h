// Playing a virtual HID device: what stands on the far side of the virtual
// HID library. A VirtualDevice lists itself in the directory's devices.json
// and listens on a SOCK_SEQPACKET socket there; a host that opens the device
// connects to it. Each packet the host sends is one output report, each
// packet sent to it one input report; closing the connection unplugs the
// device for the host.
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

    bool Accept();   // blocks until a host connects (closes any older connection)
    // Blocks for the next packet; empty when the host closed, and the
    // connection is then closed here too (connection() gives -1).
    std::vector<uint8_t> ReceiveOutputReport();
    // False when no host is connected, the report is empty, or the send failed.
    bool SendInputReport(const std::vector<uint8_t>& report);
    // The same without waiting (sockets only): FULL when the connection
    // cannot take the report now.
    enum class Sent { YES, FULL, FAILED };
    Sent TrySendInputReport(const std::vector<uint8_t>& report);
    void Unplug();   // closes connection and listener, removes record and socket
    int connection() const;   // -1 when none, and with a player; for poll()
    int listener() const;

   private:
    void CloseConnection();
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
    int connection_ = -1;
};

}  // namespace hidsim
