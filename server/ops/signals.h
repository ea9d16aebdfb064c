#pragma once
// Signals. From the first instant of the process until the loop takes them
// over, SIGTERM and SIGINT end it at once and SIGHUP is kept for later;
// then, as events on the loop, SIGHUP reloads the directory, SIGUSR1 logs
// what the server has done, SIGTERM and SIGINT stop the server. An import
// catches SIGTERM and SIGINT instead, to clean up before it ends.

#include <uv.h>

#include <array>

namespace velmario::server {

class LookupServer;
class DirectorySource;
class ReloadStatus;

// Until serving starts: SIGTERM and SIGINT exit 0 (nothing is served or
// written yet), SIGHUP is remembered.
void handleSignalsBeforeServing();
// Whether a SIGHUP came before serving started (then the directory may
// have changed since it was read).
bool takeEarlySighup();

// For commands that write: SIGTERM and SIGINT only set a flag, which the
// command checks as it goes.
void catchInterrupts();
// The signal that asked the command to stop, or 0.
int interruption();

class Signals
{
public:
    // Without a directory to load again (`reloadable` false: the sample)
    // SIGHUP is only logged. Each SIGHUP is a request told to `status`.
    Signals(uv_loop_t& loop, LookupServer& server, DirectorySource& source, ReloadStatus& status, bool reloadable);
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;

private:
    void on(int signal);

    LookupServer& m_server;
    DirectorySource& m_source;
    ReloadStatus& m_status;
    const bool m_reloadable;
    std::array<uv_signal_t, 4> m_handles{};
};

} // namespace velmario::server
