// Reads and writes of a whole count of bytes on a pipe, for the programs that
// stand where the browser does (the console and the tests).
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>

#include <unistd.h>

#include "frame.h"

// False when the other end closed or failed before all came.
inline bool ReadExactly(int fd, void* data, size_t count)
{
    auto* next = static_cast<char*>(data);
    while (count > 0) {
        const ssize_t got = read(fd, next, count);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        next += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

inline bool WriteExactly(int fd, const void* data, size_t count)
{
    auto* next = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t put = write(fd, next, count);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        next += put;
        count -= static_cast<size_t>(put);
    }
    return true;
}

// One frame's body; false when the input ended or failed before it was whole.
inline bool ReadFrame(int fd, std::string& body)
{
    char prefix[LENGTH_BYTES];
    if (!ReadExactly(fd, prefix, LENGTH_BYTES))
        return false;
    body.resize(BodyLength(prefix));
    return ReadExactly(fd, body.data(), body.size());
}

// One frame, in one write.
inline bool WriteFrame(int fd, std::string_view body)
{
    const std::string frame = Frame(body);
    return WriteExactly(fd, frame.data(), frame.size());
}
