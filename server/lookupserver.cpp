#include "lookupserver.h"

#include "answer.h"

#include <array>
#include <cstdio>

namespace velmario::server {

using asio::ip::tcp;

class Session : public std::enable_shared_from_this<Session>
{
public:
    static constexpr int kSendBuffer = 64 * 1024;

    Session(LookupServer& server, tcp::socket socket)
        : m_server(server)
        , m_socket(std::move(socket))
        , m_idle(m_socket.get_executor())
    {
    }

    void start()
    {
        asio::error_code ignored;
        m_socket.set_option(tcp::no_delay(true), ignored);
        // A fixed send buffer bounds what the kernel holds for a client
        // that does not read; past it, replies wait in m_pending.
        m_socket.set_option(asio::socket_base::send_buffer_size(kSendBuffer), ignored);
        m_lastActivity = std::chrono::steady_clock::now();
        armIdle(m_server.m_options.idleTimeout);
        read();
    }

    void close()
    {
        if (m_closed)
            return;
        m_closed = true;
        asio::error_code ignored;
        m_socket.close(ignored);
        m_idle.cancel();
        m_server.ended(this);
    }

private:
    void read()
    {
        m_socket.async_read_some(asio::buffer(m_buffer), [self = shared_from_this()](asio::error_code ec, std::size_t n) {
            if (self->m_closed)
                return;
            if (ec) {
                self->close();
                return;
            }
            self->m_lastActivity = std::chrono::steady_clock::now();
            if (!self->respond(std::string_view(self->m_buffer.data(), n)))
                return;
            self->read();
        });
    }

    // Queues the reply to one request; false if that closed the connection.
    bool respond(std::string_view request)
    {
        if (!answer(m_server.directory(), request, m_server.m_options.maxRequestBytes, m_pending))
            return true;
        if (m_pending.size() + m_writing.size() > m_server.m_options.maxPendingBytes) {
            // A client that sends but never reads would make us hold its
            // replies without end.
            close();
            return false;
        }
        if (!m_writeActive)
            flush();
        return true;
    }

    void flush()
    {
        m_writing.swap(m_pending);
        m_pending.clear();
        m_writeActive = true;
        asio::async_write(m_socket, asio::buffer(m_writing), [self = shared_from_this()](asio::error_code ec, std::size_t) {
            self->m_writeActive = false;
            self->m_writing.clear();
            if (self->m_closed)
                return;
            if (ec) {
                self->close();
                return;
            }
            if (!self->m_pending.empty())
                self->flush();
        });
    }

    // One timer per connection, re-armed only when it fires: activity just
    // moves m_lastActivity, which costs nothing per request.
    void armIdle(std::chrono::steady_clock::duration after)
    {
        m_idle.expires_after(after);
        m_idle.async_wait([self = shared_from_this()](asio::error_code ec) {
            if (ec || self->m_closed)
                return;
            const auto idleFor = std::chrono::steady_clock::now() - self->m_lastActivity;
            const auto limit = self->m_server.m_options.idleTimeout;
            if (idleFor >= limit)
                self->close();
            else
                self->armIdle(limit - idleFor);
        });
    }

    LookupServer& m_server;
    tcp::socket m_socket;
    asio::steady_timer m_idle;
    std::array<char, 4096> m_buffer{};
    std::string m_pending;
    std::string m_writing;
    bool m_writeActive = false;
    bool m_closed = false;
    std::chrono::steady_clock::time_point m_lastActivity;
};

LookupServer::LookupServer(asio::io_context& io, ServerOptions options, std::shared_ptr<Directory> directory, Log log)
    : m_io(io)
    , m_options(std::move(options))
    , m_directory(std::move(directory))
    , m_log(std::move(log))
    , m_acceptRetry(io)
{
}

LookupServer::~LookupServer()
{
    try {
        stop();
    } catch (const std::exception& e) {
        // Only a failing timer cancel can throw here; the process is ending
        // and its descriptors close with it.
        std::fprintf(stderr, "velmario-server: while stopping: %s\n", e.what());
    }
}

bool LookupServer::bind(const tcp::endpoint& endpoint, bool dualStack, std::string& error)
{
    auto acceptor = std::make_unique<tcp::acceptor>(m_io);
    asio::error_code ec;
    acceptor->open(endpoint.protocol(), ec);
    if (!ec && endpoint.address().is_v6())
        acceptor->set_option(asio::ip::v6_only(!dualStack), ec);
    if (!ec)
        acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor->bind(endpoint, ec);
    if (!ec)
        acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        const std::string where = endpoint.address().to_string() + " port " + std::to_string(endpoint.port());
        if (ec == asio::error::access_denied) {
            error = "cannot listen on " + where + ": permission denied. Ports below 1024 need root or the "
                    "CAP_NET_BIND_SERVICE capability: run it as root, grant the capability with "
                    "'setcap cap_net_bind_service=+ep velmario-server', or choose a port above 1023 with --port.";
        } else if (ec == asio::error::address_in_use) {
            error = "cannot listen on " + where + ": the port is already in use by another program.";
        } else {
            error = "cannot listen on " + where + ": " + ec.message() + ".";
        }
        return false;
    }
    m_acceptors.push_back(std::move(acceptor));
    return true;
}

bool LookupServer::start(std::string& error)
{
    if (m_options.listen.empty()) {
        // One dual-stack socket serves IPv4 and IPv6; without IPv6, IPv4 only.
        std::string v6Error;
        if (!bind(tcp::endpoint(asio::ip::address_v6::any(), m_options.port), true, v6Error)) {
            if (!bind(tcp::endpoint(asio::ip::address_v4::any(), m_options.port), false, error)) {
                return false;
            }
        }
    } else {
        asio::error_code ec;
        const auto address = asio::ip::make_address(m_options.listen, ec);
        if (ec) {
            error = "'" + m_options.listen + "' is not an IPv4 or IPv6 address.";
            return false;
        }
        if (!bind(tcp::endpoint(address, m_options.port), false, error))
            return false;
    }
    for (auto& acceptor : m_acceptors)
        accept(*acceptor);
    return true;
}

std::vector<tcp::endpoint> LookupServer::localEndpoints() const
{
    std::vector<tcp::endpoint> endpoints;
    for (const auto& acceptor : m_acceptors) {
        asio::error_code ec;
        const auto endpoint = acceptor->local_endpoint(ec);
        if (!ec)
            endpoints.push_back(endpoint);
    }
    return endpoints;
}

void LookupServer::accept(tcp::acceptor& acceptor)
{
    acceptor.async_accept([this, &acceptor](asio::error_code ec, tcp::socket socket) {
        if (m_stopped)
            return;
        if (ec) {
            if (ec == asio::error::operation_aborted)
                return;
            // Out of descriptors or memory: try again shortly rather than spin.
            m_log("cannot accept a connection: " + ec.message());
            m_acceptRetry.expires_after(std::chrono::milliseconds(100));
            m_acceptRetry.async_wait([this, &acceptor](asio::error_code waitError) {
                if (!waitError && !m_stopped)
                    accept(acceptor);
            });
            return;
        }
        if (m_sessions.size() >= m_options.maxConnections) {
            ++m_refused;
            asio::error_code ignored;
            const auto peer = socket.remote_endpoint(ignored);
            socket.close(ignored);
            m_log("refused a connection from " + peer.address().to_string() + ": " +
                  std::to_string(m_options.maxConnections) + " connections already open");
        } else {
            auto session = std::make_shared<Session>(*this, std::move(socket));
            m_sessions.emplace(session.get(), session);
            session->start();
        }
        accept(acceptor);
    });
}

void LookupServer::ended(Session* session)
{
    // The session's own handlers keep it alive until they return.
    m_sessions.erase(session);
}

void LookupServer::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    asio::error_code ignored;
    m_acceptRetry.cancel();
    for (auto& acceptor : m_acceptors)
        acceptor->close(ignored);
    // Closing a session removes it from m_sessions: walk a moved-out copy.
    const auto sessions = std::move(m_sessions);
    m_sessions.clear();
    for (const auto& [key, session] : sessions)
        session->close();
}

} // namespace velmario::server
