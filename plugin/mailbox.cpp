#include "mailbox.h"

#include <condition_variable>

#include "log.h"

using nlohmann::json;

WaitHandle from_browser_notify = CreateCountingSemaphore();
std::deque<json> from_browser;
QueueLock from_browser_mutex;

namespace {

// The most messages that wait for the worker: a reader with a message to put
// waits while this many do, and reads no further meanwhile, so that the
// browser's pipe holds the rest rather than the host's memory.
constexpr size_t MOST_WAITING = 1024;

bool from_browser_closed = false;       // under the lock
std::condition_variable_any room_made;  // by each take, and by the close

void Put(json message, const char* pushed, const char* posted, bool waits_for_room)
{
    {
        std::unique_lock lock(from_browser_mutex);
        if (waits_for_room && from_browser.size() >= MOST_WAITING)
            LetLogOut();
        if (waits_for_room)
            room_made.wait(lock, [] { return from_browser.size() < MOST_WAITING || from_browser_closed; });
        Log("Obtained lock!\n");
        if (!from_browser_closed)
            from_browser.push_back(std::move(message));
        Log(pushed);
    }
    Log("Released lock\n");
    PostSemaphore(from_browser_notify);
    Log(posted);
}

}  // namespace

void PutMessage(json message)
{
    Put(std::move(message), "Pushed message!\n", "Pushed JSON notify message\n", true);
}

void PutExit()
{
    // The host is ending: its EXIT may go past the bound.
    Put({{"call", "EXIT"}}, "Pushed EXIT message!\n", "Pushed JSON EXIT notify message\n", false);
}

json TakeMessage()
{
    std::lock_guard lock(from_browser_mutex);
    json message = std::move(from_browser.front());
    from_browser.pop_front();
    room_made.notify_one();
    return message;
}

void CloseMailbox()
{
    std::lock_guard lock(from_browser_mutex);
    from_browser_closed = true;
    from_browser = {};
    room_made.notify_one();
}
