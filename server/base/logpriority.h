#pragma once
// How much a log line matters. Under systemd the journal files each line
// under its priority, so that "journalctl -p warning" shows what went wrong.

namespace velmario::server {

// As syslog numbers them (SD_ERR, SD_WARNING, SD_NOTICE, SD_INFO of
// <systemd/sd-daemon.h>).
enum class LogPriority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

} // namespace velmario::server
