#include "mailbox.h"

#include "log.h"

using nlohmann::json;

WaitHandle from_browser_notify = CreateCountingSemaphore();
std::deque<json> from_browser;
QueueLock from_browser_mutex;

namespace {

bool from_browser_closed = false;   // under the lock

void Put(json message, const char* pushed, const char* posted)
{
    {
        std::lock_guard lock(from_browser_mutex);
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
    Put(std::move(message), "Pushed message!\n", "Pushed JSON notify message\n");
}

void PutExit()
{
    Put({{"call", "EXIT"}}, "Pushed EXIT message!\n", "Pushed JSON EXIT notify message\n");
}

json TakeMessage()
{
    std::lock_guard lock(from_browser_mutex);
    json message = std::move(from_browser.front());
    from_browser.pop_front();
    return message;
}

void CloseMailbox()
{
    std::lock_guard lock(from_browser_mutex);
    from_browser_closed = true;
    from_browser = {};
}
