// The inbound mailbox: carries each parsed message from the reader (main
// thread) to the worker thread. A put pushes under the lock, leaves it, then
// posts the semaphore by one; one unit of the semaphore entitles the worker
// to exactly one message, taken under the lock. At most 1024 messages wait:
// the reader's put of a further one waits until the worker takes one, and the
// reader reads nothing meanwhile. The worker closes it when it ends: nothing
// will take a message any more, so a put keeps none and never waits (it still
// logs and posts as always).
#pragma once

#include <deque>

#include <nlohmann/json.hpp>

#include "platform.h"

extern std::deque<nlohmann::json> from_browser;
extern QueueLock from_browser_mutex;
extern WaitHandle from_browser_notify;   // NO_HANDLE when it could not be made

// The reader's put of a message from the browser; waits for room.
void PutMessage(nlohmann::json message);
// The reader's own EXIT, put when the browser has gone; never waits.
void PutExit();
// The worker's take, after a wake reported the semaphore.
nlohmann::json TakeMessage();
// The worker's close, when it ends: what is queued is freed.
void CloseMailbox();
