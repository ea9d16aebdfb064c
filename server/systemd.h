// Running under systemd: readiness and state notifications (sd_notify) and
// log lines the journal files under the right priority. Outside systemd
// (no NOTIFY_SOCKET, standard error not the journal) all of it does nothing.
#pragma once

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
// A reload begins (SIGHUP); notifyReady follows when it ends.
[[nodiscard]] std::string notifyReloading();
// Shutting down.
[[nodiscard]] std::string notifyStopping();

// How often to call notifyWatchdog(): half the unit's WatchdogSec=, so one
// late ping is no failure; zero when systemd asks for no watchdog.
[[nodiscard]] std::chrono::microseconds watchdogPingInterval();
[[nodiscard]] std::string notifyWatchdog();

// Standard error is connected to the journal (systemd sets JOURNAL_STREAM to
// the device and inode of that stream).
[[nodiscard]] bool stderrIsJournal();

// Priorities of journal lines, as syslog numbers them (SD_ERR, SD_WARNING,
// SD_INFO of <systemd/sd-daemon.h>).
enum class LogPriority { Error = 3, Warning = 4, Info = 6 };

// The line to write (one line, without its newline): "<N>" before text when
// it goes to the journal, so the journal files it under that priority; text
// unchanged otherwise.
[[nodiscard]] std::string logLine(LogPriority priority, std::string_view text, bool toJournal);

} // namespace velmario::server
