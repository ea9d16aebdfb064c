#pragma once
// The lookup service: TCP connections kept open, each read of bytes one
// request, each request one reply. Single-threaded and event-driven.

#include "directory.h"

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmario::server {

struct ServerOptions {
    std::string listen;                     // empty: every address, IPv4 and IPv6
    std::uint16_t port = 1007;
    std::size_t maxConnections = 1024;
    std::size_t maxRequestBytes = 256;
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(300);
    std::size_t maxPendingBytes = 64 * 1024; // unsent replies before a client is dropped
};

class Session;

class LookupServer
{
public:
    using Log = std::function<void(const std::string&)>;

    LookupServer(asio::io_context& io, ServerOptions options, std::shared_ptr<Directory> directory, Log log);
    ~LookupServer();

    // Binds and starts accepting. False with a message fit for the user if
    // the address cannot be bound.
    bool start(std::string& error);
    // Stops accepting and closes every connection.
    void stop();

    // Serves from another directory from the next request on; connections
    // stay open.
    void setDirectory(std::shared_ptr<Directory> directory) { m_directory = std::move(directory); }
    Directory& directory() { return *m_directory; }

    const ServerOptions& options() const { return m_options; }
    std::size_t connectionCount() const { return m_sessions.size(); }
    std::size_t refusedCount() const { return m_refused; }
    std::vector<asio::ip::tcp::endpoint> localEndpoints() const;

private:
    friend class Session;
    bool bind(const asio::ip::tcp::endpoint& endpoint, bool dualStack, std::string& error);
    void accept(asio::ip::tcp::acceptor& acceptor);
    void ended(Session* session);

    asio::io_context& m_io;
    ServerOptions m_options;
    std::shared_ptr<Directory> m_directory;
    Log m_log;
    std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> m_acceptors;
    std::unordered_map<Session*, std::shared_ptr<Session>> m_sessions;
    asio::steady_timer m_acceptRetry;
    std::size_t m_refused = 0;
    bool m_stopped = false;
};

} // namespace velmario::server
