// The reader as a browser meets it: each input is the whole of the host's
// standard input, handed over in pieces of changing sizes, and the reader runs
// until it ends the process (which here throws back to this harness). Checks
// what the framing alone decides: the exit status, that no more messages are
// queued than whole frames arrived, that each queued message has its
// semaphore unit, and that the end of input queues the reader's own EXIT.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "fuzz_platform.h"

// The reader's own translation unit, with its entry point renamed so that it
// can run once per input, and its state within reach for the reset.
#define main ReaderMain
#include "browser_link.cpp"
#undef main

// The reader runs without a worker: the mailbox is looked at after it ends.
void Thread(void*) {}

namespace {

struct Expected {
    int status;
    size_t whole_frames;
};

// What the framing of the input alone says: a length above the limit ends the
// host with 1 once its prefix is whole; otherwise the input ends, with 0.
Expected ExpectedFromFraming(const uint8_t* data, size_t size)
{
    size_t at = 0, frames = 0;
    while (size - at >= LENGTH_PREFIX_SIZE) {
        uint32_t length;
        std::memcpy(&length, data + at, sizeof length);
        if (length > MAX_MESSAGE_SIZE)
            return {1, frames};
        at += LENGTH_PREFIX_SIZE;
        if (size - at < length)
            break;
        at += length;
        ++frames;
    }
    return {0, frames};
}

// The semaphore is a non-blocking eventfd in semaphore mode: each read takes one unit.
size_t TakeSemaphoreUnits()
{
    size_t units = 0;
    uint64_t unit;
    while (read(from_browser_notify, &unit, sizeof unit) == sizeof unit)
        ++units;
    return units;
}

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "reader_fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::no_worker = true;
    size_t at = 0, reads = 0;
    // Pieces of 1 to 13 bytes and whole requests by turns, the way a pipe
    // hands over what a writer put in at different times.
    fuzz::read_standard_input = [&](void* buffer, size_t count) -> ssize_t {
        size_t piece = ++reads % 2 ? count : 1 + reads * 7 % 13;
        piece = std::min({piece, count, size - at});
        std::memcpy(buffer, data + at, piece);
        at += piece;
        return static_cast<ssize_t>(piece);
    };
    failed_reads = 0;
    from_browser.clear();

    int status = -2;
    try {
        ReaderMain(0, nullptr);
    } catch (const fuzz::ProcessExit& exit) {
        status = exit.status;
    }

    const Expected expected = ExpectedFromFraming(data, size);
    Check(status == expected.status, "the exit status is not the one the framing gives");
    // At the end of input the reader queues an EXIT of its own after the
    // browser's messages; a browser's EXIT may come last as well.
    const bool own_exit = status == 0;
    if (own_exit)
        Check(!from_browser.empty() && from_browser.back() == json{{"call", "EXIT"}}, "the end of input queued no EXIT");
    Check(from_browser.size() - own_exit <= expected.whole_frames, "more messages than whole frames");
    Check(TakeSemaphoreUnits() == from_browser.size(), "the semaphore does not count the mailbox");
    return 0;
}
