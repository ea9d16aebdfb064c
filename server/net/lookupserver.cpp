#include "lookupserver.h"

#include "answer.h"
#include "descriptors.h"
#include "framing.h"

#include <algorithm>
#include <optional>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <new>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmario::server {
namespace {

// Floods of one kind of event are logged once in this long.
constexpr std::uint64_t kEventLogMs = 5000;
// Connections accepted per wake-up of a listener, so that a flood of them
// cannot hold up the requests of those already served.
constexpr int kAcceptBatch = 64;
// When the system can accept nothing (out of memory or of descriptors with
// none to spare), the listeners rest this long rather than spin.
constexpr std::uint64_t kAcceptPauseMs = 100;

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

// One short reply on a socket just accepted, then the close. The reply fits
// the empty send buffer, so nothing waits on the client.
void sayAndClose(int fd, const std::string& reply)
{
    (void)!::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
}

} // namespace

// One client connection. Its replies go out as they are made; when the
// client does not read them as fast as it asks, past --max-pending-bytes
// of unsent replies its requests are no longer read (the rest of a read
// is held by the framer) until it has read enough of them. A client that
// takes none of its replies for --send-timeout is dropped.
class Session
{
public:
    static constexpr int kSendBuffer = 64 * 1024;

    Session(LookupServer& server, std::uint64_t id)
        : m_server(server)
        , m_id(id)
        , m_framer(server.m_options.maxRequestBytes)
    {
        uv_tcp_init(&server.m_loop, &m_tcp);
        uv_timer_init(&server.m_loop, &m_timer);
        m_tcp.data = this;
        m_timer.data = this;
        m_write.data = this;
    }

    // Serves the accepted socket `fd`, admitted as `ticket`.
    bool start(int fd, Admission::Connection& ticket, const Address& address)
    {
        m_ticket = &ticket;
        m_address = address;
        if (uv_tcp_open(&m_tcp, fd) != 0) {
            ::close(fd);
            return false;
        }
        uv_tcp_nodelay(&m_tcp, 1);
        // A fixed send buffer bounds what the kernel holds for a client
        // that does not read; past it, replies wait in m_pending.
        int sendBuffer = kSendBuffer;
        uv_send_buffer_size(reinterpret_cast<uv_handle_t*>(&m_tcp), &sendBuffer);
        m_lastAnswer = now();
        armTimer(static_cast<std::uint64_t>(m_server.m_options.idleTimeout.count()));
        return startReading();
    }

    const Address& address() const { return m_address; }

    // Closed to make room for another address: the admission has already
    // let its place go.
    void displace()
    {
        m_ticket = nullptr;
        const std::string& reply = fixedReply(kBusy);
        uv_buf_t buffer = uv_buf_init(const_cast<char*>(reply.data()), static_cast<unsigned>(reply.size()));
        if (!m_writeActive)
            uv_try_write(stream(), &buffer, 1);
        close();
    }

    void close()
    {
        if (m_closed)
            return;
        m_closed = true;
        if (m_ticket) {
            m_server.m_admission.release(*m_ticket);
            m_ticket = nullptr;
        }
        // A write still queued is cancelled; its callback runs before the
        // handle's close callback, while the session still lives.
        uv_close(reinterpret_cast<uv_handle_t*>(&m_tcp), onClosed);
        uv_close(reinterpret_cast<uv_handle_t*>(&m_timer), onClosed);
    }

private:
    static Session& of(const void* handleOrRequest)
    {
        return *static_cast<Session*>(static_cast<const uv_handle_t*>(handleOrRequest)->data);
    }

    uv_stream_t* stream() { return reinterpret_cast<uv_stream_t*>(&m_tcp); }
    std::uint64_t now() const { return uv_now(&m_server.m_loop); }
    std::size_t unsent() const { return m_pending.size() + m_writing.size(); }

    // Bytes written but not yet taken by the client: those libuv still
    // holds and those in the kernel's send queue. libuv alone would show
    // a slow reader as one that does not read, as the kernel lets it write
    // again only once a third of the send buffer is free.
    std::size_t untaken()
    {
        uv_os_fd_t fd = -1;
        int inKernel = 0;
        if (uv_fileno(reinterpret_cast<uv_handle_t*>(&m_tcp), &fd) != 0 || ::ioctl(fd, SIOCOUTQ, &inKernel) != 0)
            inKernel = 0;
        return uv_stream_get_write_queue_size(stream()) + static_cast<std::size_t>(std::max(inKernel, 0));
    }
    bool overLimit() const { return unsent() > m_server.m_options.maxPendingBytes; }

    bool startReading()
    {
        if (m_reading)
            return true;
        // libuv reads until a read comes back short, so each request costs
        // one read, never a failed one.
        m_reading = uv_read_start(stream(), onAlloc, onRead) == 0;
        return m_reading;
    }

    void stopReading()
    {
        if (m_reading)
            uv_read_stop(stream());
        m_reading = false;
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
            const std::string_view bytes(buffer->base, static_cast<std::size_t>(n));
            const bool filled = static_cast<std::size_t>(n) == buffer->len;
            self.serve([&](auto&& respond) { return self.m_framer.feed(bytes, filled, respond); });
        } else if (n == UV_EOF) {
            // The client has said all it will; what it asked is still owed.
            self.m_readEnded = true;
            self.serve([](auto&&) { return RequestFramer::Verdict::Ok; });
        } else if (n < 0) {
            self.close(); // reset or other failure
        }
    }

    // Runs `frame` (a read fed to the framer, or nothing new), answers the
    // requests it yields while the client keeps up, sends, and reads on
    // only while nothing is held back.
    template <class Frame>
    void serve(Frame&& frame)
    {
        const auto respondWhileRead = [this](std::string_view request) {
            respond(request);
            return !overLimit();
        };
        try {
            auto verdict = frame(respondWhileRead);
            for (;;) {
                if (verdict == RequestFramer::Verdict::TooLong) {
                    // One answer saying so, then the close, as for any
                    // request over the limit.
                    ++m_server.m_stats.invalid;
                    m_pending += fixedReply(kInvalidRequest);
                    m_readEnded = true;
                }
                flush();
                if (m_closed)
                    return;
                if (verdict != RequestFramer::Verdict::Held || overLimit())
                    break;
                verdict = m_framer.resume(respondWhileRead);
            }
        } catch (const std::bad_alloc&) {
            close();
            return;
        }
        if (!m_readEnded && !m_framer.holding() && !overLimit()) {
            if (!startReading())
                close();
        } else {
            if (m_reading && !m_readEnded)
                ++m_server.m_stats.paused;
            stopReading();
        }
        if (m_readEnded && !m_framer.holding() && unsent() == 0)
            close();
    }

    void respond(std::string_view request)
    {
        ServerStats& stats = m_server.m_stats;
        ++stats.lookups;
        m_lastAnswer = now();
        Admission::touch(*m_ticket, m_lastAnswer);
        if (!m_server.m_admission.takeLookup(*m_ticket, m_lastAnswer)) {
            ++stats.rateLimited;
            m_server.note(LookupServer::Event::RateLimited, addressText(m_address));
            m_pending += fixedReply(kTooManyLookups);
            return;
        }
        switch (answer(m_server.table(), request, m_server.m_options.maxRequestBytes, m_pending)) {
        case Outcome::Found: ++stats.found; break;
        case Outcome::NotFound: ++stats.notFound; break;
        case Outcome::Invalid: ++stats.invalid; break;
        case Outcome::Failed:
            ++stats.failed;
            m_server.note(LookupServer::Event::ReadFailed, addressText(m_address));
            break;
        case Outcome::Changed:
            ++stats.failed;
            m_server.tableChanged();
            break;
        case Outcome::Nothing: --stats.lookups; break;
        }
    }

    // Writes what is pending: straight away if the socket takes it, which is
    // nearly always; otherwise queued until the client reads.
    void flush()
    {
        if (m_writeActive || m_pending.empty())
            return;
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
            return;
        }
        // From now on the timer also watches that the client reads.
        m_lastProgress = now();
        m_untakenAtCheck = untaken();
        const auto sendTimeout = static_cast<std::uint64_t>(m_server.m_options.sendTimeout.count());
        if (uv_timer_get_due_in(&m_timer) > sendTimeout)
            armTimer(sendTimeout);
    }

    static void onWritten(uv_write_t* request, int status)
    {
        Session& self = *static_cast<Session*>(request->data);
        self.m_writeActive = false;
        self.m_writing.clear();
        if (self.m_closed)
            return;
        if (status < 0) {
            self.close();
            return;
        }
        self.m_lastProgress = self.now();
        // What was held back can go on now.
        self.serve([&self](auto&&) {
            return self.m_framer.holding() ? RequestFramer::Verdict::Held : RequestFramer::Verdict::Ok;
        });
    }

    // One timer per connection, re-armed only when it fires: an answer just
    // moves m_lastAnswer, the loop's cached clock, which costs nothing per
    // request. Bytes that get no answer (white space) keep nothing alive.
    // While replies wait to be written it also checks that the client
    // takes some of them.
    void armTimer(std::uint64_t afterMs)
    {
        uv_timer_start(&m_timer, onTimer, afterMs, 0);
    }

    static void onTimer(uv_timer_t* timer)
    {
        Session& self = of(timer);
        if (self.m_closed)
            return;
        const std::uint64_t now = self.now();
        const auto& options = self.m_server.m_options;
        const auto sendTimeout = static_cast<std::uint64_t>(options.sendTimeout.count());
        if (self.m_writeActive) {
            const std::size_t untaken = self.untaken();
            if (untaken < self.m_untakenAtCheck)
                self.m_lastProgress = now;
            self.m_untakenAtCheck = untaken;
            if (now - self.m_lastProgress >= sendTimeout) {
                ++self.m_server.m_stats.dropped;
                self.m_server.note(LookupServer::Event::Dropped, addressText(self.m_address));
                self.close();
                return;
            }
        }
        const std::uint64_t idleFor = now - self.m_lastAnswer;
        const auto limit = static_cast<std::uint64_t>(options.idleTimeout.count());
        if (idleFor >= limit) {
            self.close();
            return;
        }
        std::uint64_t next = limit - idleFor;
        if (self.m_writeActive)
            next = std::min(next, sendTimeout - (now - self.m_lastProgress));
        self.armTimer(next);
    }

    static void onClosed(uv_handle_t* handle)
    {
        Session& self = of(handle);
        if (--self.m_handlesOpen == 0)
            self.m_server.ended(self.m_id); // deletes the session
    }

    LookupServer& m_server;
    const std::uint64_t m_id;
    uv_tcp_t m_tcp{};
    uv_timer_t m_timer{};
    uv_write_t m_write{};
    RequestFramer m_framer;
    Admission::Connection* m_ticket = nullptr; // while the session counts
    Address m_address{};
    std::string m_pending;
    std::string m_writing;
    std::uint64_t m_lastAnswer = 0;
    std::uint64_t m_lastProgress = 0; // when the client last took some of its replies
    std::size_t m_untakenAtCheck = 0;
    int m_handlesOpen = 2;
    bool m_reading = false;
    bool m_writeActive = false;
    bool m_readEnded = false;
    bool m_closed = false;
};

namespace {

AdmissionLimits admissionLimits(const ServerOptions& o)
{
    AdmissionLimits limits;
    limits.maxConnections = o.maxConnections;
    limits.maxConnectionsPerAddress = o.maxConnectionsPerAddress;
    limits.busyConnections = o.maxConnections * o.busyPercent / 100;
    limits.ipv6PrefixLength = o.ipv6PrefixLength;
    limits.allow = o.allow;
    limits.rateLimit = o.rateLimit;
    limits.rateBurst = o.rateBurst;
    return limits;
}

} // namespace

LookupServer::LookupServer(uv_loop_t& loop, ServerOptions options, std::shared_ptr<const ReplyTable> table, Log log)
    : m_loop(loop)
    , m_options(std::move(options))
    , m_table(std::move(table))
    , m_log(std::move(log))
    , m_admission(admissionLimits(m_options))
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
    handle->data = this;
    uv_close(handle, [](uv_handle_t* closed) { --static_cast<LookupServer*>(closed->data)->m_openHandles; });
}

bool LookupServer::bind(const sockaddr* address, bool dualStack, std::string& error)
{
    const bool v6 = address->sa_family == AF_INET6;
    const auto length = static_cast<socklen_t>(v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int rc = fd < 0 ? -errno : 0;
    const int one = 1;
    const int v6Only = dualStack ? 0 : 1;
    if (rc == 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        rc = -errno;
    if (rc == 0 && v6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only) != 0)
        rc = -errno;
    if (rc == 0 && ::bind(fd, address, length) != 0)
        rc = -errno;
    if (rc == 0 && ::listen(fd, SOMAXCONN) != 0)
        rc = -errno;
    if (rc != 0) {
        if (fd >= 0)
            ::close(fd);
        sockaddr_storage copy{};
        std::memcpy(&copy, address, length);
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
        return false;
    }
    // The server accepts for itself rather than through uv_listen, so that
    // out of descriptors it can still tell a client it is busy.
    auto listener = std::make_unique<Listener>();
    listener->server = this;
    listener->fd = fd;
    uv_poll_init_socket(&m_loop, &listener->poll, fd);
    listener->poll.data = listener.get();
    listener->open = true;
    ++m_openHandles;
    uv_poll_start(&listener->poll, UV_READABLE, onListenerReady);
    m_listeners.push_back(std::move(listener));
    return true;
}

bool LookupServer::start(std::string& error)
{
    uv_timer_init(&m_loop, &m_tick);
    m_tick.data = this;
    ++m_openHandles;
    uv_timer_start(&m_tick, onTick, 1000, 1000);
    uv_timer_init(&m_loop, &m_acceptAgain);
    m_acceptAgain.data = this;
    ++m_openHandles;
    bool bound = false;
    if (m_options.listen.empty()) {
        // One dual-stack socket serves IPv4 and IPv6; without IPv6, IPv4 only.
        sockaddr_in6 any6{};
        uv_ip6_addr("::", m_options.port, &any6);
        std::string v6Error;
        bound = bind(reinterpret_cast<const sockaddr*>(&any6), true, v6Error);
        if (!bound) {
            sockaddr_in any4{};
            uv_ip4_addr("0.0.0.0", m_options.port, &any4);
            bound = bind(reinterpret_cast<const sockaddr*>(&any4), false, error);
        }
    } else {
        sockaddr_in v4{};
        sockaddr_in6 v6{};
        if (uv_ip4_addr(m_options.listen.c_str(), m_options.port, &v4) == 0)
            bound = bind(reinterpret_cast<const sockaddr*>(&v4), false, error);
        else if (uv_ip6_addr(m_options.listen.c_str(), m_options.port, &v6) == 0)
            bound = bind(reinterpret_cast<const sockaddr*>(&v6), false, error);
        else
            error = "'" + m_options.listen + "' is not an IPv4 or IPv6 address.";
    }
    return bound && limitToDescriptors(error);
}

bool LookupServer::limitToDescriptors(std::string& error)
{
    m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    // libuv keeps a descriptor of its own from a loop's first stream on:
    // have it open now, so that it is counted rather than taken later from
    // the connections' share.
    uv_tcp_init(&m_loop, &m_firstStream);
    ++m_openHandles;
    closeHandle(reinterpret_cast<uv_handle_t*>(&m_firstStream));
    const std::uint64_t limit = descriptorLimit();
    const std::size_t open = openDescriptors(limit);
    const std::size_t room = connectionsWithin(limit, open, m_options.reservedDescriptors);
    if (room == 0) {
        error = "only " + std::to_string(limit) + " file descriptors are allowed, " + std::to_string(open) +
                " are open and --reserved-descriptors keeps back " + std::to_string(m_options.reservedDescriptors) +
                ": none are left for connections. Raise the limit (ulimit -n, LimitNOFILE=).";
        return false;
    }
    if (room < m_options.maxConnections) {
        m_log("serving at most " + std::to_string(room) + " connections at once rather than " +
              std::to_string(m_options.maxConnections) + ": only " + std::to_string(limit) +
              " file descriptors are allowed, " + std::to_string(open) + " are open and " +
              std::to_string(m_options.reservedDescriptors) + " are kept back (--reserved-descriptors)",
              LogPriority::Warning);
        m_options.maxConnections = room;
        m_admission.setConnectionLimits(room, room * m_options.busyPercent / 100);
    }
    return true;
}

std::vector<std::string> LookupServer::listeningOn() const
{
    std::vector<std::string> where;
    for (const auto& listener : m_listeners) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (listener->open && ::getsockname(listener->fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            where.push_back(describe(address));
    }
    return where;
}

void LookupServer::onListenerReady(uv_poll_t* poll, int status, int)
{
    Listener& listener = *static_cast<Listener*>(poll->data);
    LookupServer& self = *listener.server;
    for (int i = 0; i < kAcceptBatch && !self.m_stopped && listener.open; ++i) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = status < 0 ? -1
                                  : ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &length,
                                              SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (!self.acceptFailed(listener, status < 0 ? -status : errno))
                return;
            continue;
        }
        try {
            self.accepted(fd, peer);
        } catch (const std::bad_alloc&) {
            ::close(fd);
            ++self.m_stats.acceptFailed;
            self.note(Event::AcceptFailed, "out of memory");
        }
    }
}

// Whether to go on accepting after accept4 failed with `error`.
bool LookupServer::acceptFailed(Listener& listener, int error)
{
    switch (error) {
    case EAGAIN: return false; // none waiting
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM: return true; // that one connection only
    case EMFILE:
    case ENFILE:
        if (m_spareFd >= 0 && answerBusyWithSpare(listener))
            return m_spareFd >= 0;
        if (errno == EAGAIN)
            return false;
        break;
    default: break;
    }
    ++m_stats.acceptFailed;
    note(Event::AcceptFailed, std::strerror(error));
    pauseAccepting();
    return false;
}

// Out of descriptors: frees the spare one to take a waiting connection and
// tell it the server is busy, then holds it again. False if none could be
// taken.
bool LookupServer::answerBusyWithSpare(Listener& listener)
{
    ::close(m_spareFd);
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    const int acceptError = errno;
    if (fd >= 0)
        sayAndClose(fd, fixedReply(kBusy));
    // Only now: the refused connection held the spare's place until closed.
    m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errno = acceptError;
        return false;
    }
    const std::optional<Address> from = addressOf(reinterpret_cast<const sockaddr&>(peer));
    ++m_stats.refused;
    ++m_stats.refusedDescriptors;
    note(Event::RefusedDescriptors, from ? addressText(*from) : "?");
    return true;
}

void LookupServer::pauseAccepting()
{
    for (auto& listener : m_listeners) {
        if (listener->open)
            uv_poll_stop(&listener->poll);
    }
    uv_timer_start(&m_acceptAgain, [](uv_timer_t* timer) {
        auto& self = *static_cast<LookupServer*>(timer->data);
        if (self.m_spareFd < 0)
            self.m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        for (auto& listener : self.m_listeners) {
            if (listener->open && !self.m_stopped)
                uv_poll_start(&listener->poll, UV_READABLE, onListenerReady);
        }
    }, kAcceptPauseMs, 0);
}

void LookupServer::refuse(int fd, Event why, const Address& from)
{
    ++m_stats.refused;
    ++(why == Event::RefusedBusy ? m_stats.refusedBusy : m_stats.refusedPerAddress);
    note(why, addressText(from));
    sayAndClose(fd, fixedReply(kBusy));
}

void LookupServer::accepted(int fd, const sockaddr_storage& peer)
{
    const std::optional<Address> address = addressOf(reinterpret_cast<const sockaddr&>(peer));
    if (!address) {
        ::close(fd);
        return;
    }
    const std::uint64_t id = ++m_lastSession;
    const Admission::Decision decision = m_admission.admit(*address, id, uv_now(&m_loop));
    switch (decision.verdict) {
    case Admission::Verdict::Denied:
        ++m_stats.denied;
        note(Event::Denied, addressText(*address));
        ::close(fd);
        return;
    case Admission::Verdict::Busy: refuse(fd, Event::RefusedBusy, *address); return;
    case Admission::Verdict::BusyForAddress: refuse(fd, Event::RefusedAddress, *address); return;
    case Admission::Verdict::Admitted: break;
    }
    if (decision.displaced != 0) {
        if (const auto it = m_sessions.find(decision.displaced); it != m_sessions.end()) {
            ++m_stats.displaced;
            note(Event::Displaced, addressText(it->second->address()));
            it->second->displace();
        }
    }
    auto owned = std::make_unique<Session>(*this, id);
    Session* session = owned.get();
    m_sessions.emplace(id, std::move(owned));
    ++m_stats.accepted;
    if (!session->start(fd, *decision.connection, *address))
        session->close();
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
        const std::string count = std::to_string(e.pending);
        std::string line;
        // Denied, refused per address, rate-limited and dropped clients are
        // the limits at work; a full server or an unreadable file is not.
        LogPriority priority = LogPriority::Notice;
        switch (static_cast<Event>(i)) {
        case Event::RefusedBusy:
            priority = LogPriority::Warning;
            line.append("refused ").append(count).append(" connection(s): ");
            line.append(std::to_string(m_options.maxConnections)).append(" connections already open");
            break;
        case Event::RefusedAddress:
            line.append("refused ").append(count).append(" connection(s): ");
            line.append(std::to_string(m_options.maxConnectionsPerAddress));
            line.append(" connections already open from one address while the server is busy");
            break;
        case Event::RefusedDescriptors:
            line.append("refused ").append(count).append(" connection(s): out of file descriptors");
            break;
        case Event::Displaced:
            line.append("closed ").append(count);
            line.append(" idle connection(s) of the address holding the most, to serve another");
            break;
        case Event::Denied:
            line.append("denied ").append(count).append(" connection(s) from addresses not allowed");
            break;
        case Event::RateLimited:
            line.append("answered ").append(count).append(" lookup(s) over the limit of ");
            line.append(std::to_string(int(m_options.rateLimit))).append(" per second");
            break;
        case Event::Dropped:
            line.append("dropped ").append(count).append(" client(s) that did not read their replies");
            break;
        case Event::ReadFailed:
            priority = LogPriority::Error;
            line.append(count);
            line.append(" lookup(s) failed: the database file cannot be read (changed under the server or damaged); "
                        "rename a new file over it and send SIGHUP");
            break;
        case Event::AcceptFailed:
            line.append("could not accept ").append(count).append(" connection(s) (last: ").append(e.lastFrom).append(")");
            break;
        case Event::Count: break;
        }
        if (static_cast<Event>(i) != Event::AcceptFailed)
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
    self.m_admission.forget(uv_now(&self.m_loop));
    ++self.m_ticks;
    const auto every = static_cast<std::uint64_t>(self.m_options.statsInterval.count());
    if (every > 0 && self.m_ticks % every == 0)
        self.m_log(self.statsLine(), LogPriority::Info);
}

void LookupServer::tableChanged()
{
    if (m_tableChangedSaid)
        return;
    m_tableChangedSaid = true;
    m_log("the table of replies changed on disk since it was checked: its lookups fail until it is loaded and "
          "checked again, which starts now",
          LogPriority::Error);
    if (m_tableChanged)
        m_tableChanged();
}

std::string LookupServer::statsLine() const
{
    const ServerStats& s = m_stats;
    return "stats: " + std::to_string(s.lookups) + " lookups (" + std::to_string(s.found) + " found, " +
           std::to_string(s.notFound) + " not found, " + std::to_string(s.invalid) + " invalid, " +
           std::to_string(s.failed) + " failed), " + std::to_string(s.rateLimited) + " rate-limited, " +
           std::to_string(s.denied) + " denied, " + std::to_string(s.refused) + " refused for limits, " +
           std::to_string(s.dropped) + " clients dropped, " + std::to_string(connectionCount()) +
           " connections now; " + std::to_string(s.accepted) + " accepted, refused " +
           std::to_string(s.refusedBusy) + " at the limit, " + std::to_string(s.refusedPerAddress) + " per address, " +
           std::to_string(s.refusedDescriptors) + " out of descriptors, " + std::to_string(s.displaced) +
           " displaced, " + std::to_string(s.paused) + " paused for unread replies";
}

void LookupServer::ended(std::uint64_t session)
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
        closeHandle(reinterpret_cast<uv_handle_t*>(&m_acceptAgain));
    }
    for (auto& listener : m_listeners) {
        if (listener->open) {
            listener->open = false;
            // Closing the handle stops watching the socket at once.
            closeHandle(reinterpret_cast<uv_handle_t*>(&listener->poll));
            ::close(listener->fd);
        }
    }
    if (m_spareFd >= 0) {
        ::close(m_spareFd);
        m_spareFd = -1;
    }
    // Sessions leave m_sessions only from their close callbacks, so the map
    // does not change while it is walked here.
    for (const auto& [key, session] : m_sessions)
        session->close();
}

} // namespace velmario::server
