// The diagnostic log on standard error. Both threads write it without a
// common lock. Each call below is one write, so a line written by one call
// stays whole; the serial-number line and the first line of a device's log
// block are ended by a newline written on its own, as their own call, and a
// line of the other thread can land between a line and that newline.
//
// Nobody has to read the log: a write that cannot be made at once is dropped,
// never waited for, so a full or unread standard error costs log lines and
// never a frame, a reply or the end of the process. The next write that gets
// out starts with a line that says how many were dropped.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

void LogBytes(const char* data, size_t size);
void Log(const char* text);
void LogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The pieces are put together first and go out as one write with their line
// end, so that the other thread's log lines cannot land inside the line.
template <typename... Pieces>
void StreamLog(const Pieces&... pieces)
{
    std::string line;
    (line.append(pieces), ...);
    line += '\n';
    LogBytes(line.data(), line.size());
}

// Compact JSON text: members in key order, no whitespace, non-ASCII written
// as is. Strings that are not valid UTF-8 cannot come from the parser or the
// device list, but must not end the program if they ever do.
inline std::string Compact(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
