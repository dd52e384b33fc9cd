// The framing of native messaging, for the programs that stand where the
// browser does (the console, the echo host, the setup command's run of the
// host): a frame is its body's length in 4 bytes of the machine's byte
// order, then the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

inline constexpr size_t LENGTH_BYTES = 4;

inline std::string Frame(std::string_view body)
{
    const auto length = static_cast<uint32_t>(body.size());
    std::string frame(reinterpret_cast<const char*>(&length), LENGTH_BYTES);
    frame.append(body);
    return frame;
}

// The body's length that a frame's first LENGTH_BYTES give.
inline uint32_t BodyLength(const char* prefix)
{
    uint32_t length;
    std::memcpy(&length, prefix, LENGTH_BYTES);
    return length;
}

// Whether `text` starts with a whole frame; its body if so.
inline bool FirstFrame(const std::string& text, std::string* body = nullptr)
{
    if (text.size() < LENGTH_BYTES)
        return false;
    const uint32_t length = BodyLength(text.data());
    if (text.size() - LENGTH_BYTES < length)
        return false;
    if (body)
        *body = text.substr(LENGTH_BYTES, length);
    return true;
}
