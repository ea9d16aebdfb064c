#pragma once
// The lookup service: TCP connections kept open, each read of bytes one
// request, each request one reply. Single-threaded and event-driven, on a
// libuv loop.

#include "directory.h"

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
    std::size_t maxRequestBytes = 0;
    std::chrono::milliseconds idleTimeout{};
    std::size_t maxPendingBytes = 0;      // unsent replies before a client is dropped
};

class Session;

class LookupServer
{
public:
    using Log = std::function<void(const std::string&)>;

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
    std::size_t refusedCount() const { return m_refused; }
    // "ADDRESS port N" for every socket listening.
    std::vector<std::string> listeningOn() const;

private:
    friend class Session;
    struct Listener {
        uv_tcp_t handle{};
        bool open = false;
    };

    bool bind(const sockaddr* address, bool dualStack, std::string& error);
    static void onConnection(uv_stream_t* listener, int status);
    void accepted(uv_stream_t* listener);
    void refuse(uv_stream_t* listener);
    void ended(Session* session);
    void closeHandle(uv_handle_t* handle);

    uv_loop_t& m_loop;
    ServerOptions m_options;
    std::shared_ptr<Directory> m_directory;
    Log m_log;
    std::vector<std::unique_ptr<Listener>> m_listeners;
    std::unordered_map<Session*, std::unique_ptr<Session>> m_sessions;
    // Requests are read here: each is answered before the next read.
    std::array<char, 4096> m_readBuffer{};
    std::size_t m_openHandles = 0; // listeners still open or closing
    std::size_t m_connections = 0; // sessions not yet closing
    std::size_t m_refused = 0;
    std::uint64_t m_lastAcceptErrorLog = 0;
    bool m_stopped = false;
};

} // namespace velmario::server
