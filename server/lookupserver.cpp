#include "lookupserver.h"

#include "answer.h"
#include "framing.h"

#include <algorithm>
#include <optional>

#include <cstring>
#include <new>

namespace velmario::server {
namespace {

// Floods of one kind of event are logged once in this long.
constexpr std::uint64_t kEventLogMs = 5000;

std::string describe(const sockaddr_storage& address)
{
    char name[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        uv_ip6_name(&v6, name, sizeof name);
        port = ntohs(v6.sin6_port);
    } else if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        uv_ip4_name(&v4, name, sizeof name);
        port = ntohs(v4.sin_port);
    }
    return std::string(name) + " port " + std::to_string(port);
}

} // namespace

class Session
{
public:
    static constexpr int kSendBuffer = 64 * 1024;

    explicit Session(LookupServer& server)
        : m_server(server)
        , m_framer(server.m_options.maxRequestBytes)
    {
        uv_tcp_init(&server.m_loop, &m_tcp);
        uv_timer_init(&server.m_loop, &m_idle);
        m_tcp.data = this;
        m_idle.data = this;
        m_write.data = this;
    }

    uv_stream_t* stream() { return reinterpret_cast<uv_stream_t*>(&m_tcp); }
    uv_tcp_t& tcp() { return m_tcp; }

    // Serves the accepted connection for `client`.
    bool start(LookupServer::Client& client, const Address& address)
    {
        m_client = &client;
        ++client.connections;
        ++m_server.m_connections;
        m_address = address;
        uv_tcp_nodelay(&m_tcp, 1);
        // A fixed send buffer bounds what the kernel holds for a client
        // that does not read; past it, replies wait in m_pending.
        int sendBuffer = kSendBuffer;
        uv_send_buffer_size(reinterpret_cast<uv_handle_t*>(&m_tcp), &sendBuffer);
        m_lastAnswer = uv_now(&m_server.m_loop);
        armIdle(static_cast<std::uint64_t>(m_server.m_options.idleTimeout.count()));
        // libuv reads until a read comes back short, so each request costs
        // one read, never a failed one.
        return uv_read_start(stream(), onAlloc, onRead) == 0;
    }

    // One short reply saying why, then the close.
    void refuse(const std::string& reply)
    {
        uv_buf_t buffer = uv_buf_init(const_cast<char*>(reply.data()), static_cast<unsigned>(reply.size()));
        uv_try_write(stream(), &buffer, 1);
        close();
    }

    void close()
    {
        if (m_closed)
            return;
        m_closed = true;
        if (m_client) {
            --m_server.m_connections;
            m_server.release(*m_client);
            m_client = nullptr;
        }
        // A write still queued is cancelled; its callback runs before the
        // handle's close callback, while the session still lives.
        uv_close(reinterpret_cast<uv_handle_t*>(&m_tcp), onClosed);
        uv_close(reinterpret_cast<uv_handle_t*>(&m_idle), onClosed);
    }

private:
    static Session& of(const void* handleOrRequest)
    {
        return *static_cast<Session*>(static_cast<const uv_handle_t*>(handleOrRequest)->data);
    }

    static void onAlloc(uv_handle_t* handle, std::size_t, uv_buf_t* buffer)
    {
        auto& buf = of(handle).m_server.m_readBuffer;
        *buffer = uv_buf_init(buf.data(), static_cast<unsigned>(buf.size()));
    }

    static void onRead(uv_stream_t* stream, ssize_t n, const uv_buf_t* buffer)
    {
        Session& self = of(stream);
        if (self.m_closed)
            return;
        if (n > 0) {
            self.received(std::string_view(buffer->base, static_cast<std::size_t>(n)),
                          static_cast<std::size_t>(n) == buffer->len);
        } else if (n == UV_EOF) {
            // The client has said all it will; what it asked is still owed.
            self.endReading();
        } else if (n < 0) {
            self.close(); // reset or other failure
        }
    }

    void received(std::string_view bytes, bool filled)
    {
        try {
            const auto verdict = m_framer.feed(bytes, filled, [this](std::string_view request) { respond(request); });
            if (verdict == RequestFramer::Verdict::TooLong) {
                // One answer saying so, then the close, as for any request
                // over the limit.
                ++m_server.m_stats.invalid;
                m_pending += fixedReply(kInvalidRequest);
                endReading();
            }
        } catch (const std::bad_alloc&) {
            close();
            return;
        }
        if (m_closed)
            return;
        if (m_pending.size() + m_writing.size() > m_server.m_options.maxPendingBytes) {
            // A client that sends but never reads would make us hold its
            // replies without end.
            ++m_server.m_stats.dropped;
            m_server.note(LookupServer::Event::Dropped, addressText(m_address));
            close();
            return;
        }
        if (!m_writeActive && !m_pending.empty())
            flush();
        if (!m_closed && m_readEnded && !m_writeActive && m_pending.empty())
            close();
    }

    void respond(std::string_view request)
    {
        ServerStats& stats = m_server.m_stats;
        ++stats.lookups;
        m_lastAnswer = uv_now(&m_server.m_loop);
        if (!m_server.takeLookup(*m_client)) {
            ++stats.rateLimited;
            m_server.note(LookupServer::Event::RateLimited, addressText(m_address));
            m_pending += fixedReply(kTooManyLookups);
            return;
        }
        switch (answer(m_server.directory(), request, m_server.m_options.maxRequestBytes, m_pending)) {
        case Outcome::Found: ++stats.found; break;
        case Outcome::NotFound: ++stats.notFound; break;
        case Outcome::Invalid: ++stats.invalid; break;
        case Outcome::Failed:
            ++stats.failed;
            m_server.note(LookupServer::Event::ReadFailed, addressText(m_address));
            break;
        case Outcome::Nothing: --stats.lookups; break;
        }
    }

    void endReading()
    {
        uv_read_stop(stream());
        m_readEnded = true;
        if (!m_writeActive && m_pending.empty())
            close();
    }

    // Writes what is pending: straight away if the socket takes it, which is
    // nearly always; otherwise queued until the client reads.
    void flush()
    {
        uv_buf_t buffer = uv_buf_init(m_pending.data(), static_cast<unsigned>(m_pending.size()));
        const int written = uv_try_write(stream(), &buffer, 1);
        if (written == static_cast<int>(m_pending.size())) {
            m_pending.clear();
            return;
        }
        if (written < 0 && written != UV_EAGAIN) {
            close();
            return;
        }
        m_writing.assign(m_pending, written > 0 ? static_cast<std::size_t>(written) : 0);
        m_pending.clear();
        buffer = uv_buf_init(m_writing.data(), static_cast<unsigned>(m_writing.size()));
        m_writeActive = true;
        if (uv_write(&m_write, stream(), &buffer, 1, onWritten) != 0) {
            m_writeActive = false;
            close();
        }
    }

    static void onWritten(uv_write_t* request, int status)
    {
        Session& self = *static_cast<Session*>(request->data);
        self.m_writeActive = false;
        self.m_writing.clear();
        if (self.m_closed)
            return;
        if (status < 0 || (self.m_pending.empty() && self.m_readEnded))
            self.close(); // failed, or all that was asked is answered
        else if (!self.m_pending.empty())
            self.flush();
    }

    // One timer per connection, re-armed only when it fires: an answer just
    // moves m_lastAnswer, the loop's cached clock, which costs nothing per
    // request. Bytes that get no answer (white space) keep nothing alive.
    void armIdle(std::uint64_t afterMs)
    {
        uv_timer_start(&m_idle, onIdle, afterMs, 0);
    }

    static void onIdle(uv_timer_t* timer)
    {
        Session& self = of(timer);
        if (self.m_closed)
            return;
        const std::uint64_t idleFor = uv_now(&self.m_server.m_loop) - self.m_lastAnswer;
        const auto limit = static_cast<std::uint64_t>(self.m_server.m_options.idleTimeout.count());
        if (idleFor >= limit)
            self.close();
        else
            self.armIdle(limit - idleFor);
    }

    static void onClosed(uv_handle_t* handle)
    {
        Session& self = of(handle);
        if (--self.m_handlesOpen == 0)
            self.m_server.ended(&self); // deletes the session
    }

    LookupServer& m_server;
    uv_tcp_t m_tcp{};
    uv_timer_t m_idle{};
    uv_write_t m_write{};
    RequestFramer m_framer;
    LookupServer::Client* m_client = nullptr; // while the session counts
    Address m_address{};
    std::string m_pending;
    std::string m_writing;
    std::uint64_t m_lastAnswer = 0;
    int m_handlesOpen = 2;
    bool m_writeActive = false;
    bool m_readEnded = false;
    bool m_closed = false;
};

LookupServer::LookupServer(uv_loop_t& loop, ServerOptions options, std::shared_ptr<Directory> directory, Log log)
    : m_loop(loop)
    , m_options(std::move(options))
    , m_directory(std::move(directory))
    , m_log(std::move(log))
    // A read larger than the longest request plus its white space is
    // itself over the limit, so a request never spans the buffer's edge.
    , m_readBuffer(std::max<std::size_t>(4096, m_options.maxRequestBytes + RequestFramer::kSlack))
{
}

LookupServer::~LookupServer()
{
    stop();
    // libuv still refers to closing handles until their callbacks run.
    while (m_openHandles > 0 || !m_sessions.empty())
        uv_run(&m_loop, UV_RUN_NOWAIT);
}

void LookupServer::closeHandle(uv_handle_t* handle)
{
    uv_close(handle, [](uv_handle_t* closed) { --static_cast<LookupServer*>(closed->data)->m_openHandles; });
}

bool LookupServer::bind(const sockaddr* address, bool dualStack, std::string& error)
{
    auto listener = std::make_unique<Listener>();
    uv_tcp_init(&m_loop, &listener->handle);
    listener->handle.data = this;
    listener->open = true;
    ++m_openHandles;
    const bool v6 = address->sa_family == AF_INET6;
    int rc = uv_tcp_bind(&listener->handle, address, v6 && !dualStack ? UV_TCP_IPV6ONLY : 0);
    // An address in use is only reported by listen.
    if (rc == 0)
        rc = uv_listen(reinterpret_cast<uv_stream_t*>(&listener->handle), SOMAXCONN, onConnection);
    if (rc != 0) {
        sockaddr_storage copy{};
        std::memcpy(&copy, address, v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
        const std::string where = describe(copy);
        if (rc == UV_EACCES) {
            error = "cannot listen on " + where + ": permission denied. Ports below 1024 need root or the "
                    "CAP_NET_BIND_SERVICE capability: run it as root, grant the capability with "
                    "'setcap cap_net_bind_service=+ep velmario-server', or choose a port above 1023 with --port.";
        } else if (rc == UV_EADDRINUSE) {
            error = "cannot listen on " + where + ": the port is already in use by another program.";
        } else {
            error = "cannot listen on " + where + ": " + uv_strerror(rc) + ".";
        }
        listener->open = false;
        closeHandle(reinterpret_cast<uv_handle_t*>(&listener->handle));
    }
    // Kept either way: a closing handle's memory must outlive its callback.
    m_listeners.push_back(std::move(listener));
    return rc == 0;
}

bool LookupServer::start(std::string& error)
{
    uv_timer_init(&m_loop, &m_tick);
    m_tick.data = this;
    ++m_openHandles;
    uv_timer_start(&m_tick, onTick, 1000, 1000);
    if (m_options.listen.empty()) {
        // One dual-stack socket serves IPv4 and IPv6; without IPv6, IPv4 only.
        sockaddr_in6 any6{};
        uv_ip6_addr("::", m_options.port, &any6);
        std::string v6Error;
        if (!bind(reinterpret_cast<const sockaddr*>(&any6), true, v6Error)) {
            sockaddr_in any4{};
            uv_ip4_addr("0.0.0.0", m_options.port, &any4);
            if (!bind(reinterpret_cast<const sockaddr*>(&any4), false, error))
                return false;
        }
        return true;
    }
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    if (uv_ip4_addr(m_options.listen.c_str(), m_options.port, &v4) == 0)
        return bind(reinterpret_cast<const sockaddr*>(&v4), false, error);
    if (uv_ip6_addr(m_options.listen.c_str(), m_options.port, &v6) == 0)
        return bind(reinterpret_cast<const sockaddr*>(&v6), false, error);
    error = "'" + m_options.listen + "' is not an IPv4 or IPv6 address.";
    return false;
}

std::vector<std::string> LookupServer::listeningOn() const
{
    std::vector<std::string> where;
    for (const auto& listener : m_listeners) {
        sockaddr_storage address{};
        int length = sizeof address;
        if (listener->open
            && uv_tcp_getsockname(&listener->handle, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            where.push_back(describe(address));
    }
    return where;
}

void LookupServer::onConnection(uv_stream_t* listener, int status)
{
    auto& self = *static_cast<LookupServer*>(listener->data);
    if (self.m_stopped)
        return;
    if (status < 0) {
        // Out of descriptors or memory. libuv sheds the waiting connections
        // and goes on listening; say so at most once a second.
        const std::uint64_t now = uv_now(&self.m_loop);
        if (self.m_lastAcceptErrorLog == 0 || now - self.m_lastAcceptErrorLog >= 1000) {
            self.m_lastAcceptErrorLog = now;
            self.m_log(std::string("cannot accept a connection: ") + uv_strerror(status), LogPriority::Error);
        }
        return;
    }
    try {
        self.accepted(listener);
    } catch (const std::bad_alloc&) {
        self.m_log("cannot accept a connection: out of memory", LogPriority::Error);
    }
}

void LookupServer::accepted(uv_stream_t* listener)
{
    auto owned = std::make_unique<Session>(*this);
    Session* session = owned.get();
    m_sessions.emplace(session, std::move(owned));
    sockaddr_storage peer{};
    int length = sizeof peer;
    std::optional<Address> address;
    if (uv_accept(listener, session->stream()) == 0
        && uv_tcp_getpeername(&session->tcp(), reinterpret_cast<sockaddr*>(&peer), &length) == 0)
        address = addressOf(reinterpret_cast<const sockaddr&>(peer));
    if (!address) {
        session->close();
        return;
    }
    if (!m_options.allow.empty()
        && std::none_of(m_options.allow.begin(), m_options.allow.end(),
                        [&](const Cidr& cidr) { return cidr.contains(*address); })) {
        ++m_stats.denied;
        note(Event::Denied, addressText(*address));
        session->close();
        return;
    }
    if (m_connections >= m_options.maxConnections) {
        ++m_stats.refused;
        note(Event::RefusedBusy, addressText(*address));
        session->refuse(fixedReply(kBusy));
        return;
    }
    Client& client = m_clients[*address];
    if (client.connections == 0 && client.refilledAt == 0) { // new
        client.tokens = m_options.rateBurst;
        client.refilledAt = uv_now(&m_loop);
    }
    if (m_options.maxConnectionsPerAddress > 0 && client.connections >= m_options.maxConnectionsPerAddress) {
        ++m_stats.refused;
        ++m_stats.refusedPerAddress;
        note(Event::RefusedAddress, addressText(*address));
        session->refuse(fixedReply(kBusy));
        return;
    }
    ++m_stats.accepted;
    if (!session->start(client, *address))
        session->close();
}

bool LookupServer::takeLookup(Client& client)
{
    if (m_options.rateLimit <= 0)
        return true;
    const std::uint64_t now = uv_now(&m_loop);
    client.tokens = std::min(m_options.rateBurst,
                             client.tokens + static_cast<double>(now - client.refilledAt) * m_options.rateLimit / 1000.0);
    client.refilledAt = now;
    if (client.tokens < 1.0)
        return false;
    client.tokens -= 1.0;
    return true;
}

void LookupServer::release(Client& client)
{
    // The entry stays until its allowance has grown back (see onTick), so
    // that reconnecting does not renew it.
    --client.connections;
}

void LookupServer::note(Event event, const std::string& from)
{
    EventLog& e = m_events[static_cast<std::size_t>(event)];
    ++e.pending;
    e.lastFrom = from;
    const std::uint64_t now = uv_now(&m_loop);
    if (!e.everLogged || now - e.lastLogged >= kEventLogMs)
        flushEvents(false);
}

void LookupServer::flushEvents(bool all)
{
    const std::uint64_t now = uv_now(&m_loop);
    for (std::size_t i = 0; i < m_events.size(); ++i) {
        EventLog& e = m_events[i];
        if (e.pending == 0 || (!all && e.everLogged && now - e.lastLogged < kEventLogMs))
            continue;
        std::string line;
        // Denied, refused per address, rate-limited and dropped clients are
        // the limits at work; a full server or an unreadable file is not.
        LogPriority priority = LogPriority::Notice;
        switch (static_cast<Event>(i)) {
        case Event::RefusedBusy:
            priority = LogPriority::Warning;
            line.append("refused ").append(std::to_string(e.pending)).append(" connection(s): ");
            line.append(std::to_string(m_options.maxConnections)).append(" connections already open");
            break;
        case Event::RefusedAddress:
            line.append("refused ").append(std::to_string(e.pending)).append(" connection(s): ");
            line.append(std::to_string(m_options.maxConnectionsPerAddress));
            line.append(" connections already open from one address");
            break;
        case Event::Denied:
            line.append("denied ").append(std::to_string(e.pending)).append(" connection(s) from addresses not allowed");
            break;
        case Event::RateLimited:
            line.append("answered ").append(std::to_string(e.pending)).append(" lookup(s) over the limit of ");
            line.append(std::to_string(int(m_options.rateLimit))).append(" per second");
            break;
        case Event::Dropped:
            line.append("dropped ").append(std::to_string(e.pending)).append(" client(s) that did not read their replies");
            break;
        case Event::ReadFailed:
            priority = LogPriority::Error;
            line.append(std::to_string(e.pending));
            line.append(" lookup(s) failed: the database file cannot be read (changed under the server or damaged); "
                        "rename a new file over it and send SIGHUP");
            break;
        case Event::Count: break;
        }
        line.append(" (last from ").append(e.lastFrom).append(")");
        m_log(line, priority);
        e.pending = 0;
        e.lastLogged = now;
        e.everLogged = true;
    }
}

void LookupServer::onTick(uv_timer_t* timer)
{
    auto& self = *static_cast<LookupServer*>(timer->data);
    self.flushEvents(false);
    // Forget addresses with no connection whose allowance is whole again.
    const std::uint64_t now = uv_now(&self.m_loop);
    const double refillMs = self.m_options.rateLimit > 0 ? 1000.0 * self.m_options.rateBurst / self.m_options.rateLimit : 0;
    for (auto it = self.m_clients.begin(); it != self.m_clients.end();) {
        if (it->second.connections == 0 && static_cast<double>(now - it->second.refilledAt) >= refillMs)
            it = self.m_clients.erase(it);
        else
            ++it;
    }
    ++self.m_ticks;
    const auto every = static_cast<std::uint64_t>(self.m_options.statsInterval.count());
    if (every > 0 && self.m_ticks % every == 0)
        self.m_log(self.statsLine(), LogPriority::Info);
}

std::string LookupServer::statsLine() const
{
    const ServerStats& s = m_stats;
    return "stats: " + std::to_string(s.lookups) + " lookups (" + std::to_string(s.found) + " found, " +
           std::to_string(s.notFound) + " not found, " + std::to_string(s.invalid) + " invalid, " +
           std::to_string(s.failed) + " failed), " + std::to_string(s.rateLimited) + " rate-limited, " +
           std::to_string(s.denied) + " denied, " + std::to_string(s.refused) + " refused for limits, " +
           std::to_string(s.dropped) + " clients dropped, " + std::to_string(m_connections) + " connections now";
}

void LookupServer::ended(Session* session)
{
    m_sessions.erase(session);
}

void LookupServer::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    flushEvents(true);
    if (m_tick.data) {
        closeHandle(reinterpret_cast<uv_handle_t*>(&m_tick));
    }
    for (auto& listener : m_listeners) {
        if (listener->open) {
            listener->open = false;
            closeHandle(reinterpret_cast<uv_handle_t*>(&listener->handle));
        }
    }
    // Sessions leave m_sessions only from their close callbacks, so the map
    // does not change while it is walked here.
    for (const auto& [key, session] : m_sessions)
        session->close();
}

} // namespace velmario::server
