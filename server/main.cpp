// velmario-server: answers directory lookups on TCP port 1007.
#include "answer.h"
#include "csvimport.h"
#include "directory.h"
#include "lookupserver.h"

#include <uv.h>

#include <array>
#include <charconv>
#include <mutex>
#include <thread>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/resource.h>

using namespace velmario::server;

namespace {

constexpr const char* kVersion = "velmario-server " VELMARIO_VERSION_TEXT " (" VELMARIO_PRODUCT_NAME ")";

// Exit codes.
constexpr int kOk = 0;
constexpr int kUsage = 1;     // bad command line
constexpr int kFailure = 2;   // cannot start: database or address
constexpr int kRejected = 3;  // import refused: the CSV has bad rows

constexpr const char* kHelp = R"(Usage:
  velmario-server [OPTIONS]                  serve lookups
  velmario-server import FILE.csv --db FILE.db
                                             replace the database with a CSV directory
  velmario-server export --db FILE.db        write the database as CSV to standard output

Serving options:
  --listen ADDR            address to listen on (default: every IPv4 and IPv6 address)
  --port N                 TCP port (default 1007)
  --db FILE                directory database (default: the built-in sample directory)
  --max-connections N      connections served at once (default 1024)
  --max-request-bytes N    longest request looked up (default 256)
  --idle-timeout SECONDS   close a connection idle this long (default 300)
  --max-pending-bytes N    unsent replies after which a client is dropped (default 65536)
  --max-memory-entries N   hold the replies of a directory of up to N entries in
                           memory (default 5000000, about 90 bytes each); a larger
                           one is looked up in the database file (0: always)
  --help, --version

The CSV is UTF-8 with the header control_number,name,telephone.
SIGHUP reopens the database without dropping connections; SIGTERM or SIGINT stop.
Exit codes: 0 success, 1 bad usage, 2 cannot start, 3 CSV rejected.
)";

void log(const std::string& line)
{
    std::fprintf(stderr, "velmario-server: %s\n", line.c_str());
    std::fflush(stderr);
}

template <class T>
bool number(const std::string& text, T& out)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

int usage(const std::string& message)
{
    std::fprintf(stderr, "velmario-server: %s\nTry 'velmario-server --help'.\n", message.c_str());
    return kUsage;
}

int runImport(const std::string& csvPath, const std::string& dbPath)
{
    std::ifstream in(csvPath, std::ios::binary);
    if (!in) {
        log("cannot read " + csvPath);
        return kFailure;
    }
    std::stringstream content;
    content << in.rdbuf();
    const CsvImport parsed = parseDirectoryCsv(content.str());
    if (!parsed.problems.empty()) {
        for (const CsvProblem& p : parsed.problems)
            std::fprintf(stderr, "%s:%zu: %s\n", csvPath.c_str(), p.line, p.message.c_str());
        log(std::to_string(parsed.problems.size()) + " bad line(s): nothing imported, " + dbPath + " unchanged");
        return kRejected;
    }
    std::string error;
    if (!Directory::write(dbPath, parsed.entries, error)) {
        log("import failed: " + error);
        return kFailure;
    }
    log("imported " + std::to_string(parsed.entries.size()) + " entries into " + dbPath);
    return kOk;
}

int runExport(const std::string& dbPath)
{
    std::string error;
    auto directory = Directory::open(dbPath, error);
    if (!directory) {
        log(error);
        return kFailure;
    }
    const auto entries = directory->all();
    if (!entries) {
        log(dbPath + ": the directory cannot be read to its end; the file is damaged. Nothing exported.");
        return kFailure;
    }
    const std::string csv = directoryCsv(*entries);
    std::fwrite(csv.data(), 1, csv.size(), stdout);
    return std::fflush(stdout) == 0 ? kOk : kFailure;
}

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

struct Opened {
    std::shared_ptr<Directory> directory;
    std::string error;
    std::string description; // "N entries from WHERE (how it is served)"
};

// Opens the directory to serve and, if it is small enough, holds its replies
// in memory.
Opened openDirectory(const std::string& dbPath, std::size_t maxMemoryEntries)
{
    Opened opened;
    if (dbPath.empty()) {
        opened.directory = Directory::sample();
        if (!opened.directory)
            opened.error = "cannot build the sample directory";
    } else {
        opened.directory = Directory::open(dbPath, opened.error);
    }
    if (!opened.directory)
        return opened;
    const std::string damaged = dbPath + ": the directory cannot be read to its end; the file is damaged";
    std::optional<std::size_t> entries;
    std::string how = "looked up in the database file";
    if (maxMemoryEntries > 0) {
        switch (holdRepliesInMemory(*opened.directory, maxMemoryEntries)) {
        case Holding::InMemory: {
            const ReplyIndex& replies = *opened.directory->replies();
            entries = replies.size();
            char held[64];
            std::snprintf(held, sizeof held, "held in memory, %.1f MiB", double(replies.memoryBytes()) / (1024.0 * 1024.0));
            how = held;
            break;
        }
        case Holding::TooLarge:
            break;
        case Holding::Unreadable:
            opened.error = damaged;
            opened.directory.reset();
            return opened;
        }
    }
    if (!entries)
        entries = opened.directory->size();
    if (!entries) {
        opened.error = damaged;
        opened.directory.reset();
        return opened;
    }
    opened.description = std::to_string(*entries) + " entries from " +
                         (dbPath.empty() ? std::string("the sample directory") : dbPath) + " (" + how + ")";
    return opened;
}

// Reopens the database on SIGHUP. Opening and loading a large directory
// takes a while, so it runs on a thread of its own while the loop keeps
// serving the old one; the swap happens on the loop.
class Reloader
{
public:
    Reloader(uv_loop_t& loop, LookupServer& server, std::string dbPath, std::size_t maxMemoryEntries)
        : m_server(server), m_dbPath(std::move(dbPath)), m_maxMemoryEntries(maxMemoryEntries)
    {
        uv_async_init(&loop, &m_done, [](uv_async_t* done) { static_cast<Reloader*>(done->data)->finished(); });
        m_done.data = this;
    }
    Reloader(const Reloader&) = delete;
    Reloader& operator=(const Reloader&) = delete;
    // The loop must have run the close callback (see close()) by now.
    ~Reloader()
    {
        if (m_worker.joinable())
            m_worker.join();
    }

    void request()
    {
        if (m_busy) {
            m_again = true; // the file may have changed since this one began
            return;
        }
        m_busy = true;
        if (m_worker.joinable())
            m_worker.join();
        m_worker = std::thread([this] {
            Opened opened = openDirectory(m_dbPath, m_maxMemoryEntries);
            const std::lock_guard lock(m_mutex);
            m_result = std::move(opened);
            if (!m_closing)
                uv_async_send(&m_done);
        });
    }

    // Lets the loop end; a reload still running is dropped when it finishes.
    void close()
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
        uv_close(reinterpret_cast<uv_handle_t*>(&m_done), nullptr);
    }

private:
    void finished()
    {
        Opened opened;
        {
            const std::lock_guard lock(m_mutex);
            opened = std::move(m_result);
        }
        if (opened.directory) {
            m_server.setDirectory(std::move(opened.directory));
            log("reloaded: serving " + opened.description);
        } else {
            log("reload failed, still serving the previous directory: " + opened.error);
        }
        m_busy = false;
        if (m_again) {
            m_again = false;
            request();
        }
    }

    LookupServer& m_server;
    const std::string m_dbPath;
    const std::size_t m_maxMemoryEntries;
    uv_async_t m_done{};
    std::thread m_worker;
    std::mutex m_mutex;
    Opened m_result; // guarded by m_mutex
    bool m_closing = false;
    bool m_busy = false;
    bool m_again = false;
};

// SIGHUP reloads; SIGTERM and SIGINT stop.
class Signals
{
public:
    Signals(uv_loop_t& loop, LookupServer& server, Reloader& reloader, bool reloadable)
        : m_server(server), m_reloader(reloader), m_reloadable(reloadable)
    {
        constexpr std::array<int, 3> numbers = {SIGHUP, SIGTERM, SIGINT};
        static_assert(numbers.size() == std::tuple_size_v<decltype(m_handles)>);
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            uv_signal_init(&loop, &m_handles[i]);
            m_handles[i].data = this;
            uv_signal_start(&m_handles[i], [](uv_signal_t* h, int signal) { static_cast<Signals*>(h->data)->on(signal); },
                            numbers[i]);
        }
    }

private:
    void on(int signal)
    {
        if (signal == SIGHUP) {
            if (m_reloadable)
                m_reloader.request();
            else
                log("reload: serving the sample directory, nothing to reload");
            return;
        }
        log("stopping (" + std::string(signal == SIGTERM ? "SIGTERM" : "SIGINT") + "), closing " +
            std::to_string(m_server.connectionCount()) + " connection(s)");
        // With every handle closed the loop ends.
        m_server.stop();
        m_reloader.close();
        for (auto& handle : m_handles)
            uv_close(reinterpret_cast<uv_handle_t*>(&handle), nullptr);
    }

    LookupServer& m_server;
    Reloader& m_reloader;
    const bool m_reloadable;
    std::array<uv_signal_t, 3> m_handles{};
};

int runServer(const ServerOptions& options, const std::string& dbPath, std::size_t maxMemoryEntries)
{
    Opened opened = openDirectory(dbPath, maxMemoryEntries);
    if (!opened.directory) {
        log(opened.error);
        return kFailure;
    }
    std::signal(SIGPIPE, SIG_IGN);
    raiseFileLimit(options.maxConnections);
    // One thread runs everything: no locking is needed around socket I/O.
    uv_loop_t loop{};
    if (const int rc = uv_loop_init(&loop); rc != 0) {
        log(std::string("cannot start the event loop: ") + uv_strerror(rc));
        return kFailure;
    }
    int status = kOk;
    {
        LookupServer server(loop, options, opened.directory, log);
        std::string error;
        if (!server.start(error)) {
            log(error);
            status = kFailure;
        } else {
            std::string where;
            for (const std::string& socket : server.listeningOn())
                where += (where.empty() ? "" : ", ") + socket;
            log("started: serving " + opened.description + " on " + where);
            opened.directory.reset();

            Reloader reloader(loop, server, dbPath, maxMemoryEntries);
            Signals signals(loop, server, reloader, !dbPath.empty());
            uv_run(&loop, UV_RUN_DEFAULT);
            log("stopped");
        }
    }
    uv_run(&loop, UV_RUN_DEFAULT); // any handle still closing
    if (uv_loop_close(&loop) != 0)
        log("some handles were still open at exit");
    return status;
}

int run(int argc, char* argv[])
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "import" || args[0] == "export")) {
        const std::string command = args[0];
        std::string csv, db;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--db" && i + 1 < args.size())
                db = args[++i];
            else if (command == "import" && csv.empty() && args[i].rfind("--", 0) != 0)
                csv = args[i];
            else
                return usage("unexpected argument '" + args[i] + "' for " + command);
        }
        if (db.empty())
            return usage(command + " needs --db FILE.db");
        if (command == "import") {
            if (csv.empty())
                return usage("import needs the CSV file to read");
            return runImport(csv, db);
        }
        return runExport(db);
    }

    ServerOptions options;
    std::string db;
    std::size_t maxMemoryEntries = 5'000'000;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help") {
            std::fputs(kHelp, stdout);
            return kOk;
        }
        if (arg == "--version") {
            std::puts(kVersion);
            return kOk;
        }
        if (i + 1 >= args.size())
            return usage("unknown option or missing value: '" + arg + "'");
        const std::string& value = args[++i];
        std::size_t count = 0;
        unsigned seconds = 0;
        if (arg == "--listen") {
            options.listen = value;
        } else if (arg == "--port") {
            if (!number(value, options.port))
                return usage("--port needs a number from 0 to 65535");
        } else if (arg == "--db") {
            db = value;
        } else if (arg == "--max-connections" && number(value, count) && count > 0) {
            options.maxConnections = count;
        } else if (arg == "--max-request-bytes" && number(value, count) && count > 0) {
            options.maxRequestBytes = count;
        } else if (arg == "--max-pending-bytes" && number(value, count) && count > 0) {
            options.maxPendingBytes = count;
        } else if (arg == "--max-memory-entries" && number(value, count)) {
            maxMemoryEntries = count;
        } else if (arg == "--idle-timeout" && number(value, seconds) && seconds > 0) {
            options.idleTimeout = std::chrono::seconds(seconds);
        } else {
            std::string message = "bad option or value: '";
            message.append(arg).append(" ").append(value).append("'");
            return usage(message);
        }
    }
    return runServer(options, db, maxMemoryEntries);
}

} // namespace

int main(int argc, char* argv[])
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        // Out of memory or a failure of the system's event machinery.
        log(std::string("fatal: ") + e.what());
        return kFailure;
    }
}
