// The browser link: standard input and output framed as the browser's native
// messaging wants them. The reader (main thread) puts each parsed message in
// the mailbox (mailbox.h) for the worker thread.
#pragma once

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

// Compact JSON text, as the wire carries it and the log shows it: members in
// key order, no whitespace, non-ASCII written as is. Strings that are not
// valid UTF-8 cannot come from the parser or the device list, but must not
// end the program if they ever do.
inline std::string Compact(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Writes one value to standard output as a frame: 4-byte native-order length,
// then the compact JSON text. Called by the worker thread only.
void SendMessageA(nlohmann::json message);

// Makes a standard stream unbuffered. 0 on success.
int SetBinaryMode(FILE* stream);
