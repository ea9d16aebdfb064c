#include "pgconnection.h"

#include "log.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace velmario::server {
namespace {

// How long a stop waits for the database to take a cancel request.
constexpr auto kCancelWait = std::chrono::seconds(1);

// Asks the database to end the statement running on `conn`, so that its
// backend does not work on for nobody. Sent from a thread of its own, since
// libpq sends it with a blocking connect: the caller waits for it at most
// kCancelWait, and a cancel that takes longer finishes or fails alone.
void cancelRunning(pg_conn* conn)
{
    PGcancel* cancel = PQgetCancel(conn);
    if (!cancel)
        return;
    auto done = std::make_shared<std::promise<std::string>>();
    std::future<std::string> sent = done->get_future();
    std::thread([cancel, done] {
        char why[256] = {};
        const bool cancelled = PQcancel(cancel, why, sizeof why) != 0;
        PQfreeCancel(cancel);
        done->set_value(cancelled ? std::string() : oneLine(why));
    }).detach();
    if (sent.wait_for(kCancelWait) != std::future_status::ready)
        log("PostgreSQL did not take the request to cancel the query within 1 s", LogPriority::Warning);
    else if (const std::string why = sent.get(); !why.empty())
        log("cannot cancel the PostgreSQL query: " + why, LogPriority::Warning);
}

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
    if (m_conn && PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) == PQTRANS_ACTIVE)
        cancelRunning(m_conn);
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

PgConnectFailure pgConnectFailure(std::string_view verbose)
{
    PgConnectFailure failure;
    std::string text(verbose);
    // "FATAL:  28P01: password authentication failed ...\nLOCATION:  auth_failed, auth.c:323"
    std::string code;
    for (const std::string_view severity : {"FATAL:  ", "ERROR:  "}) {
        const std::size_t at = text.find(severity);
        if (at == std::string::npos || text.size() < at + severity.size() + 7)
            continue;
        const std::size_t start = at + severity.size();
        const std::string candidate = text.substr(start, 5);
        const bool isCode = text.compare(start + 5, 2, ": ") == 0 &&
                            std::all_of(candidate.begin(), candidate.end(),
                                        [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); });
        if (isCode) {
            code = candidate;
            text.erase(start, 7);
            break;
        }
    }
    for (std::size_t at; (at = text.find("LOCATION:")) != std::string::npos;) {
        const std::size_t end = text.find('\n', at);
        text.erase(at, end == std::string::npos ? std::string::npos : end - at + 1);
    }
    failure.message = oneLine(text.c_str());
    if (!code.empty()) {
        failure.denied = code.compare(0, 2, "28") == 0 || code.compare(0, 2, "3D") == 0 || code == "42501";
        return failure;
    }
    // libpq's own words, which no server translates.
    for (const char* refusal : {"certificate verify failed", "does not match host name", "root certificate file",
                                "fe_sendauth: no password supplied", "invalid connection option", "invalid sslmode",
                                "invalid integer value", "server does not support SSL", "private key file"}) {
        if (text.find(refusal) != std::string::npos)
            failure.denied = true;
    }
    return failure;
}

bool PostgresConnection::open(const PostgresSettings& settings, Wake* wake, Clock::time_point deadline,
                              std::string& error, bool& denied)
{
    denied = false;
    close();
    const char* values[] = {"velmario-server", "UTF8", "1", "30", "10", "3", "30000", settings.conninfo.c_str(),
                            nullptr};
    static_assert(std::size(kKeywords) == std::size(values));
    m_conn = PQconnectStartParams(kKeywords, values, 1);
    if (!m_conn) {
        error = "out of memory";
        return false;
    }
    // With its SQLSTATE, a refusal is told from a passing failure in any
    // language the server speaks.
    PQsetErrorVerbosity(m_conn, PQERRORS_VERBOSE);
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
        const PgConnectFailure failure = pgConnectFailure(PQerrorMessage(m_conn));
        error = failure.message;
        denied = failure.denied;
        close();
        return false;
    }
    PQsetErrorVerbosity(m_conn, PQERRORS_DEFAULT);
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
