#include "browser_link.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "log.h"
#include "mailbox.h"
#include "platform.h"
#include "worker.h"

using nlohmann::json;

namespace {

constexpr int STDIN_FD = 0;
constexpr int STDOUT_FD = 1;
constexpr size_t LENGTH_PREFIX_SIZE = 4;
// Browsers send small requests; the limit bounds the reader's one buffer.
constexpr uint32_t MAX_MESSAGE_SIZE = 16384;
// A closed input reads as 0 bytes for ever; this many in a row mean the
// browser has gone, whether we were between frames or inside one.
constexpr int MAX_EMPTY_READS = 10;
constexpr unsigned SHUTDOWN_WAIT_MS = 1000;
// The JSON library copies and serialises a value by recursion, one level of
// nesting at a time, on the reader's and the worker's stacks, which may be as
// small as 1 MiB (a browser or shell can start us under a low stack limit;
// Windows gives threads 1 MiB). A frame of 16384 bytes can nest 8192 deep,
// while no request of this protocol nests more than 3 deep. Under a 1 MiB
// stack the optimised host overflows near 8192 levels and a sanitizer build
// near 1024; 512 leaves room on both.
constexpr int MAX_NESTING = 512;

// Reader state, reused for every frame.
unsigned char lenbuff[LENGTH_PREFIX_SIZE];
char buff[MAX_MESSAGE_SIZE + 1];   // the body and the NUL written after it
int failed_reads = 0;
std::shared_ptr<ThreadHandle> worker;   // kept only for the wait at shutdown

// Queues the reader's own EXIT, gives the worker a moment to close the device,
// and ends the process whether or not it finished.
[[noreturn]] void ShutDown()
{
    PutExit();
    const unsigned long waited = WaitForThreadEnd(worker, SHUTDOWN_WAIT_MS);
    LogFormat("Done waiting for thread %lu\n", waited);
    ExitAfterLog(0);
}

void ShutDownAtEndOfInput()
{
    if (failed_reads >= MAX_EMPTY_READS)
        ShutDown();
}

// Reads from standard input into [target, target + wanted), where wanted is
// what the current prefix or body still misses, so that the next frame's
// bytes stay in the pipe. An empty or failed read counts towards the end.
ssize_t ReadMissing(void* target, size_t wanted)
{
    LetLogOut();
    const ssize_t retval = ReadSome(STDIN_FD, target, wanted);
    if (retval <= 0)
        ++failed_reads;
    else
        failed_reads = 0;
    return retval;
}

uint32_t ReadLength()
{
    size_t gathered = 0;
    while (gathered < LENGTH_PREFIX_SIZE) {
        ShutDownAtEndOfInput();
        const size_t wanted = LENGTH_PREFIX_SIZE - gathered;
        LogFormat("Going to read message from stdin %d bytes\n", static_cast<int>(wanted));
        const ssize_t retval = ReadMissing(lenbuff + gathered, wanted);
        LogFormat("Read %d bytes\n", static_cast<int>(retval));
        if (retval > 0)
            gathered += static_cast<size_t>(retval);
    }
    uint32_t read_length;
    std::memcpy(&read_length, lenbuff, sizeof read_length);
    return read_length;
}

void ReadBody(uint32_t read_length)
{
    size_t gathered = 0;
    while (gathered < read_length) {
        ShutDownAtEndOfInput();
        const ssize_t retval = ReadMissing(buff + gathered, read_length - gathered);
        if (retval > 0)
            gathered += static_cast<size_t>(retval);
    }
    buff[read_length] = '\0';
}

// How deep arrays and objects nest in a body, counted without building
// anything. Brackets inside strings do not count. For a valid JSON text the
// count is exact; for any other the parser refuses the text anyway.
int NestingDepth(const char* text, size_t length)
{
    int depth = 0, deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < length && text[i] != '\0'; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest)
                deepest = depth;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// Parses one body and puts the value in the mailbox, whatever its JSON type:
// what a message means is the worker's business.
void HandOver(uint32_t read_length)
{
    LogFormat("Read JSON package: %s\n", buff);
    if (NestingDepth(buff, read_length) > MAX_NESTING) {
        LogFormat("Dropped message: nested deeper than %d\n", MAX_NESTING);
        return;
    }
    json message;
    try {
        // The body must be one JSON text, with nothing but whitespace after
        // the value; the parser takes a NUL byte as the end of the text.
        message = json::parse(buff, buff + read_length);
    } catch (const json::exception& e) {
        LogFormat("Dropped message: not valid JSON: %s\n", e.what());
        return;
    }
    Log("Parsed message!\n");
    const std::string text = Compact(message);
    PutMessage(std::move(message));
    StreamLog("Message: ", text);
}

[[noreturn]] void ReadMessages()
{
    for (;;) {
        const uint32_t read_length = ReadLength();
        if (read_length > MAX_MESSAGE_SIZE) {
            LogFormat("Message size too large %ud > %ld\n", read_length, static_cast<long>(MAX_MESSAGE_SIZE));
            ExitAfterLog(1);
        }
        LogFormat("Message size %ud of %ld\n", read_length, static_cast<long>(MAX_MESSAGE_SIZE));
        ReadBody(read_length);
        HandOver(read_length);
    }
}

}  // namespace

int SetBinaryMode(FILE* stream)
{
    if (SetStreamToBinary(stream) == -1) {
        LogFormat("Cannot set mode to BINARY: %s\n", std::strerror(errno));
        return -1;
    }
    const int result = setvbuf(stream, nullptr, _IONBF, 0);
    if (result != 0) {
        LogFormat("Cannot set zero buffer: %s\n", std::strerror(errno));
        return result;
    }
    return 0;
}

void SendMessageA(json message)
{
    const std::string text = Compact(message);
    const auto length = static_cast<uint32_t>(std::strlen(text.c_str()));
    StreamLog("Outputting JSON ", text, " of size ", std::to_string(length));

    // Prefix and text in one write, so that the process ending while the
    // worker sends cannot leave a prefix without its text in the pipe.
    std::string frame(LENGTH_PREFIX_SIZE, '\0');
    std::memcpy(frame.data(), &length, LENGTH_PREFIX_SIZE);
    frame.append(text, 0, length);
    // A browser that stopped reading makes the write fail; that is ignored.
    WriteAll(STDOUT_FD, frame.data(), frame.size());
}

int main(int, char**)
{
    OpenMissingStandardError();
    IgnoreStreamSignals();
    setbuf(stderr, nullptr);
    if (SetBinaryMode(stdin) != 0)
        return -1;
    if (SetBinaryMode(stdout) != 0)
        return -1;
    StartLogWriter();
    if (from_browser_notify == NO_HANDLE) {
        Log("from_browser_notifiy semaphore is null!\n");
        ExitAfterLog(1);
    }

    worker = BeginThread(Thread);
    if (!worker) {
        // Without the worker nothing would ever answer the browser.
        LogFormat("Cannot start the worker thread: %s\n", std::strerror(errno));
        ExitAfterLog(1);
    }
    ReadMessages();
}
