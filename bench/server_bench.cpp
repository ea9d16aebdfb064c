// Lookups per second, latency and server CPU time per lookup for
// velmario-server against a bare fixed-reply epoll server, measured in the
// same run on loopback.
//
//   server_bench [--rows N] [--seconds S] [--rounds R] [--paced-rate N] [--entries N] [--keep DIR]
//
// It writes a directory of N rows (1 000 000 by default) as CSV, imports it
// with velmario-server, then drives each server at 1 and at 50 connections,
// one request outstanding per connection, for S seconds (3 by default) each,
// R times in turn (3 by default), and prints the median ratio, its spread
// and the target beside it.
// Each 50-connection run is followed, on the same server, by a paced run:
// the 50 connections together send --paced-rate lookups a second (50 000 by
// default) at evenly spaced times, and each lookup's latency runs from its
// write to the moment the reply reaches the load's socket, as the kernel
// stamps it. That p99 is the one held to its target. The closed loop's p99
// is printed beside it for information only: with every connection asking
// again as soon as it is answered, the load falls into one of two rhythms
// (replies handled a few at a time, or all fifty at once, with most of the
// cycle spent in the load itself and not counted), and which one a server
// meets decides its p99 more than the server does.
// At 50 connections once more with --metrics served and scraped ten times
// a second.
// Then the scale row, on a directory of --entries rows (10 000 000 by
// default; 0 skips it) like "Persona Número N Apellido*961-xxx-xxxx":
// bytes an entry in memory, start-up seconds per million entries, a
// reload's peak against the steady resident set, lookups against the
// floor, and the database file's lookups against memory's.
// The servers run pinned to CPU 0 and the load to CPU 1 where there are two.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "benchsupport.h"

namespace {

using velmario::bench::freePort;
using velmario::bench::pin;
using velmario::bench::stop;

using Clock = std::chrono::steady_clock;

struct Result {
    double perSecond = 0;
    double p50us = 0;
    double p99us = 0;
    double cpuUsPerLookup = 0;
    long lookups = 0;
    long errors = 0;
};

std::string controlNumber(long i)
{
    return std::to_string(10000000 + i);
}

// Starts a server on CPU 0, its standard error to `stderrFd` (-1: nowhere).
pid_t spawn(const std::vector<std::string>& args, int stderrFd = -1)
{
    const pid_t pid = fork();
    if (pid == 0) {
        pin(0);
        ::dup2(stderrFd >= 0 ? stderrFd : ::open("/dev/null", O_WRONLY), 2);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Seconds from the server's start to its "started:" line; negative if it
// never says it.
double timeToServe(const std::vector<std::string>& args, pid_t& pid)
{
    int out[2];
    if (::pipe(out) != 0)
        return -1;
    const auto t0 = std::chrono::steady_clock::now();
    pid = spawn(args, out[1]);
    ::close(out[1]);
    std::string log;
    char buffer[4096];
    ssize_t n;
    while (log.find("started:") == std::string::npos && (n = ::read(out[0], buffer, sizeof buffer)) > 0)
        log.append(buffer, static_cast<std::size_t>(n));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // Let the server go on writing to nobody: the pipe's far end closes.
    ::close(out[0]);
    if (log.find("started:") == std::string::npos) {
        std::fprintf(stderr, "%s", log.c_str());
        return -1;
    }
    return elapsed;
}

double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), {});
    const auto close = content.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = close + 2; i < content.size(); ++i) {
        if (content[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += content[i];
        }
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 here.
    const double ticks = double(std::stol(fields.at(11)) + std::stol(fields.at(12)));
    return ticks / double(sysconf(_SC_CLK_TCK));
}

int connectTo(uint16_t port)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return -1;
}

Result drive(uint16_t port, pid_t server, int connections, double seconds, long rows)
{
    struct Conn {
        int fd;
        Clock::time_point sent;
    };
    std::vector<Conn> conns;
    const int epoll = ::epoll_create1(0);
    std::mt19937 random(1007);
    std::uniform_int_distribution<long> pick(0, rows - 1);
    for (int i = 0; i < connections; ++i) {
        const int fd = connectTo(port);
        if (fd < 0) {
            std::fprintf(stderr, "cannot connect to port %u\n", port);
            std::exit(1);
        }
        conns.push_back({fd, {}});
    }
    for (int i = 0; i < connections; ++i) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = uint32_t(i);
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, conns[i].fd, &e);
    }
    std::vector<float> latencies;
    latencies.reserve(4'000'000);
    Result result;
    const auto send = [&](Conn& c) {
        const std::string request = controlNumber(pick(random));
        c.sent = Clock::now();
        if (::write(c.fd, request.data(), request.size()) != ssize_t(request.size()))
            ++result.errors;
    };
    for (auto& c : conns)
        send(c);
    char buffer[4096];
    epoll_event events[256];
    // The first half second warms both servers alike (caches, pages, the
    // scheduler's view of them) and is not counted.
    const auto warm = Clock::now() + std::chrono::milliseconds(500);
    double cpuBefore = -1;
    Clock::time_point start, end;
    while ((cpuBefore < 0 || Clock::now() < end) && latencies.size() < latencies.capacity()) {
        const int n = ::epoll_wait(epoll, events, 256, 1000);
        const auto now = Clock::now();
        if (cpuBefore < 0 && now >= warm) {
            cpuBefore = cpuSeconds(server);
            start = Clock::now();
            end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        }
        for (int i = 0; i < n; ++i) {
            Conn& c = conns[events[i].data.u32];
            const ssize_t got = ::read(c.fd, buffer, sizeof buffer);
            if (got <= 0 || std::memchr(buffer, '*', size_t(got)) == nullptr) {
                ++result.errors;
                continue;
            }
            if (cpuBefore >= 0 && c.sent >= start)
                latencies.push_back(std::chrono::duration<float, std::micro>(now - c.sent).count());
            send(c);
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpuAfter = cpuSeconds(server);
    for (auto& c : conns)
        ::close(c.fd);
    ::close(epoll);
    std::sort(latencies.begin(), latencies.end());
    result.lookups = long(latencies.size());
    if (!latencies.empty()) {
        result.perSecond = double(latencies.size()) / elapsed;
        result.p50us = latencies[latencies.size() / 2];
        result.p99us = latencies[latencies.size() * 99 / 100];
        result.cpuUsPerLookup = (cpuAfter - cpuBefore) * 1e6 / double(latencies.size());
    }
    return result;
}

// Latency at a load both servers carry: `rate` lookups a second from
// `connections` connections, each sending at its own evenly spaced times
// (later only while its last reply is still awaited), for `seconds` after a
// half second not counted. Returns p50 and p99 in microseconds, from each
// write to the kernel's receive stamp of its reply, so that the load's own
// scheduling adds nothing.
struct Paced {
    double p50us = 0;
    double p99us = 0;
    long lookups = 0;
    long errors = 0;
};

Paced paced(uint16_t port, int connections, double seconds, double rate, long rows)
{
    using Real = std::chrono::system_clock; // the clock SO_TIMESTAMPNS stamps with
    struct Conn {
        int fd;
        Clock::time_point due;
        Real::time_point sent;
        bool awaited = false;
        bool counted = false;
    };
    std::vector<Conn> conns;
    const int epoll = ::epoll_create1(0);
    std::mt19937 random(1008);
    std::uniform_int_distribution<long> pick(0, rows - 1);
    const auto step = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    const auto start = Clock::now() + std::chrono::milliseconds(10);
    for (int i = 0; i < connections; ++i) {
        const int fd = connectTo(port);
        if (fd < 0) {
            std::fprintf(stderr, "cannot connect to port %u\n", port);
            std::exit(1);
        }
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = uint32_t(i);
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &e);
        conns.push_back({fd, start + i * step, {}});
    }
    const auto period = step * connections;
    const auto counted = start + std::chrono::milliseconds(500);
    const auto end = counted + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<float> latencies;
    Paced result;
    char buffer[4096];
    char control[CMSG_SPACE(sizeof(timespec))];
    epoll_event events[256];
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        for (Conn& c : conns) {
            if (c.awaited || now < c.due)
                continue;
            const std::string request = controlNumber(pick(random));
            c.due += period;
            c.counted = now >= counted;
            c.awaited = true;
            c.sent = Real::now();
            if (::write(c.fd, request.data(), request.size()) != ssize_t(request.size()))
                ++result.errors;
        }
        // The load has a CPU of its own: it polls, so as to send on time.
        const int n = ::epoll_wait(epoll, events, 256, 0);
        for (int i = 0; i < n; ++i) {
            Conn& c = conns[events[i].data.u32];
            iovec data{buffer, sizeof buffer};
            msghdr message{};
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t got = ::recvmsg(c.fd, &message, 0);
            const cmsghdr* header = CMSG_FIRSTHDR(&message);
            if (got <= 0 || std::memchr(buffer, '*', size_t(got)) == nullptr || header == nullptr
                || header->cmsg_type != SCM_TIMESTAMPNS) {
                ++result.errors;
                continue;
            }
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
            const auto arrived = Real::time_point(std::chrono::duration_cast<Real::duration>(
                std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
            if (c.counted)
                latencies.push_back(std::chrono::duration<float, std::micro>(arrived - c.sent).count());
            c.awaited = false;
        }
    }
    for (auto& c : conns)
        ::close(c.fd);
    ::close(epoll);
    std::sort(latencies.begin(), latencies.end());
    result.lookups = long(latencies.size());
    if (!latencies.empty()) {
        result.p50us = latencies[latencies.size() / 2];
        result.p99us = latencies[latencies.size() * 99 / 100];
    }
    return result;
}

void print(const char* name, int connections, const Result& r)
{
    std::printf("%-16s %4d conn  %9.0f lookups/s  p50 %7.1f us  p99 %7.1f us  cpu %5.2f us/lookup  (%ld lookups, %ld errors)\n",
                name, connections, r.perSecond, r.p50us, r.p99us, r.cpuUsPerLookup, r.lookups, r.errors);
}

void print(const char* name, int connections, double rate, const Paced& r)
{
    std::printf("%-16s %4d conn  paced at %.0f/s       p50 %7.1f us  p99 %7.1f us  (%ld lookups, %ld errors)\n", name,
                connections, rate, r.p50us, r.p99us, r.lookups, r.errors);
}

// The median of the rounds' ratios, their spread, and the target beside them.
void printRatio(const char* what, const char* of, std::vector<double> ratios, double target, bool atLeast)
{
    std::sort(ratios.begin(), ratios.end());
    const double median = ratios[ratios.size() / 2];
    std::printf("%-12s %.2f %s (rounds %.2f to %.2f)", what, median, of, ratios.front(), ratios.back());
    if (target > 0) {
        const bool met = atLeast ? median >= target : median <= target;
        std::printf("  target %s %.2f: %s", atLeast ? ">=" : "<=", target, met ? "met" : "MISSED");
    }
    std::printf("\n");
}

} // namespace

// Loading the same rows from PostgreSQL and from the database file, and
// lookups from each, when PostgreSQL is installed: a throwaway cluster in
// `dir`, owned by nobody when run as root.
void comparePostgres(const std::string& server, const std::string& db, const std::string& csv,
                     const std::filesystem::path& dir, long rows, double seconds)
{
    std::string bin;
    for (const char* version : {"17", "16", "15"}) {
        if (std::filesystem::exists(std::string("/usr/lib/postgresql/") + version + "/bin/initdb")) {
            bin = std::string("/usr/lib/postgresql/") + version + "/bin/";
            break;
        }
    }
    if (bin.empty() || !std::filesystem::exists(csv)) {
        std::printf("PostgreSQL: skipped (%s)\n", bin.empty() ? "not installed" : "the CSV was not written this run");
        return;
    }
    const std::string pg = (dir / "pg").string();
    std::filesystem::create_directories(pg);
    const std::string as = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    if (::geteuid() == 0 && ::chown(pg.c_str(), 65534, 65534) != 0)
        return;
    const std::string port = "5434";
    const std::string psql = "psql -X -q -h '" + pg + "' -p " + port + " -U velmario -d postgres";
    const bool ready =
        std::system((as + bin + "initdb -D '" + pg + "/data' -A trust -U velmario -E UTF8 --locale=C.UTF-8 >/dev/null").c_str()) == 0
        && std::system((as + bin + "pg_ctl -D '" + pg + "/data' -l '" + pg + "/log' -w -o \"-k " + pg +
                        " -c listen_addresses='' -p " + port + "\" start >/dev/null").c_str()) == 0
        && std::system((psql + " -c 'CREATE TABLE velmario_directory (control_number text PRIMARY KEY, name text, "
                                "telephone text)' -c \"\\copy velmario_directory FROM '" + csv +
                        "' WITH (FORMAT csv, HEADER true)\"").c_str()) == 0;
    if (ready) {
        // PostgreSQL's rows are checked one by one as they come: so are the
        // file's here, its checked copy of the replies put aside meanwhile.
        const std::string copy = db + "-replies";
        std::error_code ec;
        std::filesystem::rename(copy, copy + ".aside", ec);
        const uint16_t filePort = freePort();
        pid_t filePid = 0;
        const double fromFile = timeToServe({server, "--listen", "127.0.0.1", "--port", std::to_string(filePort), "--db", db,
                                             "--rate-limit", "0", "--max-connections-per-address", "0"}, filePid);
        if (!ec)
            std::filesystem::rename(copy + ".aside", copy, ec);
        const uint16_t pgPort = freePort();
        pid_t pgPid = 0;
        const double fromPostgres = timeToServe(
            {server, "--listen", "127.0.0.1", "--port", std::to_string(pgPort), "--postgres",
             "host=" + pg + " port=" + port + " user=velmario dbname=postgres", "--rate-limit", "0",
             "--max-connections-per-address", "0"}, pgPid);
        std::printf("[loading %ld rows, every entry checked]\nfrom the database file %.2f s, from PostgreSQL %.2f s: %.2f x the file's "
                    "(target 2.00 at most)\n\n", rows, fromFile, fromPostgres, fromPostgres / fromFile);
        if (fromFile > 0 && fromPostgres > 0) {
            const Result file = drive(filePort, filePid, 50, seconds, rows);
            const Result postgres = drive(pgPort, pgPid, 50, seconds, rows);
            std::printf("[lookups, directory from the file and from PostgreSQL]\n");
            print("from file", 50, file);
            print("from PostgreSQL", 50, postgres);
            std::printf("%-16s %4d conn  throughput %.2f of the file-loaded server's\n\n", "ratio", 50,
                        postgres.perSecond / file.perSecond);
        }
        stop(filePid);
        stop(pgPid);
    } else {
        std::printf("PostgreSQL: could not start a cluster in %s\n", pg.c_str());
    }
    if (std::system((as + bin + "pg_ctl -D '" + pg + "/data' -m fast -w stop >/dev/null 2>&1").c_str()) != 0)
        std::fprintf(stderr, "server_bench: the throwaway PostgreSQL in %s did not stop\n", pg.c_str());
}

// Fetches http://127.0.0.1:port/metrics every `every` until `stop`, as a
// Prometheus would (only far more often); counts the scrapes answered.
void scrape(uint16_t port, std::chrono::milliseconds every, const std::atomic<bool>& stop, long& answered)
{
    while (!stop) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const char request[] = "GET /metrics HTTP/1.0\r\n\r\n";
            std::string reply;
            if (::write(fd, request, sizeof request - 1) == ssize_t(sizeof request - 1)) {
                char buffer[8192];
                ssize_t n;
                while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
                    reply.append(buffer, std::size_t(n));
            }
            if (reply.find("velmario_lookups_total{result=\"found\"}") != std::string::npos)
                ++answered;
        }
        ::close(fd);
        std::this_thread::sleep_for(every);
    }
}

// A server whose standard error is read line by line as it comes.
struct Watched {
    pid_t pid = -1;
    int err = -1;
    std::string log;

    // Seconds until a line holding `text` (negative: the server ended or
    // `timeout` passed first).
    double waitFor(const std::string& text, double timeout = 600)
    {
        const auto t0 = Clock::now();
        while (log.find(text) == std::string::npos) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
            if (elapsed > timeout)
                return -1;
            pollfd p{err, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                char buffer[4096];
                const ssize_t n = ::read(err, buffer, sizeof buffer);
                if (n <= 0)
                    return -1;
                log.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return std::chrono::duration<double>(Clock::now() - t0).count();
    }
    ~Watched()
    {
        if (pid > 0)
            stop(pid);
        if (err >= 0)
            ::close(err);
    }
};

Watched watch(const std::vector<std::string>& args)
{
    Watched w;
    int out[2];
    if (::pipe(out) != 0)
        return w;
    w.pid = spawn(args, out[1]);
    ::close(out[1]);
    w.err = out[0];
    return w;
}

// kB of "VmRSS" or "VmHWM" of a process.
long statusKb(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field) + 1);
    }
    return -1;
}

void printFigure(const char* what, double value, const char* unit, double target, bool atLeast)
{
    const bool met = atLeast ? value >= target : value <= target;
    std::printf("%-34s %8.2f %-22s target %s %.2f: %s\n", what, value, unit, atLeast ? ">=" : "<=", target,
                met ? "met" : "MISSED");
}

// The scale row: a directory of `entries` rows, built once in `dir`.
void scale(const std::string& server, const std::string& baseline, const std::filesystem::path& dir, long entries,
           double seconds)
{
    const std::string db = (dir / ("scale-" + std::to_string(entries) + ".db")).string();
    if (!std::filesystem::exists(db)) {
        const std::string csv = (dir / "scale.csv").string();
        {
            std::ofstream out(csv);
            out << "control_number,name,telephone\n";
            char line[128];
            for (long i = 0; i < entries; ++i) {
                const int n = std::snprintf(line, sizeof line, "%ld,Persona Número %ld Apellido,961-%03ld-%04ld\n",
                                            10000000 + i, i, 100 + i % 900, i % 10000);
                out.write(line, n);
            }
        }
        const auto t0 = Clock::now();
        const int status = std::system(("'" + server + "' import '" + csv + "' --db '" + db + "' 2>/dev/null").c_str());
        std::filesystem::remove(csv);
        if (status != 0) {
            std::printf("[scale] import failed\n");
            return;
        }
        std::printf("[scale: %ld entries, imported in %.1f s]\n", entries,
                    std::chrono::duration<double>(Clock::now() - t0).count());
    } else {
        std::printf("[scale: %ld entries]\n", entries);
    }
    const std::vector<std::string> off = {"--rate-limit", "0", "--max-connections-per-address", "0"};
    const auto command = [&](uint16_t port, long memoryEntries) {
        std::vector<std::string> c = {server, "--listen", "127.0.0.1", "--port", std::to_string(port), "--db", db,
                                      "--max-memory-entries", std::to_string(memoryEntries)};
        c.insert(c.end(), off.begin(), off.end());
        return c;
    };
    const double millions = double(entries) / 1e6;

    // Held in memory: start, size, lookups, then a reload.
    const uint16_t port = freePort();
    Watched memory = watch(command(port, entries));
    const double start = memory.waitFor("started:");
    if (start < 0) {
        std::printf("the server did not start:\n%s\n", memory.log.c_str());
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long steadyKb = statusKb(memory.pid, "VmRSS:");
    const Result inMemory = drive(port, memory.pid, 50, seconds, entries);
    // The peak from here on: the reload's.
    std::ofstream(("/proc/" + std::to_string(memory.pid) + "/clear_refs").c_str()) << "5";
    const long beforeReloadKb = statusKb(memory.pid, "VmRSS:");
    ::kill(memory.pid, SIGHUP);
    const double reload = memory.waitFor("reloaded: serving");
    const long peakKb = statusKb(memory.pid, "VmHWM:");
    stop(memory.pid);
    memory.pid = -1;

    const uint16_t floorPort = freePort();
    const pid_t floorPid = spawn({baseline, std::to_string(floorPort)});
    const Result floor = drive(floorPort, floorPid, 50, seconds, entries);
    stop(floorPid);

    // Looked up in the database file.
    const uint16_t filePort = freePort();
    Watched file = watch(command(filePort, 0));
    const double fileStart = file.waitFor("started:");
    const Result fromFile = fileStart < 0 ? Result{} : drive(filePort, file.pid, 50, seconds, entries);

    print("held in memory", 50, inMemory);
    print("epoll baseline", 50, floor);
    print("database file", 50, fromFile);
    std::printf("reload: %.1f s until the new table serves; file mode started in %.1f s\n", reload, fileStart);
    printFigure("bytes an entry (resident set)", double(steadyKb) * 1024.0 / double(entries), "B", 64, false);
    printFigure("start-up", start / millions, "s per million entries", 0.5, false);
    // The new table is read while the old one serves.
    printFigure("reload peak", reload < 0 ? 0 : double(peakKb) / double(beforeReloadKb), "x the steady set", 2.1,
                false);
    printFigure("lookups held in memory", inMemory.perSecond / floor.perSecond, "of the floor", 0.9, true);
    printFigure("lookups in the database file", fromFile.perSecond / inMemory.perSecond, "of memory's", 0.6, true);
    std::printf("\n");
}

int main(int argc, char** argv)
{
    long rows = 1'000'000;
    double seconds = 3;
    int rounds = 5;
    double pacedRate = 50'000;
    std::string keep;
    long entries = 10'000'000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--rows")
            rows = std::atol(argv[i + 1]);
        else if (arg == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (arg == "--keep")
            keep = argv[i + 1];
        else if (arg == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (arg == "--entries")
            entries = std::atol(argv[i + 1]);
        else if (arg == "--paced-rate")
            pacedRate = std::max(1.0, std::atof(argv[i + 1]));
    }
    const std::filesystem::path self = std::filesystem::canonical("/proc/self/exe").parent_path();
    const std::string server = (self.parent_path() / "server" / "velmario-server").string();
    const std::string baseline = (self / "baseline_server").string();
    const std::filesystem::path dir = keep.empty() ? std::filesystem::temp_directory_path() / ("velmario-bench-" + std::to_string(getpid()))
                                                   : std::filesystem::path(keep);
    std::filesystem::create_directories(dir);
    const std::string csv = (dir / "directory.csv").string();
    const std::string db = (dir / "directory.db").string();

    pin(1);
    // --rows 0: the scale row alone.
    if (rows > 0) {
        if (!std::filesystem::exists(db)) {
            std::ofstream out(csv);
            out << "control_number,name,telephone\n";
            for (long i = 0; i < rows; ++i)
                out << controlNumber(i) << ",Persona " << i << " Núñez,961-" << (100 + i % 900) << '-' << (1000 + i % 9000) << '\n';
            out.close();
            const auto t0 = Clock::now();
            const int status = std::system(("'" + server + "' import '" + csv + "' --db '" + db + "' 2>/dev/null").c_str());
            if (status != 0) {
                std::fprintf(stderr, "import failed\n");
                return 1;
            }
            std::printf("imported %ld rows in %.1f s\n", rows,
                        std::chrono::duration<double>(Clock::now() - t0).count());
        }

        std::printf("velmario-server (directory of %ld rows) against a fixed-reply epoll server, %.0f s a run, "
                    "%d rounds\n", rows, seconds, rounds);
        struct Run {
            int connections;
            const char* label;
            std::vector<std::string> limits;
            double throughputTarget; // least ratio to the baseline wanted; 0: none
            double p99Target;        // most ratio to the baseline's p99 wanted; 0: none
            bool metrics = false;    // served on another port and scraped meanwhile
        };
        // Limits off, then every limit on with a rate the load does not reach,
        // so that the second row shows what keeping the books costs.
        const std::vector<std::string> off = {"--rate-limit", "0", "--max-connections-per-address", "0"};
        const std::vector<std::string> on = {"--rate-limit", "1000000", "--rate-burst", "1000000", "--allow", "127.0.0.0/8"};
        for (const Run& run : {Run{1, "limits off", off, 0, 0}, Run{50, "limits off", off, 0.90, 1.20},
                               Run{50, "every limit on", on, 0.90, 1.20},
                               Run{50, "limits off, metrics scraped", off, 0.90, 1.20, true}}) {
            std::printf("[%s]\n", run.label);
            std::vector<double> throughput, p99, closedP99, cpu;
            const bool pacedToo = run.connections > 1;
            // The two servers take turns, so that a neighbour's load on the
            // machine falls on both alike.
            for (int round = 0; round < rounds; ++round) {
                uint16_t port = freePort();
                std::vector<std::string> command = {server, "--listen", "127.0.0.1", "--port", std::to_string(port), "--db", db};
                command.insert(command.end(), run.limits.begin(), run.limits.end());
                const uint16_t metricsPort = run.metrics ? freePort() : 0;
                if (run.metrics) {
                    command.push_back("--metrics");
                    command.push_back("127.0.0.1:" + std::to_string(metricsPort));
                }
                pid_t pid = spawn(command);
                std::atomic<bool> scraped{false};
                long scrapes = 0;
                std::thread scraper;
                if (run.metrics)
                    scraper = std::thread(scrape, metricsPort, std::chrono::milliseconds(100), std::cref(scraped),
                                          std::ref(scrapes));
                const Result ours = drive(port, pid, run.connections, seconds, rows);
                const Paced oursPaced = pacedToo ? paced(port, run.connections, seconds, pacedRate, rows) : Paced{};
                scraped = true;
                if (scraper.joinable())
                    scraper.join();
                stop(pid);
                if (run.metrics)
                    std::printf("%-16s %ld scrapes answered\n", "metrics", scrapes);
                port = freePort();
                pid = spawn({baseline, std::to_string(port)});
                const Result floor = drive(port, pid, run.connections, seconds, rows);
                const Paced floorPaced = pacedToo ? paced(port, run.connections, seconds, pacedRate, rows) : Paced{};
                stop(pid);
                print("velmario-server", run.connections, ours);
                print("epoll baseline", run.connections, floor);
                if (pacedToo) {
                    print("velmario-server", run.connections, pacedRate, oursPaced);
                    print("epoll baseline", run.connections, pacedRate, floorPaced);
                    p99.push_back(oursPaced.p99us / floorPaced.p99us);
                }
                throughput.push_back(ours.perSecond / floor.perSecond);
                closedP99.push_back(ours.p99us / floor.p99us);
                cpu.push_back(ours.cpuUsPerLookup / floor.cpuUsPerLookup);
            }
            printRatio("throughput", "of the baseline's", throughput, run.throughputTarget, true);
            if (pacedToo)
                printRatio("p99 latency", "x the baseline's, paced", p99, run.p99Target, false);
            printRatio("p99 closed", "x the baseline's, for information", closedP99, 0, false);
            // Steadier than the rates on a machine others share: what each
            // lookup costs the server, whoever else runs.
            printRatio("cpu/lookup", "x the baseline's", cpu, 0, false);
            std::printf("\n");
        }
        comparePostgres(server, db, csv, dir, rows, seconds);
    }
    if (entries > 0)
        scale(server, baseline, dir, entries, seconds);
    std::filesystem::remove(csv);
    if (keep.empty())
        std::filesystem::remove_all(dir);
    return 0;
}
