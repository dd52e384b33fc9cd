// The Linux platform layer with five services replaced (see fuzz_platform.h).
// The system's versions are compiled in under other names, and the
// replacements fall back on them where a target sets no hook.
#define ReadSome LinuxReadSome
#define WaitForSemaphoreOr LinuxWaitForSemaphoreOr
#define BeginThread LinuxBeginThread
#define WaitForThreadEnd LinuxWaitForThreadEnd
#define WriteLog LinuxWriteLog
#define EndProcess LinuxEndProcess
#define DecodeDeviceStringsAsUtf8 LinuxDecodeDeviceStringsAsUtf8
#include "platform_linux.cpp"
#undef ReadSome
#undef WaitForSemaphoreOr
#undef BeginThread
#undef WaitForThreadEnd
#undef WriteLog
#undef EndProcess
#undef DecodeDeviceStringsAsUtf8

#include "fuzz_platform.h"

namespace fuzz {
std::function<ssize_t(void*, size_t)> read_standard_input;
std::function<void(WaitHandle)> before_wait;
bool no_worker = false;
}  // namespace fuzz

ssize_t ReadSome(int fd, void* buffer, size_t count)
{
    if (fd == STDIN_FILENO && fuzz::read_standard_input)
        return fuzz::read_standard_input(buffer, count);
    return LinuxReadSome(fd, buffer, count);
}

Woken WaitForSemaphoreOr(WaitHandle semaphore, WaitHandle device_signal)
{
    if (fuzz::before_wait)
        fuzz::before_wait(device_signal);
    return LinuxWaitForSemaphoreOr(semaphore, device_signal);
}

std::shared_ptr<ThreadHandle> BeginThread(void (*entry)(void*))
{
    if (fuzz::no_worker)
        return std::make_shared<ThreadHandle>();
    return LinuxBeginThread(entry);
}

unsigned long WaitForThreadEnd(const std::shared_ptr<ThreadHandle>& thread, unsigned milliseconds)
{
    if (fuzz::no_worker)
        return THREAD_ENDED;
    return LinuxWaitForThreadEnd(thread, milliseconds);
}

// The log is formatted as always and then dropped: millions of runs would
// otherwise spend their time writing it.
long WriteLog(const char*, size_t size)
{
    return static_cast<long>(size);
}

[[noreturn]] void EndProcess(int status)
{
    throw fuzz::ProcessExit{status};
}

// Once per process: each call makes a locale that the thread keeps.
void DecodeDeviceStringsAsUtf8()
{
    static const bool decoding = (LinuxDecodeDeviceStringsAsUtf8(), true);
    (void)decoding;
}
