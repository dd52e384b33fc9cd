// The device worker: the thread that waits for browser messages and device
// input, dispatches requests, runs the device commands and forwards input
// reports to the browser.
#pragma once

// Entry of the worker thread; the argument is not used.
void Thread(void* unused);
