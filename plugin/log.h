// The diagnostic log on standard error. Fixed texts go out in one write each,
// so a line stays whole whichever thread writes it; the stream log writes its
// pieces to std::cerr and ends them with a line end and a flush.
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

template <typename... Pieces>
void StreamLog(const Pieces&... pieces)
{
    (std::cerr << ... << pieces) << std::endl;
}

// Compact JSON text: members in key order, no whitespace, non-ASCII written
// as is. Strings that are not valid UTF-8 cannot come from the parser or the
// device list, but must not end the program if they ever do.
inline std::string Compact(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
