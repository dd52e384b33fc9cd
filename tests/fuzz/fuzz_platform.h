// The platform layer of the fuzz targets: the host's Linux one, except where
// a target has to take a system service's place so that one process can run
// the host's code once per input, deterministically.
#pragma once

#include <cstddef>
#include <functional>

#include <sys/types.h>

#include "platform.h"

namespace fuzz {

// What EndProcess throws instead of ending the process.
struct ProcessExit {
    int status;
};

// Standard input: ReadSome on descriptor 0 calls this when it is set.
extern std::function<ssize_t(void* buffer, size_t count)> read_standard_input;

// Called at the start of each WaitForSemaphoreOr with the device's
// signal, before the system's wait: the moment the world moves on while the
// worker waits. It must leave the semaphore or the signal ready.
extern std::function<void(WaitHandle device_signal)> before_wait;

// With true, BeginThread starts no thread and WaitForThreadEnd finds it
// ended: the reader runs without a worker.
extern bool no_worker;

}  // namespace fuzz
