// The diagnostic log on standard error, written by both threads. Each call
// below is one write, into the store under its lock (or straight to standard
// error before the log's writer runs), so a line written by one call stays
// whole; the serial-number line and the first line of a device's log block
// are ended by a newline written on its own, as their own call, and a line of
// the other thread can land between a line and that newline.
//
// Nobody has to read the log, and the host never waits for it: a write only
// appends to a store in memory, and a thread of the log's own writes the
// store out to standard error, many lines at a time (it is woken when a
// thread that logs is about to wait, or once 4 KiB wait), with ordinary blocking
// writes (a file or the null device, which never keep a write waiting, get
// each write straight away). Standard error takes lines when a write returns
// and, where the system tells it, when what waits unread in it changes; a
// reader that keeps reading loses no line. Lines are dropped only
// while standard error has taken nothing for a second with lines waiting, or
// when 4 MiB wait; the next line that is stored again is preceded by a line
// that says how many were dropped. The end of the process waits for what is
// stored to get out as long as standard error keeps taking it, and no longer
// once it has taken nothing for a second.
#pragma once

#include <cstddef>
#include <string>

#include "platform.h"

void LogBytes(const char* data, size_t size);
void Log(const char* text);
void LogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What is stored goes out now rather than once a whole write of it waits.
// Called by a thread that logs when it is about to wait: for the browser, for
// the device, or for room in the mailbox.
void LetLogOut();
// Starts the log's own writer where standard error can keep a write
// waiting. Before it runs (and if it cannot be started), each write goes
// straight to standard error.
void StartLogWriter();
// What is stored gets out, within the bound above, after the count of drops
// that no line has told of yet. Called at the end of the process, when
// whatever is still stored would otherwise be lost.
void DrainLog();

// Ends the process with the given status once the log has had its chance to
// get out.
[[noreturn]] inline void ExitAfterLog(int status)
{
    DrainLog();
    EndProcess(status);
}

// The pieces are put together first and go out as one write with their line
// end, so that the other thread's log lines cannot land inside the line.
template <typename... Pieces>
void StreamLog(const Pieces&... pieces)
{
    std::string line;
    (line.append(pieces), ...);
    line += '\n';
    LogBytes(line.data(), line.size());
}
