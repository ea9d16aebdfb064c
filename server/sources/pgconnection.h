#pragma once
// One connection to an organisation's PostgreSQL, driven without blocking:
// every wait on the database has a deadline and ends at once when the
// server stops, so that neither a host that does not answer nor a query
// that never ends holds up a stop.

#include "source.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct pg_conn;
struct pg_result;

namespace velmario::server {

struct PgResultFree {
    void operator()(pg_result* result) const;
};
using PgResult = std::unique_ptr<pg_result, PgResultFree>;

struct PostgresSettings {
    std::string conninfo; // a libpq connection string or URI
    std::string query;    // three text columns: control number, name, telephone
    std::string channel;  // NOTIFY on it loads the directory again
    std::chrono::seconds timeout{}; // one load, connecting included
    bool allowEmpty = false;        // serve a query that gives no rows
    std::size_t maxEntries = SIZE_MAX; // a query that gives more is refused
};

class PostgresConnection
{
public:
    PostgresConnection() = default;
    ~PostgresConnection();
    PostgresConnection(const PostgresConnection&) = delete;
    PostgresConnection& operator=(const PostgresConnection&) = delete;

    // Connects and listens on the channel (not on a read replica, which
    // cannot). False with the reason (never the password) in `error`, and
    // `denied` set when the database refuses this server (see
    // pgConnectionDenied) rather than cannot be reached.
    bool open(const PostgresSettings& settings, Wake* wake, Clock::time_point deadline, std::string& error,
              bool& denied);
    void close();
    bool isOpen() const { return m_conn != nullptr; }
    bool isBad() const;
    pg_conn* get() const { return m_conn; }
    // "PostgreSQL database D on host H" for the log.
    std::string where() const;
    // The connection's last error, on one line.
    std::string lastError() const;

    enum class Wait { Ok, Failed, Stopped, TimedOut };
    // Sends one or more statements (apart by ";").
    bool send(const std::string& sql, std::string& error);
    // The next result of what was sent, or null once every one came. The
    // caller owns the result.
    Wait next(Wake* wake, Clock::time_point deadline, pg_result*& result);
    // The next row of a COPY TO STDOUT into `row` (freed by the caller with
    // PQfreemem), or null at its end.
    Wait copyRow(Wake* wake, Clock::time_point deadline, char*& row, int& length);
    // Reads what has come in; whether a NOTIFY was among it. False if the
    // connection is gone.
    bool takeNotifications(bool& notified);

private:
    Wait input(Wake* wake, Clock::time_point deadline);

    pg_conn* m_conn = nullptr;
};

// One line for the log: line breaks and tabs become single spaces.
std::string oneLine(const char* message);

// A failure to connect, as libpq gives it with verbose errors, made fit for
// the log (the SQLSTATE and the server's source location taken out); and
// whether it is one that trying again cannot mend: the server refuses the
// login, the database or the role (SQLSTATE classes 28, 3D, 42501), the
// certificate is not trusted or names another host, there is no password
// to give, or an option is wrong.
struct PgConnectFailure {
    std::string message;
    bool denied = false;
};
PgConnectFailure pgConnectFailure(std::string_view verbose);

} // namespace velmario::server
