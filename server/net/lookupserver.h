#pragma once
// The lookup service: TCP connections kept open, each read of bytes one
// request, each request one reply. Single-threaded and event-driven, on a
// libuv loop.

#include "address.h"
#include "admission.h"
#include "replyindex.h"
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
// of options (options.cpp); admission.h says how the connection limits and
// the rate work together.
struct ServerOptions {
    std::string listen;                   // empty: every address, IPv4 and IPv6
    std::uint16_t port = 0;
    std::size_t maxConnections = 0;       // lowered at start to what the descriptors allow
    std::size_t maxConnectionsPerAddress = 0; // once busy; 0: no limit
    unsigned busyPercent = 0;             // of maxConnections open: the server is busy
    unsigned ipv6PrefixLength = 128;      // leading bits of an IPv6 address that make one client
    std::size_t reservedDescriptors = 0;  // kept back from connections
    std::size_t maxRequestBytes = 0;
    std::chrono::milliseconds idleTimeout{};
    std::size_t maxPendingBytes = 0;      // unsent replies past which a client is no longer read
    std::chrono::milliseconds sendTimeout{}; // a client taking none of its replies this long is dropped
    std::vector<Cidr> allow;              // empty: every address
    double rateLimit = 0;                 // lookups per second per address; 0: no limit
    double rateBurst = 0;                 // lookups an address may make at once
    std::chrono::seconds statsInterval{}; // 0: only on SIGUSR1
};

// What the server has done since it started: counters only, read by
// whoever reports them.
struct ServerStats {
    std::uint64_t lookups = 0;
    std::uint64_t found = 0;
    std::uint64_t notFound = 0;
    std::uint64_t invalid = 0;
    std::uint64_t failed = 0;
    std::uint64_t rateLimited = 0;
    std::uint64_t accepted = 0;           // connections served
    std::uint64_t denied = 0;             // not in an allowed network
    std::uint64_t refused = 0;            // answered busy: the three below together
    std::uint64_t refusedBusy = 0;        // --max-connections open
    std::uint64_t refusedPerAddress = 0;  // the address's share taken while busy
    std::uint64_t refusedDescriptors = 0; // out of file descriptors
    std::uint64_t displaced = 0;          // idle connections closed to make room for another address
    std::uint64_t paused = 0;             // times a client was no longer read until it read its replies
    std::uint64_t dropped = 0;            // clients that did not read their replies
    std::uint64_t acceptFailed = 0;       // connections the system could not accept
};

class Session;

class LookupServer
{
public:
    using Log = std::function<void(const std::string&, LogPriority)>;

    LookupServer(uv_loop_t& loop, ServerOptions options, std::shared_ptr<const ReplyTable> table, Log log);
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

    // Serves from another table from the next request on; connections
    // stay open.
    void setTable(std::shared_ptr<const ReplyTable> table)
    {
        m_table = std::move(table);
        m_tableChangedSaid = false;
    }
    const ReplyTable& table() const { return *m_table; }
    // Called once, on the loop, when the table's file is found written to
    // since it was checked: its lookups fail until another table serves.
    void onTableChanged(std::function<void()> changed) { m_tableChanged = std::move(changed); }

    // After start(), maxConnections is what the descriptors allow.
    const ServerOptions& options() const { return m_options; }
    std::size_t connectionCount() const { return m_admission.openConnections(); }
    const ServerStats& stats() const { return m_stats; }
    // One line of what the server has done, for the log.
    std::string statsLine() const;
    // "ADDRESS port N" for every socket listening.
    std::vector<std::string> listeningOn() const;

private:
    friend class Session;
    struct Listener {
        LookupServer* server = nullptr;
        uv_poll_t poll{};
        int fd = -1;
        bool open = false;
    };
    // Events that can come in floods are logged at most once per kind every
    // few seconds, with a count of the rest.
    enum class Event {
        RefusedBusy,
        RefusedAddress,
        RefusedDescriptors,
        Displaced,
        Denied,
        RateLimited,
        Dropped,
        ReadFailed,
        AcceptFailed,
        Count
    };
    struct EventLog {
        std::uint64_t pending = 0;
        std::uint64_t lastLogged = 0;
        bool everLogged = false;
        std::string lastFrom;
    };

    bool bind(const sockaddr* address, bool dualStack, std::string& error);
    bool limitToDescriptors(std::string& error);
    static void onListenerReady(uv_poll_t* poll, int status, int events);
    bool acceptFailed(Listener& listener, int error);
    bool answerBusyWithSpare(Listener& listener);
    void accepted(int fd, const sockaddr_storage& peer);
    void refuse(int fd, Event why, const Address& from);
    void pauseAccepting();
    void ended(std::uint64_t session);
    void closeHandle(uv_handle_t* handle);
    void note(Event event, const std::string& from);
    // The table's file changed under it: said once, and a new load asked for.
    void tableChanged();
    void flushEvents(bool all);
    static void onTick(uv_timer_t* timer);

    uv_loop_t& m_loop;
    ServerOptions m_options;
    std::shared_ptr<const ReplyTable> m_table;
    std::function<void()> m_tableChanged;
    bool m_tableChangedSaid = false;
    Log m_log;
    Admission m_admission;
    std::vector<std::unique_ptr<Listener>> m_listeners;
    std::unordered_map<std::uint64_t, std::unique_ptr<Session>> m_sessions;
    std::uint64_t m_lastSession = 0;
    // Held so that, out of descriptors, one can be freed to accept a
    // connection and tell it the server is busy.
    int m_spareFd = -1;
    // Requests are read here: each read is taken whole before the next.
    std::vector<char> m_readBuffer;
    uv_timer_t m_tick{};
    uv_timer_t m_acceptAgain{};
    uv_tcp_t m_firstStream{}; // opened and closed at once; see limitToDescriptors
    std::uint64_t m_ticks = 0;
    std::size_t m_openHandles = 0; // listeners and timers, open or closing
    ServerStats m_stats;
    std::array<EventLog, static_cast<std::size_t>(Event::Count)> m_events{};
    bool m_stopped = false;
};

} // namespace velmario::server
