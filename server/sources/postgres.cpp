#include "postgres.h"

#include "cp1252.h"
#include "csvimport.h"
#include "pgcopy.h"

#include <libpq-fe.h>

#include <poll.h>

#include <array>
#include <cstdlib>
#include <vector>

namespace velmario::server {
namespace {

// Rows that break the rules named in the log, at most.
constexpr std::size_t kNamedProblems = 20;

// The rows of a COPY checked one by one into a reply table.
class RowChecker
{
public:
    explicit RowChecker(ReplyIndex& replies) : m_replies(replies) {}

    void take(std::string_view line)
    {
        ++m_row;
        if (parseCopyRow(line, m_fields) != 3) {
            m_wrongShape = true;
            return;
        }
        const Entry entry{m_fields[0], m_fields[1], m_fields[2]};
        std::string why = checkEntry(entry);
        if (why.empty()) {
            m_reply.clear();
            m_reply.append(*cp1252::fromUtf8(entry.name)).append(1, '*').append(*cp1252::fromUtf8(entry.telephone));
            const std::size_t before = m_replies.size();
            if (!m_replies.add(*cp1252::fromUtf8(entry.controlNumber), m_reply))
                why = m_replies.fullReason();
            else if (m_replies.size() == before)
                why = "the control number appears more than once";
        }
        if (!why.empty() && ++m_bad <= kNamedProblems)
            m_problems.push_back("row " + std::to_string(m_row) + " (control number \"" +
                                 entry.controlNumber.substr(0, 64) + "\"): " + why);
    }

    std::size_t rows() const { return m_row; }

    // Why the rows are refused, or nothing.
    std::string verdict() const
    {
        if (m_wrongShape)
            return "the directory query must give three columns: control number, name, telephone";
        if (m_bad == 0)
            return {};
        std::string error = std::to_string(m_bad) + " row(s) break the directory's rules:";
        for (const std::string& p : m_problems)
            error += "\n  " + p;
        if (m_bad > m_problems.size())
            error += "\n  and " + std::to_string(m_bad - m_problems.size()) + " more";
        return error;
    }

private:
    ReplyIndex& m_replies;
    std::array<std::string, 3> m_fields;
    std::string m_reply;
    std::vector<std::string> m_problems;
    std::size_t m_row = 0;
    std::size_t m_bad = 0;
    bool m_wrongShape = false;
};

} // namespace

Loaded PostgresSource::load(Wake* wake, Clock::time_point deadline)
{
    Loaded loaded;
    if (m_connection.isOpen() && m_connection.isBad())
        m_connection.close();
    bool denied = false;
    if (!m_connection.isOpen() && !m_connection.open(m_settings, wake, deadline, loaded.error, denied)) {
        loaded.unreachable = !denied;
        loaded.denied = denied;
        return loaded;
    }
    loaded = rows(wake, deadline);
    if (loaded.unreachable) {
        m_connection.close(); // whatever it was doing, it is not waited for
    } else if (PQtransactionStatus(m_connection.get()) != PQTRANS_IDLE) {
        // A refused load may leave its transaction open; a connection that
        // cannot even end it is dropped.
        std::string error;
        bool clean = m_connection.send("ROLLBACK", error);
        for (PGresult* r = nullptr; clean;) {
            clean = m_connection.next(wake, deadline, r) == PostgresConnection::Wait::Ok;
            const PgResult result(r);
            if (!r)
                break;
        }
        if (!clean)
            m_connection.close();
    }
    return loaded;
}

Loaded PostgresSource::rows(Wake* wake, Clock::time_point deadline)
{
    using Wait = PostgresConnection::Wait;
    Loaded loaded;
    const auto timeoutMs = std::chrono::duration_cast<std::chrono::milliseconds>(m_settings.timeout).count();
    const auto fail = [&](Wait wait, const std::string& what) {
        // A query the database refuses is the organisation's to mend; a
        // database that is gone, slow or cancelled the query for its
        // timeout may do better later.
        loaded.unreachable = wait == Wait::TimedOut || wait == Wait::Stopped || m_connection.isBad();
        std::string why = m_connection.lastError();
        if (wait == Wait::TimedOut)
            why = "no answer within " + std::to_string(m_settings.timeout.count()) + " s (--postgres-timeout)";
        else if (wait == Wait::Stopped)
            why = "stopping";
        loaded.error = what + ": " + why;
        loaded.unreachable = loaded.unreachable || why.find("statement timeout") != std::string::npos;
        // A query the database refuses (a syntax error, a table that is not
        // there, no permission) is the organisation's to mend.
        loaded.denied = !loaded.unreachable;
        return std::move(loaded);
    };
    // Every result of what was sent, the last one kept in `last`.
    const auto results = [&](std::vector<ExecStatusType> expected, PgResult* last) {
        for (std::size_t i = 0;; ++i) {
            PGresult* r = nullptr;
            if (const Wait wait = m_connection.next(wake, deadline, r); wait != Wait::Ok)
                return wait;
            PgResult result(r);
            if (!r)
                return i == expected.size() ? Wait::Ok : Wait::Failed;
            if (i >= expected.size() || PQresultStatus(r) != expected[i]) {
                while (PGresult* rest = PQgetResult(m_connection.get())) // what was sent after it is not run
                    PQclear(rest);
                return Wait::Failed;
            }
            if (last && expected[i] == PGRES_TUPLES_OK)
                *last = std::move(result);
            if (expected[i] == PGRES_COPY_OUT)
                return Wait::Ok; // the rows come next
        }
    };

    // One snapshot for the count and the rows; the database itself ends a
    // statement that runs past the timeout, should this end never reach it.
    const std::string query = subquery(m_settings.query);
    std::string error;
    if (!m_connection.send("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY; SET LOCAL statement_timeout = " +
                               std::to_string(timeoutMs) + "; SELECT count(*) FROM " + query + " AS velmario_rows",
                           error))
        return fail(Wait::Failed, "cannot send the directory query");
    PgResult count;
    if (const Wait wait = results({PGRES_COMMAND_OK, PGRES_COMMAND_OK, PGRES_TUPLES_OK}, &count); wait != Wait::Ok)
        return fail(wait, "the directory query failed");
    const std::size_t total = std::strtoull(PQgetvalue(count.get(), 0, 0), nullptr, 10);
    count.reset();
    if (total == 0 && !m_settings.allowEmpty) {
        loaded.error = "the directory query gives no rows: nothing to serve (--allow-empty serves an empty directory)";
        loaded.rejected = true;
        return loaded;
    }
    if (total > m_settings.maxEntries) {
        loaded.error = "the directory query gives " + std::to_string(total) + " rows, more than the " +
                       std::to_string(m_settings.maxEntries) + " entries this server may hold (--max-memory-entries)";
        loaded.denied = true;
        return loaded;
    }
    auto replies = std::make_unique<ReplyIndex>();
    if (!replies->reserve(total)) {
        loaded.error = "not enough memory for " + std::to_string(total) + " entries";
        return loaded;
    }
    // COPY streams the rows: no result set of the whole directory is held.
    if (!m_connection.send("COPY " + query + " TO STDOUT", error))
        return fail(Wait::Failed, "cannot send the directory query");
    if (const Wait wait = results({PGRES_COPY_OUT}, nullptr); wait != Wait::Ok)
        return fail(wait, "the directory query failed");
    RowChecker checker(*replies);
    for (;;) {
        char* row = nullptr;
        int length = 0;
        if (const Wait wait = m_connection.copyRow(wake, deadline, row, length); wait != Wait::Ok)
            return fail(wait, "reading the directory failed (rows received: " + std::to_string(checker.rows()) + ")");
        if (!row)
            break;
        if (checker.rows() == total) {
            PQfreemem(row);
            loaded.error = "the database sent more rows than the " + std::to_string(total) +
                           " it counted for the directory query";
            loaded.rejected = true;
            return loaded;
        }
        checker.take(std::string_view(row, static_cast<std::size_t>(length)));
        PQfreemem(row);
    }
    if (const Wait wait = results({PGRES_COMMAND_OK}, nullptr); wait != Wait::Ok)
        return fail(wait, "reading the directory failed");
    if (!m_connection.send("COMMIT", error))
        return fail(Wait::Failed, "cannot end the transaction");
    if (const Wait wait = results({PGRES_COMMAND_OK}, nullptr); wait != Wait::Ok)
        return fail(wait, "cannot end the transaction");
    if (loaded.error = checker.verdict(); !loaded.error.empty()) {
        loaded.rejected = true;
        return loaded;
    }
    if (replies->size() == 0 && !m_settings.allowEmpty) {
        loaded.error = "the directory query gives no rows: nothing to serve (--allow-empty serves an empty directory)";
        loaded.rejected = true;
        return loaded;
    }
    replies->finish();
    loaded.entries = replies->size();
    loaded.description = std::to_string(replies->size()) + " entries from " + m_connection.where() + " (" +
                         heldInMemory(*replies) + ")";
    loaded.table = std::move(replies);
    return loaded;
}

Source::Watch PostgresSource::watch(Wake& wake, Clock::time_point until)
{
    if (!m_connection.isOpen())
        return Source::watch(wake, until);
    const Ready ready = waitReady(PQsocket(m_connection.get()), POLLIN, &wake, WakeOn::Any, until);
    if (ready == Ready::Woken)
        wake.drain();
    if (ready != Ready::Ready)
        return Watch::Quiet;
    bool notified = false;
    if (!m_connection.takeNotifications(notified)) {
        m_connection.close();
        return Watch::Lost;
    }
    return notified ? Watch::Changed : Watch::Quiet;
}

} // namespace velmario::server
