// Serving: the first directory, the loop, and the threads around it.
//
// The server's threads, and what crosses between them:
// - The main thread loads the first directory before anything is served,
//   then runs the libuv loop: every socket, timer and signal. The loop never
//   blocks: no database call, file read or log write happens on it.
// - The source thread (sourcethread.cpp) loads the directory again when
//   asked (SIGHUP, through an atomic count and a pipe), when its source says
//   it changed (PostgreSQL's NOTIFY; for LDAP, a changed contextCSN, which
//   the same thread reads every --ldap-check-interval seconds between
//   loads, on the connection it keeps) and on the refresh. It hands each outcome to the
//   loop under a mutex and wakes it with uv_async; the loop then swaps the
//   new directory in (a shared_ptr: requests in flight keep the old one).
//   A stop never waits for it: a load that does not notice the stop within
//   half a second is left running, and the process ends without it.
// - The log writer (log.cpp) writes the lines any thread queues, so that a
//   slow standard error never holds up the loop.
#include "serve.h"

#include "exitcodes.h"
#include "log.h"
#include "looptimer.h"
#include "lookupserver.h"
#include "filesource.h"
#include "ldapsource.h"
#include "metrics.h"
#include "postgres.h"
#include "reloadstatus.h"
#include "signals.h"
#include "sourcethread.h"
#include "systemd.h"

#include <uv.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

namespace velmario::server {
namespace {

// Pings systemd's watchdog from the loop, so that a stuck loop is noticed.
// The timer does not keep the loop running.
class Watchdog
{
public:
    explicit Watchdog(uv_loop_t& loop)
    {
        const auto every = std::chrono::duration_cast<std::chrono::milliseconds>(watchdogPingInterval()).count();
        if (every > 0)
            m_timer.emplace(loop, 0, static_cast<std::uint64_t>(every), [] { tellSystemd(notifyWatchdog()); });
    }

private:
    std::optional<LoopTimer> m_timer;
};

// Every connection holds a descriptor: let the process have enough of them
// for the connection limit, as far as the hard limit allows.
void raiseFileLimit(std::size_t maxConnections)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t wanted = static_cast<rlim_t>(maxConnections) + 64;
    if (limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    // Short of it, the server says how many connections the limit leaves
    // room for once its listeners are open (LookupServer::start).
    (void)setrlimit(RLIMIT_NOFILE, &limit);
}

// Where reloads read from: PostgreSQL, or the database file (--db, or
// --default-db once it exists); the sample when there is none.
std::unique_ptr<Source> makeSource(const Settings& settings, const std::string& reloadDb)
{
    if (!settings.postgres.conninfo.empty())
        return std::make_unique<PostgresSource>(settings.postgres);
    if (!settings.ldap.uri.empty())
        return std::make_unique<LdapSource>(settings.ldap);
    return std::make_unique<FileSource>(reloadDb, settings.maxMemoryEntries);
}

// A reload's outcome, on the loop: the new table serves from the next
// request on. The source thread has logged and published any failure.
void reloaded(LookupServer& server, ReloadStatus& status, Reloaded&& outcome)
{
    if (!outcome.table)
        return;
    server.setTable(std::move(outcome.table));
    log("reloaded: serving " + outcome.description);
    status.served(outcome.description, outcome.entries);
}

} // namespace

int serve(const Settings& settings)
{
    const std::string startDb = startDatabase(settings);
    const std::string reloadDb = reloadDatabase(settings);
    // Metrics never keep the lookups from starting: an address that cannot
    // be had is said at err, shown in the status, and tried again.
    // The status file is written (and removed) by this, for as long as the
    // server serves; those who report to it share it.
    const auto reloadStatus = std::make_shared<ReloadStatus>(settings.statusFile);
    MetricsEndpoint metrics(reloadStatus);
    std::string metricsProblem;
    if (std::string error; !metrics.start(settings.metrics, error)) {
        metricsProblem = error;
        log(error + ": lookups are served without metrics until it can be bound (tried again after 1 s, "
                    "doubling up to " + std::to_string(MetricsEndpoint::kRetrySeconds) + " s)",
            LogPriority::Error);
    }
    if (isWildcardAddress(settings.metrics))
        log("metrics at " + settings.metrics + " can be scraped from the network, and --allow does not apply "
            "to them: give an address of this machine's own, or let a firewall choose who may scrape",
            LogPriority::Warning);
    std::unique_ptr<Source> source = makeSource(settings, reloadDb);
    SourceTiming timing = settings.timing;
    if (settings.postgres.conninfo.empty() && settings.ldap.uri.empty())
        timing.refresh = std::chrono::seconds(0); // a file changes only with a SIGHUP
    Loaded first;
    if (settings.postgres.conninfo.empty() && settings.ldap.uri.empty() && startDb != reloadDb) {
        log("no " + reloadDb + " yet: serving the sample directory until a directory is imported there and the "
            "server reloaded");
        first = openDirectory(startDb, settings.maxMemoryEntries);
    } else {
        log("loading " + source->name());
        first = loadAtStart(*source, timing);
    }
    if (!first.table) {
        log(first.error, LogPriority::Error);
        reloadStatus->close();
        return first.rejected ? kExitRejected : first.denied ? kExitDenied : kExitFailure;
    }
    std::signal(SIGPIPE, SIG_IGN);
    raiseFileLimit(settings.serve.maxConnections);
    // One thread runs everything: no locking is needed around socket I/O.
    uv_loop_t loop{};
    if (const int rc = uv_loop_init(&loop); rc != 0) {
        log(std::string("cannot start the event loop: ") + uv_strerror(rc), LogPriority::Error);
        reloadStatus->close();
        return kExitFailure;
    }
    int status = kExitOk;
    startLogWriter();
    {
        LookupServer server(loop, settings.serve, std::shared_ptr<const ReplyTable>(std::move(first.table)), log);
        // Made before the server starts, which counts the descriptors
        // already open (the source thread's among them) to cap connections.
        const bool reloadable = source->reloadable();
        SourceThread reloads(loop, std::move(source), timing, reloadStatus,
                             [&server, &status = *reloadStatus](Reloaded&& outcome) {
                                 reloaded(server, status, std::move(outcome));
                             });
        std::string error;
        if (!server.start(error)) {
            log(error, LogPriority::Error);
            status = kExitFailure;
        } else {
            std::string where;
            for (const std::string& socket : server.listeningOn())
                where += (where.empty() ? "" : ", ") + socket;
            log("started: serving " + first.description + " on " + where);
            reloadStatus->firstServed(first.description, first.entries);
            Signals signals(loop, server, reloads, *reloadStatus, reloadable);
            // A table whose file is written to under it is loaded and
            // checked again, as a SIGHUP would have it.
            server.onTableChanged([&reloads, &status = *reloadStatus, reloadable] {
                if (!reloadable)
                    return;
                status.requested();
                reloads.request();
            });
            if (takeEarlySighup()) {
                log("SIGHUP came while loading: loading again");
                reloadStatus->requested();
                reloads.request();
            }
            tellSystemd(notifyReady("serving " + first.description +
                                    (metricsProblem.empty() ? std::string() : "; no metrics: " + metricsProblem)));
            Watchdog watchdog(loop);
            StatsPublisher stats(loop, server, metrics);
            uv_run(&loop, UV_RUN_DEFAULT);
            log("stopped");
        }
    }
    uv_run(&loop, UV_RUN_DEFAULT); // any handle still closing
    if (uv_loop_close(&loop) != 0)
        log("some handles were still open at exit", LogPriority::Warning);
    reloadStatus->close();
    stopLogWriter();
    if (SourceThread::abandonedLoads()) {
        // A load left running may still use what static destructors free.
        std::fflush(nullptr);
        ::_exit(status);
    }
    return status;
}

} // namespace velmario::server
