#include "log.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long standard error may take no byte while lines wait before it counts
// as stopped: lines are then dropped rather than stored, and the end of the
// process no longer waits for it.
constexpr Clock::duration STALL_BOUND = std::chrono::seconds(1);
// The most that waits in memory for standard error. A reader that takes
// 4 KiB a millisecond reads it in a second.
constexpr size_t STORE_LIMIT = 4 << 20;
// A pipe takes a write of up to this many bytes whole, never mixed with the
// writes of others who share it (a browser passes its own standard error on
// to the hosts it starts), so the writer cuts its writes at line ends below
// it where it can.
constexpr size_t WHOLE_WRITE = 4096;

// Never destroyed: the writer may still be waiting on it when the process
// ends, and it must outlive every static destructor that logs.
struct Store {
    std::mutex mutex;
    std::condition_variable lines_stored;
    std::condition_variable writer_progressed;
    // What the writer has yet to take, and what it took and has not yet got out.
    std::string lines;
    size_t taken_left = 0;
    bool writer_started = false;
    bool writer_idle = false;      // waiting for lines_stored
    bool writing = false;          // inside its writes of what it took
    // When standard error last took a byte, and what it then held unread
    // (StandardErrorUnread).
    Clock::time_point last_progress;
    long unread_then = -1;
    bool draining = false;
    unsigned long dropped_writes = 0;
    // Bytes ever stored, and ever written out or lost to a refusal.
    unsigned long long stored_bytes = 0;
    unsigned long long settled_bytes = 0;
};
Store& store = *new Store;

// Under the lock: the clock of standard error's progress starts anew.
void NoteProgress()
{
    store.last_progress = Clock::now();
    store.unread_then = StandardErrorUnread();
}

// Under the lock: whether standard error has taken nothing for a second while
// the writer waits on it. A write that has not returned may still be taking
// lines: a full pipe takes a waiting write only once a whole page of it is
// free, which a reader taking a little at a time frees seldom (200 bytes
// every 0.1 s free a page every 2 s). So a change in what waits unread
// counts as progress too, where the system tells it.
bool StandardErrorStalled()
{
    if (!store.writing || Clock::now() - store.last_progress < STALL_BOUND)
        return false;
    const long unread = StandardErrorUnread();
    if (unread < 0 || unread == store.unread_then)
        return true;
    store.last_progress = Clock::now();
    store.unread_then = unread;
    return false;
}

// Under the lock.
void WakeWriter()
{
    if (store.writer_idle) {
        store.writer_idle = false;
        // The writer has a second from now to take the lines, as far as the
        // end of the process is concerned.
        store.last_progress = Clock::now();
        store.lines_stored.notify_one();
    }
}

// Under the lock: stores lines for the writer, after the count of those
// dropped since lines were last stored.
void StoreLines(const char* data, size_t size)
{
    if (store.dropped_writes > 0) {
        const std::string notice =
            "Dropped " + std::to_string(store.dropped_writes) + " log writes: standard error was full\n";
        store.lines += notice;
        store.stored_bytes += notice.size();
        store.dropped_writes = 0;
    }
    store.lines.append(data, size);
    store.stored_bytes += size;
    // Woken for every line, the writer would take them one or two at a time
    // and take turns for a processor with the threads that log a dozen lines
    // for each request while the browser waits for its reply: it is woken
    // once a whole write waits, and otherwise when a thread that logs is
    // about to wait (LetLogOut).
    if (store.lines.size() >= WHOLE_WRITE)
        WakeWriter();
}

void WriteStraight(const char* data, size_t size)
{
    for (long put = 0; size > 0; data += put, size -= static_cast<size_t>(put))
        if ((put = WriteLog(data, size)) <= 0)
            return;
}

// Where the next write of text, from `from` on, ends: after the last line end
// that keeps it whole, or after the first line end at all when a single line
// is longer.
size_t EndOfWrite(const std::string& text, size_t from)
{
    if (text.size() - from <= WHOLE_WRITE)
        return text.size();
    const size_t last = text.rfind('\n', from + WHOLE_WRITE - 1);
    if (last != std::string::npos && last >= from)
        return last + 1;
    const size_t next = text.find('\n', from + WHOLE_WRITE);
    return next == std::string::npos ? text.size() : next + 1;
}

// Writes what it took, piece by piece; false when standard error refused it.
bool WriteTaken(const std::string& taken)
{
    size_t done = 0;
    while (done < taken.size()) {
        const size_t end = EndOfWrite(taken, done);
        while (done < end) {
            const long put = WriteLog(taken.data() + done, end - done);
            if (put <= 0)
                return false;
            done += static_cast<size_t>(put);
            std::lock_guard lock(store.mutex);
            NoteProgress();
            store.settled_bytes += static_cast<size_t>(put);
            store.taken_left = taken.size() - done;
            if (store.draining)
                store.writer_progressed.notify_all();
        }
    }
    return true;
}

void WriteStoredLines()
{
    std::string taken;
    std::unique_lock lock(store.mutex);
    for (;;) {
        while (store.lines.empty()) {
            store.writer_idle = true;
            store.lines_stored.wait(lock);
        }
        store.writer_idle = false;
        taken.swap(store.lines);
        store.taken_left = taken.size();
        store.writing = true;
        NoteProgress();
        lock.unlock();
        const bool written = WriteTaken(taken);
        lock.lock();
        if (!written) {
            // Standard error refused (its reader has gone, say): what was
            // left of this is lost, and counted should it ever take lines again.
            store.dropped_writes += std::max<size_t>(1, std::count(taken.end() - store.taken_left, taken.end(), '\n'));
            store.settled_bytes += store.taken_left;
        }
        taken.clear();
        store.taken_left = 0;
        store.writing = false;
        if (store.draining)
            store.writer_progressed.notify_all();
    }
}

}  // namespace

void StartLogWriter()
{
    std::lock_guard lock(store.mutex);
    // A file or the null device never keeps a write waiting: there each
    // write goes straight out, which costs less than handing it over.
    if (store.writer_started || StandardErrorNeverWaits())
        return;
    try {
        std::thread(WriteStoredLines).detach();
        store.writer_started = true;
    } catch (const std::system_error&) {
        // Without a thread to spare the log is written as it comes.
    }
}

void LogBytes(const char* data, size_t size)
{
    std::unique_lock lock(store.mutex);
    if (!store.writer_started) {
        lock.unlock();
        WriteStraight(data, size);
        return;
    }
    const bool full = !store.lines.empty() && store.lines.size() + store.taken_left + size > STORE_LIMIT;
    if (full || StandardErrorStalled()) {
        ++store.dropped_writes;
        return;
    }
    StoreLines(data, size);
}

void LetLogOut()
{
    std::lock_guard lock(store.mutex);
    if (!store.lines.empty())
        WakeWriter();
}

void DrainLog()
{
    std::unique_lock lock(store.mutex);
    if (!store.writer_started)
        return;
    store.draining = true;
    // Standard error has a second from now, whenever it last took a line: a
    // reader may just have come back to a writer that has not yet seen it.
    store.last_progress = Clock::now();
    // Drops that no stored line has told of yet are told now.
    if (store.dropped_writes > 0)
        StoreLines("", 0);
    if (!store.lines.empty())
        WakeWriter();
    // What other threads log from now on is not waited for: only what is
    // stored, however long a reader that keeps taking it takes.
    const unsigned long long stored = store.stored_bytes;
    while (store.settled_bytes < stored) {
        // Between its writes the writer has a second to take what waits.
        if (store.writing ? StandardErrorStalled() : Clock::now() - store.last_progress >= STALL_BOUND)
            break;
        store.writer_progressed.wait_until(lock, store.last_progress + STALL_BOUND);
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
