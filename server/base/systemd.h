// Running under systemd: readiness and state notifications (sd_notify) and
// log lines the journal files under the right priority. Outside systemd
// (no NOTIFY_SOCKET, standard error not the journal) all of it does nothing.
#pragma once

#include "logpriority.h"

#include <chrono>
#include <string>
#include <string_view>

namespace velmario::server {

// Each notify function returns an empty string when the message was sent or
// the process does not run under systemd, otherwise why it was not sent.

// The directory is loaded and the listening sockets are bound; also sent when
// a reload has finished, whether it succeeded or not. status is shown by
// "systemctl status".
[[nodiscard]] std::string notifyReady(std::string_view status);
// A reload begins; notifyReady follows when it ends. status is shown
// meanwhile.
[[nodiscard]] std::string notifyReloading(std::string_view status);
// Shutting down.
[[nodiscard]] std::string notifyStopping();

// How often to call notifyWatchdog(): half the unit's WatchdogSec=, so one
// late ping is no failure; zero when systemd asks for no watchdog.
[[nodiscard]] std::chrono::microseconds watchdogPingInterval();
[[nodiscard]] std::string notifyWatchdog();

// Standard error is connected to the journal (systemd sets JOURNAL_STREAM to
// the device and inode of that stream).
[[nodiscard]] bool stderrIsJournal();

// What to write for a message (without its final newline): "<N>" before
// each of its lines when it goes to the journal, so that the journal files
// every line under the message's priority; text unchanged otherwise.
[[nodiscard]] std::string logLine(LogPriority priority, std::string_view text, bool toJournal);

} // namespace velmario::server
