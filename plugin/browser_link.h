// The browser link: standard input and output framed as the browser's native
// messaging wants them, and the inbound mailbox that carries each parsed
// message from the reader (main thread) to the worker thread.
#pragma once

#include <cstdio>
#include <deque>

#include <nlohmann/json.hpp>

#include "platform.h"

// Inbound mailbox. Put: push under the lock, leave it, then release the
// semaphore by one. Take: one unit of the semaphore entitles the worker to
// exactly one message, popped under the lock.
extern std::deque<nlohmann::json> from_browser;
extern QueueLock from_browser_mutex;
// Set under the lock by the worker when it ends: nothing will take a message
// any more, so a put keeps none (it still logs and releases as always).
extern bool from_browser_closed;
extern WaitHandle from_browser_notify;   // NO_HANDLE when it could not be made

// Writes one value to standard output as a frame: 4-byte native-order length,
// then the compact JSON text. Called by the worker thread only.
void SendMessageA(nlohmann::json message);

// Makes a standard stream unbuffered. 0 on success.
int SetBinaryMode(FILE* stream);
