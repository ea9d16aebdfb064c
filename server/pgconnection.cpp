#include "pgconnection.h"

#include "log.h"

#include <libpq-fe.h>

#include <poll.h>

#include <memory>

namespace velmario::server {
namespace {

// A dead peer is noticed by TCP within about a minute, even while no load
// runs: keepalives, and a user timeout for data sent and never
// acknowledged. What the connection string says overrides these.
constexpr const char* kKeywords[] = {"application_name", "client_encoding", "keepalives", "keepalives_idle",
                                     "keepalives_interval", "keepalives_count", "tcp_user_timeout", "dbname",
                                     nullptr};

} // namespace

void PgResultFree::operator()(pg_result* result) const
{
    PQclear(result);
}

std::string oneLine(const char* message)
{
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    std::string line;
    for (const char c : text) {
        const char d = (c == '\n' || c == '\t') ? ' ' : c;
        if (!(d == ' ' && !line.empty() && line.back() == ' '))
            line += d;
    }
    return line;
}

PostgresConnection::~PostgresConnection()
{
    close();
}

void PostgresConnection::close()
{
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
}

bool PostgresConnection::isBad() const
{
    return !m_conn || PQstatus(m_conn) != CONNECTION_OK;
}

std::string PostgresConnection::lastError() const
{
    return m_conn ? oneLine(PQerrorMessage(m_conn)) : std::string("not connected");
}

bool PostgresConnection::open(const PostgresSettings& settings, Wake* wake, Clock::time_point deadline,
                              std::string& error)
{
    close();
    const char* values[] = {"velmario-server", "UTF8", "1", "30", "10", "3", "30000", settings.conninfo.c_str(),
                            nullptr};
    static_assert(std::size(kKeywords) == std::size(values));
    m_conn = PQconnectStartParams(kKeywords, values, 1);
    if (!m_conn) {
        error = "out of memory";
        return false;
    }
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (PQstatus(m_conn) != CONNECTION_BAD && state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
        const short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        switch (waitReady(PQsocket(m_conn), events, wake, WakeOn::Stop, deadline)) {
        case Ready::Ready: state = PQconnectPoll(m_conn); break;
        case Ready::Woken: error = "stopping"; close(); return false;
        case Ready::TimedOut: error = "the database did not answer in time"; close(); return false;
        }
    }
    if (PQstatus(m_conn) != CONNECTION_OK) {
        error = lastError();
        close();
        return false;
    }
    // Notices (a server shutting down, say) go to the log, not to stderr raw.
    PQsetNoticeProcessor(m_conn, [](void*, const char* message) { log("PostgreSQL: " + oneLine(message)); }, nullptr);
    const char* encoding = PQparameterStatus(m_conn, "client_encoding");
    if (!encoding || std::string_view(encoding) != "UTF8") {
        error = "the database cannot send UTF-8";
        close();
        return false;
    }
    // A read replica cannot LISTEN (PostgreSQL refuses it during recovery):
    // there the refresh alone keeps the directory fresh.
    const char* standby = PQparameterStatus(m_conn, "in_hot_standby");
    if (standby && std::string_view(standby) == "on")
        return true;
    char* channel = PQescapeIdentifier(m_conn, settings.channel.data(), settings.channel.size());
    if (!channel) {
        error = lastError();
        close();
        return false;
    }
    const std::string listen = "LISTEN " + std::string(channel);
    PQfreemem(channel);
    bool listening = send(listen, error);
    for (PGresult* r = nullptr; listening;) {
        const Wait wait = next(wake, deadline, r);
        const PgResult result(r);
        if (wait != Wait::Ok || (r && PQresultStatus(r) != PGRES_COMMAND_OK)) {
            error = wait == Wait::TimedOut ? "the database did not answer in time" : lastError();
            listening = false;
        } else if (!r) {
            return true;
        }
    }
    error = "cannot LISTEN on " + settings.channel + ": " + error;
    close();
    return false;
}

std::string PostgresConnection::where() const
{
    if (!m_conn)
        return "PostgreSQL";
    const char* host = PQhost(m_conn);
    std::string text = std::string("PostgreSQL database ") + PQdb(m_conn);
    if (host && *host)
        text += std::string(" on ") + host;
    return text;
}

bool PostgresConnection::send(const std::string& sql, std::string& error)
{
    if (!m_conn || PQsendQuery(m_conn, sql.c_str()) == 0) {
        error = lastError();
        return false;
    }
    return true;
}

PostgresConnection::Wait PostgresConnection::input(Wake* wake, Clock::time_point deadline)
{
    switch (waitReady(PQsocket(m_conn), POLLIN, wake, WakeOn::Stop, deadline)) {
    case Ready::Ready: return PQconsumeInput(m_conn) ? Wait::Ok : Wait::Failed;
    case Ready::Woken: return Wait::Stopped;
    case Ready::TimedOut: return Wait::TimedOut;
    }
    return Wait::Failed;
}

PostgresConnection::Wait PostgresConnection::next(Wake* wake, Clock::time_point deadline, PGresult*& result)
{
    result = nullptr;
    while (PQisBusy(m_conn)) {
        if (const Wait wait = input(wake, deadline); wait != Wait::Ok)
            return wait;
    }
    result = PQgetResult(m_conn);
    return Wait::Ok;
}

PostgresConnection::Wait PostgresConnection::copyRow(Wake* wake, Clock::time_point deadline, char*& row,
                                                     int& length)
{
    row = nullptr;
    for (;;) {
        length = PQgetCopyData(m_conn, &row, 1);
        if (length > 0)
            return Wait::Ok;
        if (length == -1) { // the end: the COPY's own result follows
            row = nullptr;
            return Wait::Ok;
        }
        if (length < -1)
            return Wait::Failed;
        if (const Wait wait = input(wake, deadline); wait != Wait::Ok)
            return wait;
    }
}

bool PostgresConnection::takeNotifications(bool& notified)
{
    notified = false;
    if (!m_conn || PQconsumeInput(m_conn) == 0)
        return false;
    while (PGnotify* notify = PQnotifies(m_conn)) {
        notified = true;
        PQfreemem(notify);
    }
    return PQstatus(m_conn) == CONNECTION_OK;
}

} // namespace velmario::server
