// One run of a host the way check makes it, the same on every system over
// each system's StartedHost: start it, send one request frame, wait for the
// reply, close its input and wait for its end, each wait with a deadline.
#pragma once

#include "frame.h"
#include "host.h"

using Clock = std::chrono::steady_clock;

// StartedHost: Start (why it cannot start, or ""), Send, WaitForFrame,
// CloseInput, WaitForEnd, Kill, Log, and Ended, which tells how it ended.
template <typename StartedHost>
HostRun RunStartedHost(const std::string& program, const std::vector<std::string>& args, const std::string& request,
                       std::chrono::milliseconds patience)
{
    HostRun run;
    StartedHost host;
    if (!(run.start_error = host.Start(program, args)).empty())
        return run;
    host.Send(Frame(request));
    std::string reply;
    if (host.WaitForFrame(Clock::now() + patience, reply))
        run.reply = reply;
    else
        run.ended_before_reply = host.WaitForEnd(Clock::now() + patience);
    host.CloseInput();
    run.ended = host.WaitForEnd(Clock::now() + patience);
    host.Kill();
    // What it wrote last may still be in the pipe; a child of it may hold the
    // pipe open after it ended, so this wait is bounded too.
    run.log = host.Log(Clock::now() + patience / 10);
    if (run.ended)
        host.Ended(run);
    return run;
}
