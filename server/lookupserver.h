#pragma once
// The lookup service: TCP connections kept open, each read of bytes one
// request, each request one reply. Single-threaded and event-driven, on a
// libuv loop.

#include "address.h"
#include "directory.h"
#include "logpriority.h"

#include <uv.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmario::server {

// The limits of serving. Their defaults stand in the command line's table
// of options (options.cpp).
struct ServerOptions {
    std::string listen;                   // empty: every address, IPv4 and IPv6
    std::uint16_t port = 0;
    std::size_t maxConnections = 0;
    std::size_t maxConnectionsPerAddress = 0; // 0: no limit
    std::size_t maxRequestBytes = 0;
    std::chrono::milliseconds idleTimeout{};
    std::size_t maxPendingBytes = 0;      // unsent replies before a client is dropped
    std::vector<Cidr> allow;              // empty: every address
    double rateLimit = 0;                 // lookups per second per address; 0: no limit
    double rateBurst = 0;                 // lookups an address may make at once
    std::chrono::seconds statsInterval{}; // 0: only on SIGUSR1
};

// What the server has done since it started.
struct ServerStats {
    std::uint64_t lookups = 0;
    std::uint64_t found = 0;
    std::uint64_t notFound = 0;
    std::uint64_t invalid = 0;
    std::uint64_t failed = 0;
    std::uint64_t rateLimited = 0;
    std::uint64_t denied = 0;
    std::uint64_t refused = 0; // for the global or the per-address limit
    std::uint64_t refusedPerAddress = 0; // of those, for the per-address limit
    std::uint64_t accepted = 0; // connections admitted and served
    std::uint64_t dropped = 0; // clients that did not read their replies
};

class Session;

class LookupServer
{
public:
    using Log = std::function<void(const std::string&, LogPriority)>;

    LookupServer(uv_loop_t& loop, ServerOptions options, std::shared_ptr<Directory> directory, Log log);
    // Stops, and runs the loop until the server's own handles have closed.
    ~LookupServer();
    LookupServer(const LookupServer&) = delete;
    LookupServer& operator=(const LookupServer&) = delete;

    // Binds and starts accepting. False with a message fit for the user if
    // the address cannot be bound.
    bool start(std::string& error);
    // Stops accepting and closes every connection; the loop ends once they
    // have closed, unless something else keeps it running.
    void stop();

    // Serves from another directory from the next request on; connections
    // stay open.
    void setDirectory(std::shared_ptr<Directory> directory) { m_directory = std::move(directory); }
    Directory& directory() { return *m_directory; }

    const ServerOptions& options() const { return m_options; }
    std::size_t connectionCount() const { return m_connections; }
    const ServerStats& stats() const { return m_stats; }
    // One line of what the server has done, for the log.
    std::string statsLine() const;
    // "ADDRESS port N" for every socket listening.
    std::vector<std::string> listeningOn() const;

private:
    friend class Session;
    struct Listener {
        uv_tcp_t handle{};
        bool open = false;
    };
    // What the server keeps of one client address: its connections and its
    // lookup allowance (a token bucket).
    struct Client {
        std::size_t connections = 0;
        double tokens = 0;
        std::uint64_t refilledAt = 0; // loop time, ms
    };
    // Events that can come in floods are logged at most once per kind every
    // few seconds, with a count of the rest.
    enum class Event { RefusedBusy, RefusedAddress, Denied, RateLimited, Dropped, ReadFailed, Count };
    struct EventLog {
        std::uint64_t pending = 0;
        std::uint64_t lastLogged = 0;
        bool everLogged = false;
        std::string lastFrom;
    };

    bool bind(const sockaddr* address, bool dualStack, std::string& error);
    static void onConnection(uv_stream_t* listener, int status);
    void accepted(uv_stream_t* listener);
    void refuse(uv_tcp_t* tcp, Event why, const std::string& from);
    void ended(Session* session);
    void closeHandle(uv_handle_t* handle);
    bool takeLookup(Client& client);
    void release(Client& client);
    void note(Event event, const std::string& from);
    void flushEvents(bool all);
    static void onTick(uv_timer_t* timer);

    uv_loop_t& m_loop;
    ServerOptions m_options;
    std::shared_ptr<Directory> m_directory;
    Log m_log;
    std::vector<std::unique_ptr<Listener>> m_listeners;
    std::unordered_map<Session*, std::unique_ptr<Session>> m_sessions;
    // References to the values stay valid while others come and go.
    std::unordered_map<Address, Client, AddressHash> m_clients;
    // Requests are read here: each read is taken whole before the next.
    std::vector<char> m_readBuffer;
    uv_timer_t m_tick{};
    std::uint64_t m_ticks = 0;
    std::size_t m_openHandles = 0; // listeners and the timer, open or closing
    std::size_t m_connections = 0; // sessions not yet closing
    ServerStats m_stats;
    std::array<EventLog, static_cast<std::size_t>(Event::Count)> m_events{};
    std::uint64_t m_lastAcceptErrorLog = 0;
    bool m_stopped = false;
};

} // namespace velmario::server
