// What the soak and the benchmark share: numbered "write" requests for a
// bridge-host-sim on an echoing bridge-sim-device, the replies and echoes
// they must bring, and the host's resident memory.
#pragma once

#include <cstdint>
#include <string>

#include "host_process.h"

namespace load {

constexpr size_t DATA_LENGTH = 64;   // the most a "write" takes
const std::string SENT = R"({"call":"write","response":{"success":"Sent"}})";
const std::string OPEN_SUCCESS =
    R"({"call":"open","response":{"productId":"14368","success":"Device Open","vendorId":"2765"}})";

// Request n's data: n's four bytes, least significant first, then bytes
// counting on from n.
inline std::string DataOf(uint32_t n)
{
    std::string list;
    for (size_t i = 0; i < DATA_LENGTH; ++i) {
        const uint32_t byte = i < 4 ? (n >> (8 * i)) & 0xFF : (n + i) & 0xFF;
        if (i > 0)
            list += ',';
        list += std::to_string(byte);
    }
    return list;
}

inline std::string WriteRequest(uint32_t n)
{
    return R"({"call":"write","data":[)" + DataOf(n) + "]}";
}

// The device echoes the 65-byte report: report id 1, then the data.
inline std::string EchoOf(uint32_t n)
{
    return R"({"call":"receive","response":[1,)" + DataOf(n) + "]}";
}

// An echoing bridge-sim-device in `dir`, its output reports' lines thrown away.
inline HostOptions EchoingDevice(const std::string& dir)
{
    return {.path = HostExecutable(SIM_DEVICE, ""), .arguments = {"--dir", dir}, .output_to_null = true};
}

inline HostOptions HostOn(const std::string& dir, HostOptions options = {})
{
    options.path = BRIDGE_HOST_SIM;
    options.environment.push_back("HIDSIM_DIR=" + dir);
    return options;
}

}  // namespace load
