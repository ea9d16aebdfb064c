#include "postgres.h"

#include "answer.h"
#include "cp1252.h"
#include "csvimport.h"
#include "log.h"
#include "lookupserver.h"
#include "reloadstatus.h"

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <vector>
#include <unistd.h>

namespace velmario::server {
namespace {

using Clock = std::chrono::steady_clock;

// Rows that break the rules named in the log, at most.
constexpr std::size_t kNamedProblems = 20;

constexpr std::chrono::seconds kConnectTimeout{10};

std::string trimmedMessage(const char* message)
{
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    // One line for the log: line breaks and tabs become single spaces.
    std::string line;
    for (const char c : text) {
        const char d = (c == '\n' || c == '\t') ? ' ' : c;
        if (!(d == ' ' && !line.empty() && line.back() == ' '))
            line += d;
    }
    return line;
}

// A query as a subquery: without the semicolon and white space it may end
// with.
std::string subquery(std::string query)
{
    while (!query.empty() && (query.back() == ';' || std::isspace(static_cast<unsigned char>(query.back()))))
        query.pop_back();
    return "(" + query + ")";
}

struct Result {
    explicit Result(PGresult* r) : result(r) {}
    ~Result() { PQclear(result); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ExecStatusType status() const { return PQresultStatus(result); }
    PGresult* result;
};

// One row of COPY's text format: fields separated by tabs, backslash
// escapes, \N for NULL (read as empty: the rules then refuse it).
std::size_t parseCopyRow(std::string_view line, std::array<std::string, 3>& fields)
{
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    std::size_t count = 0;
    std::string field;
    for (std::size_t i = 0;; ++i) {
        if (i == line.size() || line[i] == '\t') {
            if (count < fields.size())
                fields[count] = field == "\\N" ? std::string() : field;
            ++count;
            field.clear();
            if (i == line.size())
                break;
            continue;
        }
        char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            const char e = line[++i];
            switch (e) {
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 'v': c = '\v'; break;
            case 'N': field += '\\'; c = 'N'; break; // \N alone is NULL, checked above
            case 'x': {
                int value = 0;
                int digits = 0;
                while (digits < 2 && i + 1 < line.size() && std::isxdigit(static_cast<unsigned char>(line[i + 1]))) {
                    const char h = line[++i];
                    value = value * 16 + (std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (h | 0x20) - 'a' + 10);
                    ++digits;
                }
                c = static_cast<char>(value);
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    int value = e - '0';
                    for (int digits = 1; digits < 3 && i + 1 < line.size() && line[i + 1] >= '0' && line[i + 1] <= '7'; ++digits)
                        value = value * 8 + (line[++i] - '0');
                    c = static_cast<char>(value);
                } else {
                    c = e; // \\ and any other escaped character stand for themselves
                }
            }
        }
        field += c;
    }
    return count;
}

} // namespace

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

bool PostgresConnection::open(const PostgresSettings& settings, std::string& error, int wakeFd,
                              const std::atomic<bool>* stopping)
{
    close();
    // Our defaults come first: what the connection string says overrides them.
    const char* keywords[] = {"application_name", "dbname", nullptr};
    const char* values[] = {"velmario-server", settings.conninfo.c_str(), nullptr};
    m_conn = PQconnectStartParams(keywords, values, 1);
    if (!m_conn) {
        error = "out of memory";
        return false;
    }
    // Connecting without blocking, so that stopping never waits for a host
    // that does not answer; given up after kConnectTimeout.
    const auto deadline = Clock::now() + kConnectTimeout;
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (PQstatus(m_conn) != CONNECTION_BAD && state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
        pollfd fds[2] = {{PQsocket(m_conn), static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0},
                         {wakeFd, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int ready = left > 0 ? ::poll(fds, wakeFd >= 0 ? 2 : 1, static_cast<int>(left)) : 0;
        if (ready == 0) {
            error = "the database did not answer within " + std::to_string(kConnectTimeout.count()) + " s";
            close();
            return false;
        }
        if (ready > 0 && wakeFd >= 0 && (fds[1].revents & POLLIN) && stopping && *stopping) {
            error = "stopping";
            close();
            return false;
        }
        if (ready > 0 && (fds[0].revents & (POLLIN | POLLOUT | POLLERR | POLLHUP)))
            state = PQconnectPoll(m_conn);
        else if (ready > 0) {
            // A wake-up that is not a stop (SIGHUP): its flag stays set for
            // the load that follows the connection.
            char drain[64];
            while (::read(wakeFd, drain, sizeof drain) > 0) {
            }
        }
    }
    if (PQstatus(m_conn) != CONNECTION_OK) {
        error = trimmedMessage(PQerrorMessage(m_conn));
        close();
        return false;
    }
    // Notices (a server shutting down, say) go to the log, not to stderr raw.
    PQsetNoticeProcessor(
        m_conn, [](void*, const char* message) { log("PostgreSQL: " + trimmedMessage(message), LogPriority::Notice); }, nullptr);
    if (PQsetClientEncoding(m_conn, "UTF8") != 0) {
        error = "the database cannot send UTF-8: " + trimmedMessage(PQerrorMessage(m_conn));
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
        error = trimmedMessage(PQerrorMessage(m_conn));
        close();
        return false;
    }
    const Result listen(PQexec(m_conn, ("LISTEN " + std::string(channel)).c_str()));
    PQfreemem(channel);
    if (listen.status() != PGRES_COMMAND_OK) {
        error = "cannot LISTEN on " + settings.channel + ": " + trimmedMessage(PQerrorMessage(m_conn));
        close();
        return false;
    }
    return true;
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

std::unique_ptr<Directory> loadFromPostgres(PostgresConnection& connection, const std::string& query,
                                            std::string& error, bool& lost)
{
    lost = false;
    PGconn* conn = connection.get();
    const auto failed = [&](const std::string& what) {
        error = what + ": " + trimmedMessage(PQerrorMessage(conn));
        lost = PQstatus(conn) != CONNECTION_OK;
        if (!lost)
            PQclear(PQexec(conn, "ROLLBACK"));
        return nullptr;
    };
    // One snapshot for the count and the rows.
    if (Result(PQexec(conn, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")).status() != PGRES_COMMAND_OK)
        return failed("cannot begin a transaction");
    const std::string rows = subquery(query);
    std::size_t total = 0;
    {
        const Result count(PQexec(conn, ("SELECT count(*) FROM " + rows + " AS velmario_rows").c_str()));
        if (count.status() != PGRES_TUPLES_OK)
            return failed("the directory query failed");
        total = std::strtoull(PQgetvalue(count.result, 0, 0), nullptr, 10);
    }
    auto replies = std::make_unique<ReplyIndex>();
    if (!replies->reserve(total)) {
        error = "not enough memory for " + std::to_string(total) + " entries";
        PQclear(PQexec(conn, "ROLLBACK"));
        return nullptr;
    }
    // COPY streams the rows: no result set of the whole directory is held.
    if (Result(PQexec(conn, ("COPY " + rows + " TO STDOUT").c_str())).status() != PGRES_COPY_OUT)
        return failed("the directory query failed");

    std::vector<std::string> problems;
    std::size_t bad = 0;
    std::size_t row = 0;
    std::array<std::string, 3> fields;
    std::string reply;
    bool wrongShape = false;
    for (;;) {
        char* buffer = nullptr;
        const int n = PQgetCopyData(conn, &buffer, 0);
        if (n < 0)
            break;
        const std::string_view line(buffer, static_cast<std::size_t>(n));
        ++row;
        const std::size_t columns = parseCopyRow(line, fields);
        PQfreemem(buffer);
        if (columns != 3) {
            wrongShape = true;
            continue;
        }
        const Entry entry{fields[0], fields[1], fields[2]};
        std::string why = checkEntry(entry);
        if (why.empty()) {
            reply.clear();
            reply.append(*cp1252::fromUtf8(entry.name)).append(1, '*').append(*cp1252::fromUtf8(entry.telephone));
            const std::size_t before = replies->size();
            if (!replies->add(*cp1252::fromUtf8(entry.controlNumber), reply))
                why = "too many rows or too long";
            else if (replies->size() == before)
                why = "the control number appears more than once";
        }
        if (!why.empty() && ++bad <= kNamedProblems)
            problems.push_back("row " + std::to_string(row) + " (control number \"" + entry.controlNumber.substr(0, 64) +
                               "\"): " + why);
    }
    for (PGresult* r = PQgetResult(conn); r; r = PQgetResult(conn)) {
        const Result end(r);
        if (end.status() != PGRES_COMMAND_OK)
            return failed("reading the directory failed");
    }
    if (Result(PQexec(conn, "COMMIT")).status() != PGRES_COMMAND_OK)
        return failed("cannot end the transaction");
    if (wrongShape) {
        error = "the directory query must give three columns: control number, name, telephone";
        return nullptr;
    }
    if (bad > 0) {
        error = std::to_string(bad) + " row(s) break the directory's rules:";
        for (const std::string& p : problems)
            error += "\n  " + p;
        if (bad > problems.size())
            error += "\n  and " + std::to_string(bad - problems.size()) + " more";
        return nullptr;
    }
    replies->finish();
    return Directory::fromReplies(std::move(replies));
}

namespace {

std::string describe(const Directory& directory, const PostgresConnection& connection)
{
    const ReplyIndex& replies = *directory.replies();
    char held[64];
    std::snprintf(held, sizeof held, "held in memory, %.1f MiB", double(replies.memoryBytes()) / (1024.0 * 1024.0));
    return std::to_string(replies.size()) + " entries from " + connection.where() + " (" + held + ")";
}

} // namespace

OpenedDirectory openPostgres(const PostgresSettings& settings, PostgresConnection& connection)
{
    OpenedDirectory opened;
    const auto deadline = Clock::now() + settings.startupTimeout;
    auto wait = std::chrono::milliseconds(250);
    std::string error;
    bool said = false;
    for (;;) {
        bool lost = false;
        if (connection.open(settings, error)) {
            auto directory = loadFromPostgres(connection, settings.query, error, lost);
            if (directory) {
                opened.description = describe(*directory, connection);
                opened.directory = std::move(directory);
                return opened;
            }
            if (!lost) { // the rows themselves are wrong: waiting will not mend them
                opened.error = connection.where() + ": " + error;
                opened.rejected = true;
                return opened;
            }
        }
        if (Clock::now() + wait > deadline) {
            opened.error = "cannot reach the database within " + std::to_string(settings.startupTimeout.count()) +
                           " s: " + error;
            return opened;
        }
        if (!said) {
            log("waiting for the database: " + error, LogPriority::Warning);
            said = true;
        }
        std::this_thread::sleep_for(wait);
        wait = std::min<std::chrono::milliseconds>(wait * 2, std::chrono::seconds(5));
    }
}

PostgresSource::PostgresSource(uv_loop_t& loop, LookupServer& server, PostgresSettings settings,
                               std::unique_ptr<PostgresConnection> connection)
    : m_server(server), m_settings(std::move(settings)), m_connection(std::move(connection))
{
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot make a pipe");
    uv_async_init(&loop, &m_done, [](uv_async_t* done) { static_cast<PostgresSource*>(done->data)->loaded(); });
    m_done.data = this;
    m_thread = std::thread([this] { run(); });
}

PostgresSource::~PostgresSource()
{
    m_stopping = true;
    wake();
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

void PostgresSource::request()
{
    m_reload = true;
    wake();
}

void PostgresSource::close()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        uv_close(reinterpret_cast<uv_handle_t*>(&m_done), nullptr);
    }
    wake();
}

void PostgresSource::wake()
{
    const char byte = 1;
    (void)!::write(m_wake[1], &byte, 1);
}

// Waits for a NOTIFY, a wake-up or the time. False if the connection was
// lost meanwhile.
bool PostgresSource::waitFor(Clock::time_point until, bool& notified)
{
    notified = false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {PQsocket(m_connection->get()), POLLIN, 0}};
    const int timeout = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
    if (::poll(fds, 2, timeout) < 0)
        return true;
    if (fds[0].revents & POLLIN) {
        char drain[64];
        while (::read(m_wake[0], drain, sizeof drain) > 0) {
        }
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        if (PQconsumeInput(m_connection->get()) == 0)
            return false;
        while (PGnotify* notify = PQnotifies(m_connection->get())) {
            notified = true;
            PQfreemem(notify);
        }
    }
    return PQstatus(m_connection->get()) == CONNECTION_OK;
}

void PostgresSource::run()
{
    auto backoff = std::chrono::seconds(1);
    const auto never = Clock::time_point::max();
    auto nextRefresh = m_settings.refresh.count() > 0 ? Clock::now() + m_settings.refresh : never;
    bool down = false;
    std::string error;
    // Each change of state is logged once: lost, then back.
    const auto lose = [&](const std::string& why) {
        if (!down)
            log("lost the database, still serving the last directory; trying again: " + why, LogPriority::Error);
        down = true;
        sourceRetrying(true);
        loadRefused("lost the database: " + why);
        m_connection->close();
        m_reload = true; // whatever changed meanwhile
    };
    while (!m_stopping) {
        if (!m_connection->isOpen()) {
            if (!m_connection->open(m_settings, error, m_wake[0], &m_stopping)) {
                if (m_stopping)
                    break;
                lose(error);
                // Only a wake-up (stop, SIGHUP) ends the wait early.
                pollfd fd{m_wake[0], POLLIN, 0};
                ::poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(backoff).count()));
                char drain[64];
                while (::read(m_wake[0], drain, sizeof drain) > 0) {
                }
                backoff = std::min(backoff * 2, std::chrono::seconds(30));
                continue;
            }
            if (down)
                log("the database is back (" + m_connection->where() + "): loading the directory");
            sourceRetrying(false);
            down = false;
            backoff = std::chrono::seconds(1);
        }
        if (m_reload.exchange(false) || Clock::now() >= nextRefresh) {
            if (m_settings.refresh.count() > 0)
                nextRefresh = Clock::now() + m_settings.refresh;
            bool lost = false;
            loadBegins();
            auto directory = loadFromPostgres(*m_connection, m_settings.query, error, lost);
            if (directory) {
                const std::lock_guard lock(m_mutex);
                m_description = describe(*directory, *m_connection);
                m_result = std::move(directory);
                loadHandedOver();
                if (!m_stopping)
                    uv_async_send(&m_done);
            } else if (lost) {
                lose(error);
                continue;
            } else {
                log("refresh refused, still serving the previous directory: " + error, LogPriority::Error);
                loadRefused(error);
            }
        }
        bool notified = false;
        if (!waitFor(nextRefresh, notified)) {
            lose(trimmedMessage(PQerrorMessage(m_connection->get())));
            continue;
        }
        if (notified)
            m_reload = true;
    }
}

void PostgresSource::loaded()
{
    std::unique_ptr<Directory> directory;
    std::string description;
    {
        const std::lock_guard lock(m_mutex);
        directory = std::move(m_result);
        description = std::move(m_description);
        if (directory)
            loadServed(description); // the loop serves it before it does anything else
    }
    if (directory) {
        m_server.setDirectory(std::shared_ptr<Directory>(std::move(directory)));
        log("reloaded: serving " + description);
    }
}

} // namespace velmario::server
