#pragma once
// Signals as events on the loop: SIGHUP reloads the directory, SIGTERM and
// SIGINT stop the server.

#include <uv.h>

#include <array>

namespace velmario::server {

class LookupServer;
class Reloader;

class Signals
{
public:
    // Without a database file to reopen (`reloadable` false) SIGHUP is only
    // logged.
    Signals(uv_loop_t& loop, LookupServer& server, Reloader& reloader, bool reloadable);
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;

private:
    void on(int signal);

    LookupServer& m_server;
    Reloader& m_reloader;
    const bool m_reloadable;
    std::array<uv_signal_t, 3> m_handles{};
};

} // namespace velmario::server
