// The few operating-system services the host needs, on Linux primitives:
// a counting semaphore that poll() can wait on together with a device,
// the worker thread with a timed wait for its end, whole writes and reads
// on descriptors, and the end of the process.
#pragma once

#include <cstddef>
#include <memory>
#include <sys/types.h>

// A counting semaphore: an eventfd in semaphore mode. Each release adds one,
// each reported wake takes exactly one. The count can grow to 2^64 - 2, so a
// release never fails for want of room. -1 means creation failed.
int CreateCountingSemaphore();
void ReleaseSemaphore(int semaphore);

// What ended a WaitForMultipleObjects.
constexpr unsigned long WAIT_OBJECT_0 = 0;   // the semaphore: one unit taken
constexpr unsigned long WAIT_OBJECT_1 = 1;   // the device is readable, hung up or failed
constexpr unsigned long WAIT_FAILED = 0xFFFFFFFF;
constexpr unsigned long WAIT_TIMEOUT = 258;

// Blocks without a time limit until the semaphore has a unit or, when
// device_fd is not -1, the device descriptor is ready. The semaphore wins when
// both are. Reporting the semaphore takes one unit; reporting the device takes
// nothing, so its readiness lasts until the device's data is read.
unsigned long WaitForMultipleObjects(int semaphore, int device_fd);

// The worker thread, and the wait for its end.
struct ThreadHandle;
// Null, with errno saying why, when the system refuses another thread.
std::shared_ptr<ThreadHandle> BeginThread(void (*entry)(void*));
// 0 when the thread has ended, WAIT_TIMEOUT when milliseconds passed first.
unsigned long WaitForSingleObject(const std::shared_ptr<ThreadHandle>& thread, unsigned milliseconds);

// read(2) on a descriptor, continued after an interrupting signal.
ssize_t ReadSome(int fd, void* buffer, size_t count);
// write(2) until every byte is out, continued after a short or interrupted
// write. Returns false when the descriptor refuses (the reader went away).
bool WriteAll(int fd, const void* data, size_t count);

// A host started without standard error gets /dev/null as descriptor 2, so
// that no descriptor opened later (a device's, say) can take its number and
// receive the log.
void OpenMissingStandardError();

// The log's own way to standard error, made once descriptors 0 to 2 are open:
// a write on it never waits. Before it is made, the log goes to descriptor 2.
void OpenLogOutput();
// Writes what standard error takes at once: the count written, which is the
// whole text or, for a text longer than the room left in a pipe, part of it;
// 0 or less when it took nothing.
long WriteLogNow(const char* data, size_t size);

// Ends the process at once with the given status. No exit handler or static
// destructor runs, as another thread may still be using those objects.
[[noreturn]] void ExitProcess(int status);
