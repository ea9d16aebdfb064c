#include "serve.h"

#include "exitcodes.h"
#include "log.h"
#include "lookupserver.h"
#include "reloader.h"
#include "signals.h"

#include <uv.h>

#include <algorithm>
#include <csignal>
#include <sys/resource.h>

namespace velmario::server {
namespace {

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
            std::to_string(maxConnections) + " connections may be served at once");
}

} // namespace

int serve(const Settings& settings)
{
    log("loading " + (settings.db.empty() ? std::string("the sample directory") : settings.db));
    OpenedDirectory opened = openDirectory(settings.db, settings.maxMemoryEntries);
    if (!opened.directory) {
        log(opened.error);
        return kExitFailure;
    }
    std::signal(SIGPIPE, SIG_IGN);
    raiseFileLimit(settings.serve.maxConnections);
    // One thread runs everything: no locking is needed around socket I/O.
    uv_loop_t loop{};
    if (const int rc = uv_loop_init(&loop); rc != 0) {
        log(std::string("cannot start the event loop: ") + uv_strerror(rc));
        return kExitFailure;
    }
    int status = kExitOk;
    startLogWriter();
    {
        LookupServer server(loop, settings.serve, opened.directory, [](const std::string& line) { log(line); });
        std::string error;
        if (!server.start(error)) {
            log(error);
            status = kExitFailure;
        } else {
            std::string where;
            for (const std::string& socket : server.listeningOn())
                where += (where.empty() ? "" : ", ") + socket;
            log("started: serving " + opened.description + " on " + where);
            opened.directory.reset();

            Reloader reloader(loop, server, settings.db, settings.maxMemoryEntries);
            Signals signals(loop, server, reloader, !settings.db.empty());
            if (takeEarlySighup()) {
                log("SIGHUP came while loading: loading again");
                reloader.request();
            }
            uv_run(&loop, UV_RUN_DEFAULT);
            log("stopped");
        }
    }
    uv_run(&loop, UV_RUN_DEFAULT); // any handle still closing
    if (uv_loop_close(&loop) != 0)
        log("some handles were still open at exit");
    stopLogWriter();
    return status;
}

} // namespace velmario::server
