#pragma once
// The server's log: one line per event on standard error.
//
// While the server serves, lines go through a bounded queue to a thread of
// their own, so that a standard error that is slow to read (a stalled pipe,
// a busy journal) never holds up the event loop: past the bound, lines are
// dropped and counted, and the count is logged once there is room.

#include "systemd.h"

#include <string>
#include <string_view>

namespace velmario::server {

// "velmario-server: " and the text. Under systemd, the journal files every
// line of it under its priority.
void log(std::string_view line, LogPriority priority = LogPriority::Info);

// Text that already says who speaks (a command line's error and its hint,
// an import's bad lines), written to standard error at once, each line
// under the priority; for commands, not while serving.
void writeToStderr(std::string_view text, LogPriority priority);

// Logs why systemd could not be told something, if it could not.
void tellSystemd(const std::string& error);

// From now on log() only queues lines for the writer thread.
void startLogWriter();
// Writes what is queued and stops the writer; log() writes directly again.
void stopLogWriter();

} // namespace velmario::server
