// The few operating-system services the host needs, each system's own
// (platform_linux.cpp, platform_windows.cpp): a counting semaphore that can
// be waited on together with the device's read-completion signal, the lock of
// the inbound mailbox, the worker thread with a timed wait for its end, the
// standard streams in binary mode, whole reads and writes on descriptors, and
// the end of the process.
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

// A counting semaphore. Each release adds one, each reported wake takes
// exactly one; its count can grow further than any backlog of messages, so
// a release never fails for want of room. NO_HANDLE when creation failed.
WaitHandle CreateCountingSemaphore();
void ReleaseSemaphore(WaitHandle semaphore);

// What ended a WaitForMultipleObjects.
constexpr unsigned long WAIT_OBJECT_0 = 0;   // the semaphore: one unit taken
constexpr unsigned long WAIT_OBJECT_1 = 1;   // the device's read completed, or the device is gone
constexpr unsigned long WAIT_FAILED = 0xFFFFFFFF;
constexpr unsigned long WAIT_TIMEOUT = 258;

// Blocks without a time limit until the semaphore has a unit or, when
// device_signal is not NO_HANDLE, the device's read-completion signal is set.
// The semaphore wins when both are, and the device's signal then stays set
// for the next wait. Reporting the semaphore takes one unit.
unsigned long WaitForMultipleObjects(WaitHandle semaphore, WaitHandle device_signal);

// After a wait reported the device: whether its completed read holds a
// result to collect, the device is gone, or there is nothing after all.
enum class DeviceSignal { SET, BROKEN, CLEAR };
DeviceSignal SignalAfterWake(WaitHandle device_signal);

// The worker thread, and the wait for its end.
struct ThreadHandle;
// Null, with errno saying why, when the system refuses another thread.
std::shared_ptr<ThreadHandle> BeginThread(void (*entry)(void*));
// 0 when the thread has ended, WAIT_TIMEOUT when milliseconds passed first.
unsigned long WaitForSingleObject(const std::shared_ptr<ThreadHandle>& thread, unsigned milliseconds);

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

// Ends the process with the given status once the log has had its chance to
// get out (DrainLog). No exit handler or static destructor runs, as another
// thread may still be using those objects.
[[noreturn]] void ExitProcess(int status);
