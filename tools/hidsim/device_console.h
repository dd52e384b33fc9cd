// The standard streams of bridge-sim-device, whichever device it plays: its
// log on standard error, the output reports a host writes as lines of hex on
// standard output, and the lines typed on standard input as input reports.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hidsim {

// One write a line. A line that standard error cannot take at once is
// dropped, and the next line that gets out says how many were.
void LogLine(const std::string& line);
void LogErrno(const std::string& what);   // "bridge-sim-device: WHAT: the error"

// Standard output, the data: nothing is dropped, but waiting for room ends
// when a stop signal comes. False then, or when standard output failed.
bool WriteOutput(const std::string& text, int stop_signals);

// Hands an input report to the device's hosts.
using SendReport = std::function<void(const std::vector<uint8_t>& report)>;

// Prints an output report a host wrote and, with echo, sends it back. False
// when standard output could not take its line before a stop signal.
bool PlayOutputReport(const std::vector<uint8_t>& report, bool echo, int stop_signals, const SendReport& send);

// Standard input as lines of hex bytes, read only when poll() says there is
// something; each line that is not empty is an input report.
class TypedLines {
   public:
    // Reads what is there and sends each whole line; false at end of input.
    bool Forward(const SendReport& send);

   private:
    std::string pending_;
};

}  // namespace hidsim
