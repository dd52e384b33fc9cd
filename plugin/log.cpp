#include "log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

// Writes dropped since the last one that got out, and whether the last write
// that got out was cut short, so that the notice must first end that line.
std::atomic<unsigned long> dropped_writes{0};
std::atomic<bool> line_cut{false};

std::string DropNotice(unsigned long dropped, bool after_cut)
{
    std::string notice = after_cut ? "\n" : "";
    notice += "Dropped " + std::to_string(dropped) + " log writes: standard error was full\n";
    return notice;
}

}  // namespace

void LogBytes(const char* data, size_t size)
{
    const unsigned long dropped = dropped_writes.exchange(0);
    const bool after_cut = dropped > 0 && line_cut.exchange(false);
    std::string with_notice;
    if (dropped > 0) {
        with_notice = DropNotice(dropped, after_cut);
        with_notice.append(data, size);
        data = with_notice.data();
        size = with_notice.size();
    }
    const long put = WriteLogNow(data, size);
    if (put <= 0) {
        dropped_writes += dropped + 1;
        if (after_cut)
            line_cut = true;
        return;
    }
    if (static_cast<size_t>(put) < size) {
        // Only a line longer than what the pipe still held gets here.
        ++dropped_writes;
        line_cut = true;
    }
}

void Log(const char* text)
{
    LogBytes(text, std::strlen(text));
}

void LogFormat(const char* format, ...)
{
    char small[512];
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        LogBytes(small, static_cast<size_t>(length));
    } else {
        std::string large(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(large.data(), large.size(), format, again);
        LogBytes(large.data(), static_cast<size_t>(length));
    }
    va_end(again);
}
