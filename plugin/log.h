// The diagnostic log on standard error. Both threads write it without a
// common lock; every line goes out in one write, so lines stay whole.
#pragma once

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

inline void Log(const char* text)
{
    fwrite(text, 1, std::strlen(text), stderr);
}

// The pieces are put together first and go out as one write with their line
// end, so that the other thread's log lines cannot land inside the line.
template <typename... Pieces>
void StreamLog(const Pieces&... pieces)
{
    std::string line;
    (line.append(pieces), ...);
    line += '\n';
    std::cerr << line << std::flush;
}

// Compact JSON text: members in key order, no whitespace, non-ASCII written
// as is. Strings that are not valid UTF-8 cannot come from the parser or the
// device list, but must not end the program if they ever do.
inline std::string Compact(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
