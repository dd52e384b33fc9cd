// The platform layer on Windows: the calls the host was written for.
#include "platform.h"

#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

WaitHandle CreateCountingSemaphore()
{
    // The largest count Windows allows. Reaching it would take 2^31 - 1
    // messages waiting in the queue, each a JSON value of 16 bytes and more
    // there: 32 GiB and more of backlog. Null when creation failed.
    return CreateSemaphoreA(nullptr, 0, LONG_MAX, nullptr);
}

void PostSemaphore(WaitHandle semaphore)
{
    ReleaseSemaphore(semaphore, 1, nullptr);
}

Woken WaitForSemaphoreOr(WaitHandle semaphore, WaitHandle other)
{
    // Reports the lowest-numbered signalled object and takes only its
    // signal: a unit of the semaphore, or an auto-reset event's.
    const HANDLE objects[2] = {semaphore, other};
    switch (WaitForMultipleObjects(other ? 2 : 1, objects, FALSE, INFINITE)) {
    case WAIT_OBJECT_0:
        return Woken::SEMAPHORE;
    case WAIT_OBJECT_0 + 1:
        return Woken::OTHER;
    default:
        return Woken::FAILED;
    }
}

QueueLock::QueueLock() : section_(new CRITICAL_SECTION)
{
    InitializeCriticalSection(section_);
}

void QueueLock::lock()
{
    EnterCriticalSection(section_);
}

void QueueLock::unlock()
{
    LeaveCriticalSection(section_);
}

struct ThreadHandle {
    HANDLE thread;
};

namespace {

// What a new thread needs: its entry, and the event that tells it that the
// starting thread has its own handle of it.
struct ThreadStart {
    void (*entry)(void*);
    HANDLE handle_copied;
};

void __cdecl RunThread(void* argument)
{
    auto* start = static_cast<ThreadStart*>(argument);
    WaitForSingleObject(start->handle_copied, INFINITE);
    CloseHandle(start->handle_copied);
    void (*entry)(void*) = start->entry;
    delete start;
    entry(nullptr);
}

}  // namespace

std::shared_ptr<ThreadHandle> BeginThread(void (*entry)(void*))
{
    // The runtime closes the handle that _beginthread returns when the
    // thread ends, which may be long before the wait at shutdown: the thread
    // waits until a handle of our own has been made.
    auto* start = new ThreadStart{entry, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    if (!start->handle_copied) {
        delete start;
        errno = EAGAIN;
        return nullptr;
    }
    // It sets errno when it fails.
    const uintptr_t started = _beginthread(RunThread, 0, start);
    if (started == static_cast<uintptr_t>(-1)) {
        CloseHandle(start->handle_copied);
        delete start;
        return nullptr;
    }
    HANDLE own = nullptr;
    const BOOL copied = DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(started), GetCurrentProcess(),
                                        &own, SYNCHRONIZE, FALSE, 0);
    SetEvent(start->handle_copied);
    if (!copied) {
        errno = EAGAIN;
        return nullptr;
    }
    return std::make_shared<ThreadHandle>(ThreadHandle{own});
}

unsigned long WaitForThreadEnd(const std::shared_ptr<ThreadHandle>& thread, unsigned milliseconds)
{
    static_assert(THREAD_ENDED == WAIT_OBJECT_0 && THREAD_RUNNING == WAIT_TIMEOUT);
    return WaitForSingleObject(thread->thread, milliseconds);
}

int SetStreamToBinary(FILE* stream)
{
    // No translation of line ends and no end-of-file character: frames are
    // bytes.
    return _setmode(_fileno(stream), _O_BINARY) == -1 ? -1 : 0;
}

void IgnoreStreamSignals()
{
    // A write to a pipe whose reader has gone fails with an error on
    // Windows, and no console stops a writer: there is no signal to ignore.
}

void DecodeDeviceStringsAsUtf8()
{
    // hidapi's Windows backend hands over the system's own UTF-16 strings:
    // no locale comes into it.
}

ssize_t ReadSome(int fd, void* buffer, size_t count)
{
    return _read(fd, buffer, static_cast<unsigned>(count));
}

bool WriteAll(int fd, const void* data, size_t count)
{
    auto* next = static_cast<const char*>(data);
    while (count > 0) {
        const int put = _write(fd, next, static_cast<unsigned>(count));
        if (put < 0)
            return false;
        next += put;
        count -= static_cast<size_t>(put);
    }
    return true;
}

void OpenMissingStandardError()
{
    if (_get_osfhandle(2) != -1)
        return;
    const int null = _open("NUL", _O_WRONLY);
    if (null >= 0 && null != 2) {
        _dup2(null, 2);
        _close(null);
    }
}

bool StandardErrorNeverWaits()
{
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(2))) == FILE_TYPE_DISK;
}

long WriteLog(const char* data, size_t size)
{
    // The system's handle, not the C runtime's descriptor, which would turn
    // each line end into CR LF.
    const HANDLE log = reinterpret_cast<HANDLE>(_get_osfhandle(2));
    DWORD put = 0;
    if (log == INVALID_HANDLE_VALUE || !WriteFile(log, data, static_cast<DWORD>(size), &put, nullptr))
        return -1;
    return static_cast<long>(put);
}

long StandardErrorUnread()
{
    // The writing end of a pipe is told nothing of what its reader took
    // (PeekNamedPipe wants read access, which the end the host is given
    // lacks): there only a write that returns shows progress.
    return -1;
}

void EndProcess(int status)
{
    ExitProcess(static_cast<UINT>(status));
}
