#include "serve.h"

#include "exitcodes.h"
#include "log.h"
#include "lookupserver.h"
#include "metrics.h"
#include "postgres.h"
#include "reloader.h"
#include "reloadstatus.h"
#include "signals.h"
#include "systemd.h"

#include <uv.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <sys/resource.h>

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
        if (every <= 0)
            return;
        uv_timer_init(&loop, &m_timer);
        uv_unref(reinterpret_cast<uv_handle_t*>(&m_timer));
        uv_timer_start(&m_timer, [](uv_timer_t*) { tellSystemd(notifyWatchdog()); }, 0,
                       static_cast<std::uint64_t>(std::max<long long>(every, 1)));
        m_started = true;
    }
    ~Watchdog()
    {
        if (m_started)
            uv_close(reinterpret_cast<uv_handle_t*>(&m_timer), nullptr);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    uv_timer_t m_timer{};
    bool m_started = false;
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
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < wanted)
        log("only " + std::to_string(limit.rlim_cur) + " file descriptors allowed: fewer than " +
            std::to_string(maxConnections) + " connections may be served at once", LogPriority::Warning);
}

} // namespace

int serve(const Settings& settings)
{
    const bool fromPostgres = !settings.postgres.conninfo.empty();
    const std::string startDb = startDatabase(settings);
    const std::string reloadDb = reloadDatabase(settings);
    // Bound first: a metrics address that cannot be had fails the start at once.
    MetricsEndpoint metrics;
    if (std::string error; !metrics.start(settings.metrics, error)) {
        log(error, LogPriority::Error);
        return kExitFailure;
    }
    openReloadStatus(settings.statusFile);
    auto connection = std::make_unique<PostgresConnection>();
    log("loading " + (fromPostgres ? std::string("from PostgreSQL")
                      : startDb.empty() ? std::string("the sample directory") : startDb));
    if (startDb.empty() && !reloadDb.empty())
        log("no " + reloadDb + " yet: serving the sample directory until a directory is imported there and the "
            "server reloaded");
    OpenedDirectory opened = fromPostgres ? openPostgres(settings.postgres, *connection)
                                          : openDirectory(startDb, settings.maxMemoryEntries);
    if (!opened.directory) {
        log(opened.error, LogPriority::Error);
        closeReloadStatus();
        return opened.rejected ? kExitRejected : kExitFailure;
    }
    std::signal(SIGPIPE, SIG_IGN);
    raiseFileLimit(settings.serve.maxConnections);
    // One thread runs everything: no locking is needed around socket I/O.
    uv_loop_t loop{};
    if (const int rc = uv_loop_init(&loop); rc != 0) {
        log(std::string("cannot start the event loop: ") + uv_strerror(rc), LogPriority::Error);
        closeReloadStatus();
        return kExitFailure;
    }
    int status = kExitOk;
    startLogWriter();
    {
        LookupServer server(loop, settings.serve, opened.directory, log);
        std::string error;
        if (!server.start(error)) {
            log(error, LogPriority::Error);
            status = kExitFailure;
        } else {
            std::string where;
            for (const std::string& socket : server.listeningOn())
                where += (where.empty() ? "" : ", ") + socket;
            log("started: serving " + opened.description + " on " + where);
            firstLoadServed(opened.description);
            opened.directory.reset();

            std::unique_ptr<Reloader> reloader;
            std::unique_ptr<PostgresSource> postgres;
            DirectorySource* source = nullptr;
            if (fromPostgres) {
                postgres = std::make_unique<PostgresSource>(loop, server, settings.postgres, std::move(connection));
                source = postgres.get();
            } else {
                reloader = std::make_unique<Reloader>(loop, server, reloadDb, settings.maxMemoryEntries);
                source = reloader.get();
            }
            Signals signals(loop, server, *source, fromPostgres || !reloadDb.empty());
            if (takeEarlySighup()) {
                log("SIGHUP came while loading: loading again");
                reloadRequested();
                source->request();
            }
            tellSystemd(notifyReady("serving " + opened.description));
            Watchdog watchdog(loop);
            StatsPublisher stats(loop, server, metrics);
            uv_run(&loop, UV_RUN_DEFAULT);
            log("stopped");
        }
    }
    uv_run(&loop, UV_RUN_DEFAULT); // any handle still closing
    if (uv_loop_close(&loop) != 0)
        log("some handles were still open at exit", LogPriority::Warning);
    closeReloadStatus();
    stopLogWriter();
    return status;
}

} // namespace velmario::server
