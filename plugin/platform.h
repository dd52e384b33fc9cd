// The few operating-system services the host needs, each system's own
// (platform_linux.cpp, platform_windows.cpp): a counting semaphore that can
// be waited on together with one other signal, the lock of the inbound
// mailbox, the worker thread with a timed wait for its end, the standard
// streams in binary mode, whole reads and writes on descriptors, and the end
// of the process.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sys/types.h>

#if defined(_WIN32)
// A kernel object's HANDLE: the semaphore, or the device's read-completion
// event. Null is none.
using WaitHandle = void*;
constexpr WaitHandle NO_HANDLE = nullptr;

struct _RTL_CRITICAL_SECTION;
// The mailbox's lock: a critical section.
class QueueLock {
public:
    QueueLock();
    void lock();
    void unlock();

private:
    _RTL_CRITICAL_SECTION* section_;   // never deleted: the mailbox lives as long as the process
};
#else
// A descriptor: the semaphore's eventfd, or the device's descriptor, which is
// readable while a report waits. -1 is none.
using WaitHandle = int;
constexpr WaitHandle NO_HANDLE = -1;

using QueueLock = std::mutex;
#endif

// A counting semaphore. Each post adds one, each wake it reports takes
// exactly one; its count can grow further than any backlog of messages, so
// a post never fails for want of room. NO_HANDLE when creation failed.
WaitHandle CreateCountingSemaphore();
void PostSemaphore(WaitHandle semaphore);

// Which of the two ended a wait.
enum class Woken {
    SEMAPHORE,   // one unit taken
    OTHER,       // the other signal is set (for a device: its read completed, or it is gone)
    FAILED,
};
// Blocks without a time limit until the semaphore has a unit or, when other
// is not NO_HANDLE, the other signal is set. The semaphore wins when both
// are. Only what is reported is taken: a unit of the semaphore, or whatever
// the system takes of a signal it reports (on Windows an auto-reset event's
// signal); a signal not reported stays set for the next wait.
Woken WaitForSemaphoreOr(WaitHandle semaphore, WaitHandle other);

// The worker thread, and the wait for its end.
struct ThreadHandle;
// Null, with errno saying why, when the system refuses another thread.
std::shared_ptr<ThreadHandle> BeginThread(void (*entry)(void*));
// What the wait for a thread's end gives (the numbers of the Windows wait,
// which the log prints): it ended, or the milliseconds passed first.
constexpr unsigned long THREAD_ENDED = 0;
constexpr unsigned long THREAD_RUNNING = 258;
unsigned long WaitForThreadEnd(const std::shared_ptr<ThreadHandle>& thread, unsigned milliseconds);

// Puts a standard stream's descriptor into binary mode, where the system has
// modes: 0, or -1 with errno set when the descriptor is not open.
int SetStreamToBinary(FILE* stream);
// Writing to a standard stream must neither end nor stop us: a browser that
// closes our standard output makes the write fail instead, and a terminal
// that stops background writers (stty tostop) lets the log through.
void IgnoreStreamSignals();
// Device strings reach the worker as wide strings decoded from UTF-8,
// whatever the environment's locale. Called on the worker thread.
void DecodeDeviceStringsAsUtf8();

// A read of what is there on a descriptor, at most count bytes, blocking
// until there is something or the input has ended: the bytes read, 0 at the
// end, -1 on failure.
ssize_t ReadSome(int fd, void* buffer, size_t count);
// Writes until every byte is out. Returns false when the descriptor refuses
// (the reader went away).
bool WriteAll(int fd, const void* data, size_t count);

// A host started without standard error gets /dev/null as descriptor 2, so
// that no descriptor opened later (a device's, say) can take its number and
// receive the log.
void OpenMissingStandardError();

// Whether standard error takes every write at once, whoever reads it (or
// nobody): a file, or the null device.
bool StandardErrorNeverWaits();
// One write to standard error, waiting as long as it takes: the count
// written, which may be less than size; 0 or less when it failed.
long WriteLog(const char* data, size_t size);
// How many bytes written to standard error its reader has yet to take, or -1
// where the system does not tell. It changes as the reader reads, while a
// write that waits for room has not yet returned.
long StandardErrorUnread();

// Ends the process with the given status at once. No exit handler or static
// destructor runs, as another thread may still be using those objects.
[[noreturn]] void EndProcess(int status);
