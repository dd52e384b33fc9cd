#include "platform.h"

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

int CreateCountingSemaphore()
{
    // Non-blocking, so that taking a unit never blocks once poll() has said
    // one is there; this process has a single taker.
    const int semaphore = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
    if (semaphore < 0 || semaphore > STDERR_FILENO)
        return semaphore;
    // Started with a standard stream closed, the lowest free descriptor is
    // that stream's: move above them, so that the stream stays closed and the
    // check of the standard streams finds it missing.
    const int moved = fcntl(semaphore, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(semaphore);
    return moved;
}

void PostSemaphore(int semaphore)
{
    const uint64_t one = 1;
    while (write(semaphore, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// In semaphore mode a read takes one unit and yields 1; with no unit there it
// fails with EAGAIN.
static bool TakeSemaphoreUnit(int semaphore)
{
    uint64_t unit = 0;
    ssize_t got;
    do {
        got = read(semaphore, &unit, sizeof unit);
    } while (got < 0 && errno == EINTR);
    return got == sizeof unit;
}

Woken WaitForSemaphoreOr(int semaphore, int other)
{
    // Readiness is level-triggered: looking takes nothing away from the
    // other descriptor, which stays ready until it is read.
    pollfd fds[2] = {{semaphore, POLLIN, 0}, {other, POLLIN, 0}};
    const nfds_t count = other < 0 ? 1 : 2;
    for (;;) {
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            return Woken::FAILED;
        }
        if ((fds[0].revents & POLLIN) && TakeSemaphoreUnit(semaphore))
            return Woken::SEMAPHORE;
        if (count == 2 && fds[1].revents != 0)
            return Woken::OTHER;
        if (fds[0].revents & (POLLERR | POLLNVAL))
            return Woken::FAILED;
    }
}

struct ThreadHandle {
    std::mutex mutex;
    std::condition_variable ended_changed;
    bool ended = false;
};

std::shared_ptr<ThreadHandle> BeginThread(void (*entry)(void*))
{
    // Shared with the thread, which may outlive the one waiting for it.
    auto handle = std::make_shared<ThreadHandle>();
    try {
        std::thread([handle, entry] {
            entry(nullptr);
            std::lock_guard lock(handle->mutex);
            handle->ended = true;
            handle->ended_changed.notify_all();
        }).detach();
    } catch (const std::system_error& refused) {
        errno = refused.code().value();
        return nullptr;
    }
    return handle;
}

unsigned long WaitForThreadEnd(const std::shared_ptr<ThreadHandle>& thread, unsigned milliseconds)
{
    std::unique_lock lock(thread->mutex);
    const bool ended = thread->ended_changed.wait_for(
        lock, std::chrono::milliseconds(milliseconds), [thread] { return thread->ended; });
    return ended ? THREAD_ENDED : THREAD_RUNNING;
}

int SetStreamToBinary(FILE* stream)
{
    // Linux streams carry bytes unchanged, so there is no mode to switch; what
    // remains of the step is making sure the descriptor is there at all.
    return fcntl(fileno(stream), F_GETFL) == -1 ? -1 : 0;
}

void IgnoreStreamSignals()
{
    signal(SIGPIPE, SIG_IGN);
    // A write to the controlling terminal from a background process group
    // with tostop set raises SIGTTOU, which stops the process; ignored, the
    // write goes through.
    signal(SIGTTOU, SIG_IGN);
}

void DecodeDeviceStringsAsUtf8()
{
    // hidapi turns the kernel's UTF-8 device strings into wide strings with
    // the C library's locale, and the default "C" locale loses every
    // non-ASCII one. The worker, the only thread that calls hidapi, decodes
    // them as UTF-8 whatever the environment says.
    if (locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0)))
        uselocale(utf8);
}

// After a read or write failed with errno: true when it is worth trying
// again, after waiting for the descriptor to be ready where it was not.
static bool CanRetry(int fd, short ready_for)
{
    if (errno == EINTR)
        return true;
    if (errno != EAGAIN)
        return false;
    pollfd ready = {fd, ready_for, 0};
    return poll(&ready, 1, -1) >= 0 || errno == EINTR;
}

ssize_t ReadSome(int fd, void* buffer, size_t count)
{
    for (;;) {
        const ssize_t got = read(fd, buffer, count);
        if (got >= 0)
            return got;
        // Non-blocking input that has nothing yet has not ended: wait for it.
        if (!CanRetry(fd, POLLIN))
            return got;
    }
}

bool WriteAll(int fd, const void* data, size_t count)
{
    auto* next = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t put = write(fd, next, count);
        if (put < 0) {
            // A descriptor in non-blocking mode (its mode is shared with
            // whoever gave it to us) refuses when the pipe is full; wait for
            // room rather than cut the frame.
            if (!CanRetry(fd, POLLOUT))
                return false;
            continue;
        }
        next += put;
        count -= static_cast<size_t>(put);
    }
    return true;
}

void OpenMissingStandardError()
{
    if (fcntl(STDERR_FILENO, F_GETFD) != -1 || errno != EBADF)
        return;
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0 && null != STDERR_FILENO) {
        // A lower number was free too: a missing standard input or output,
        // which must stay missing for the stream check to find.
        dup2(null, STDERR_FILENO);
        close(null);
    }
}

bool StandardErrorNeverWaits()
{
    struct stat status, null;
    if (fstat(STDERR_FILENO, &status) != 0)
        return false;
    return S_ISREG(status.st_mode) ||
           (S_ISCHR(status.st_mode) && stat("/dev/null", &null) == 0 && status.st_rdev == null.st_rdev);
}

long WriteLog(const char* data, size_t size)
{
    // Whatever standard error is (pipe, socket, terminal, file), the log's
    // own thread may wait on it. Its file description, shared with whoever
    // gave it to us, may be non-blocking: then wait for room.
    for (;;) {
        const ssize_t put = write(STDERR_FILENO, data, size);
        if (put >= 0 || !CanRetry(STDERR_FILENO, POLLOUT))
            return put;
    }
}

long StandardErrorUnread()
{
    // A pipe tells what waits in it; a socket or a terminal what was written
    // to it and has not yet been taken.
    static const unsigned long request = [] {
        struct stat status;
        return fstat(STDERR_FILENO, &status) == 0 && S_ISFIFO(status.st_mode) ? FIONREAD : TIOCOUTQ;
    }();
    int unread = 0;
    return ioctl(STDERR_FILENO, request, &unread) == 0 ? unread : -1;
}

void EndProcess(int status)
{
    _exit(status);
}
