#pragma once
// The directory served straight from an organisation's PostgreSQL database:
// the rows of a query, checked by the import's rules and held in memory as
// ready replies, loaded again on NOTIFY, every few minutes and on SIGHUP.

#include "reloader.h"

#include <uv.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct pg_conn;

namespace velmario::server {

class LookupServer;

struct PostgresSettings {
    std::string conninfo; // a libpq connection string or URI
    std::string query;    // three text columns: control number, name, telephone
    std::string channel;  // NOTIFY on it loads the directory again
    std::chrono::seconds refresh{};        // 0: only on NOTIFY and SIGHUP
    std::chrono::seconds startupTimeout{}; // how long to wait for the database at start
};

// One connection to the database, closed with the object.
class PostgresConnection
{
public:
    PostgresConnection() = default;
    ~PostgresConnection();
    PostgresConnection(const PostgresConnection&) = delete;
    PostgresConnection& operator=(const PostgresConnection&) = delete;

    // Connects and listens on the channel; false with the reason (never
    // the password) in `error`. A byte on `wakeFd` while `stopping` is set
    // gives up at once rather than waiting out an unreachable host.
    bool open(const PostgresSettings& settings, std::string& error, int wakeFd = -1,
              const std::atomic<bool>* stopping = nullptr);
    void close();
    bool isOpen() const { return m_conn != nullptr; }
    pg_conn* get() const { return m_conn; }
    // "database D on host H" for the log.
    std::string where() const;

private:
    pg_conn* m_conn = nullptr;
};

// Runs the query and builds the directory. Nothing, with the reason in
// `error`, when the database fails (then `lost` says whether the connection
// itself is gone) or when rows break the rules (each named in `error`).
std::unique_ptr<Directory> loadFromPostgres(PostgresConnection& connection, const std::string& query,
                                            std::string& error, bool& lost);

// At start: connects, listens and loads, retrying until the start-up
// timeout. The connection stays open for the source to go on with.
OpenedDirectory openPostgres(const PostgresSettings& settings, PostgresConnection& connection);

// While serving: a thread that waits on the connection for NOTIFY, on a
// timer for the refresh and on SIGHUP, loads the directory off the loop and
// hands it to the server on the loop. A lost database never stops
// serving: the last good directory keeps answering while the thread
// reconnects with backoff (1 s doubling up to 30 s), listens again and
// loads once it is back.
class PostgresSource final : public DirectorySource
{
public:
    PostgresSource(uv_loop_t& loop, LookupServer& server, PostgresSettings settings,
                   std::unique_ptr<PostgresConnection> connection);
    ~PostgresSource();
    PostgresSource(const PostgresSource&) = delete;
    PostgresSource& operator=(const PostgresSource&) = delete;

    void request() override;
    void close() override;

private:
    void run();
    void wake();
    bool waitFor(std::chrono::steady_clock::time_point until, bool& notified);
    void loaded();

    LookupServer& m_server;
    const PostgresSettings m_settings;
    std::unique_ptr<PostgresConnection> m_connection; // the thread's own
    uv_async_t m_done{};
    int m_wake[2] = {-1, -1}; // a pipe: a byte on it wakes the thread
    std::atomic<bool> m_reload{false};
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::unique_ptr<Directory> m_result; // guarded by m_mutex
    std::string m_description;           // guarded by m_mutex
    std::thread m_thread;
};

} // namespace velmario::server
