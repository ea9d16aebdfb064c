// Loading the directory from LDAP: velmario-server against ldapsearch on
// the same entries of a local slapd, and lookups from the directory it
// loaded against one loaded from the database file, in the same run.
//
//   ldap_bench [--entries N] [--seconds S] [--runs R]
//
// It writes N entries (100 000 by default) into a throwaway slapd (a
// temporary folder, its ldapi:// socket there, run as nobody when run as
// root), then times R runs (3) of each: `ldapsearch` fetching the entries
// page by page to /dev/null, and velmario-server from its start to serving
// them. It prints the medians, the server's peak memory against its memory
// once serving, and lookups per second at 50 connections from each server
// for S seconds (3; R runs in turns, the best of each), each figure beside
// its target.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
namespace fs = std::filesystem;

std::string number(long i)
{
    return std::to_string(20000000 + i);
}

double seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Runs a program with its standard output to `out` and standard error to
// `err` (-1: /dev/null), as nobody when asked, on CPU `cpu` if one is
// given; returns its pid.
pid_t spawn(const std::vector<std::string>& args, int out = -1, int err = -1, bool asNobody = false, int cpu = -1)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (cpu >= 0)
            pin(cpu);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(out >= 0 ? out : null, 1);
        ::dup2(err >= 0 ? err : null, 2);
        if (asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            _exit(126);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int waitFor(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long statusKb(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    }
    return 0;
}

struct Started {
    pid_t pid = 0;
    double seconds = -1; // to "started:"; negative if it never said it
};

Started startServer(const std::vector<std::string>& args, int cpu = -1)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    const auto t0 = Clock::now();
    Started started;
    started.pid = spawn(args, -1, pipeFds[1], false, cpu);
    ::close(pipeFds[1]);
    std::string log;
    char buffer[4096];
    ssize_t n;
    while (log.find("started:") == std::string::npos && (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        log.append(buffer, static_cast<std::size_t>(n));
    if (log.find("started:") != std::string::npos)
        started.seconds = seconds(t0);
    else
        std::fprintf(stderr, "%s", log.c_str());
    ::close(pipeFds[0]); // the server goes on writing to nobody
    return started;
}

// Lookups per second of random known numbers, one outstanding per
// connection.
double lookupsPerSecond(uint16_t port, int connections, double duration, long entries)
{
    std::vector<int> fds;
    const int epoll = ::epoll_create1(0);
    for (int i = 0; i < connections; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return 0;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = static_cast<uint32_t>(i);
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &e);
        fds.push_back(fd);
    }
    std::mt19937 random(1007);
    std::uniform_int_distribution<long> pick(0, entries - 1);
    const auto send = [&](int fd) {
        const std::string request = number(pick(random));
        (void)!::write(fd, request.data(), request.size());
    };
    for (const int fd : fds)
        send(fd);
    long answered = 0;
    long errors = 0;
    char buffer[4096];
    epoll_event events[256];
    const auto start = Clock::now();
    while (seconds(start) < duration) {
        const int n = ::epoll_wait(epoll, events, 256, 1000);
        for (int i = 0; i < n; ++i) {
            const int fd = fds[events[i].data.u32];
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0 || std::memchr(buffer, '*', static_cast<std::size_t>(got)) == nullptr ||
                std::memcmp(buffer, "N\xFAmero", 6) == 0)
                ++errors; // a number the directory should hold was not found
            else
                ++answered;
            send(fd);
        }
    }
    const double elapsed = seconds(start);
    for (const int fd : fds)
        ::close(fd);
    ::close(epoll);
    if (errors > 0)
        std::fprintf(stderr, "%ld lookups failed\n", errors);
    return double(answered) / elapsed;
}

bool writeSlapd(const fs::path& dir, long entries)
{
    std::ofstream conf(dir / "slapd.conf");
    conf << "include /etc/ldap/schema/core.schema\ninclude /etc/ldap/schema/cosine.schema\n"
            "include /etc/ldap/schema/inetorgperson.schema\nmodulepath /usr/lib/ldap\nmoduleload back_mdb\n"
            "moduleload syncprov\npidfile " << (dir / "slapd.pid").string() << "\n"
            "sizelimit size.soft=500 size.hard=500 size.prtotal=unlimited\n"
            "database mdb\nmaxsize 4294967296\nsuffix \"dc=example,dc=org\"\ndirectory " << (dir / "data").string()
         << "\ndbnosync\nindex objectClass,employeeNumber eq\noverlay syncprov\n"
            "access to * by dn.exact=\"gidNumber=" << ::getegid() << "+uidNumber=" << ::geteuid()
         << ",cn=peercred,cn=external,cn=auth\" manage by * none\n";
    std::ofstream ldif(dir / "entries.ldif");
    ldif << "dn: dc=example,dc=org\nobjectClass: dcObject\nobjectClass: organization\no: Example\ndc: example\n\n"
            "dn: ou=people,dc=example,dc=org\nobjectClass: organizationalUnit\nou: people\n\n";
    for (long i = 0; i < entries; ++i)
        ldif << "dn: uid=p" << i << ",ou=people,dc=example,dc=org\nobjectClass: inetOrgPerson\nuid: p" << i
             << "\nsn: N\xC3\xBA\xC3\xB1" "ez\ncn: Persona " << i << " N\xC3\xBA\xC3\xB1" "ez\nemployeeNumber: "
             << number(i) << "\ntelephoneNumber: 961-" << (100 + i % 900) << '-' << (1000 + i % 9000)
             << "\ndescription: not read by the server\n\n";
    std::ofstream csv(dir / "directory.csv");
    csv << "control_number,name,telephone\n";
    for (long i = 0; i < entries; ++i)
        csv << number(i) << ",Persona " << i << " N\xC3\xBA\xC3\xB1" "ez,961-" << (100 + i % 900) << '-'
            << (1000 + i % 9000) << '\n';
    return conf.good() && ldif.good() && csv.good();
}

} // namespace

int main(int argc, char** argv)
{
    long entries = 100'000;
    double lookupSeconds = 3;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--entries")
            entries = std::atol(argv[i + 1]);
        else if (arg == "--seconds")
            lookupSeconds = std::atof(argv[i + 1]);
        else if (arg == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
    }
    if (!fs::exists("/usr/sbin/slapd") || !fs::exists("/usr/bin/ldapsearch")) {
        std::printf("slapd or ldap-utils is not installed\n");
        return 1;
    }
    const fs::path self = fs::canonical("/proc/self/exe").parent_path();
    const std::string server = (self.parent_path() / "server" / "velmario-server").string();
    const fs::path dir = fs::temp_directory_path() / ("velmario-ldap-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "data");
    const bool root = ::geteuid() == 0;
    if (!writeSlapd(dir, entries) || (root && std::system(("chown -R 65534:65534 '" + dir.string() + "'").c_str()) != 0)) {
        std::printf("cannot prepare %s\n", dir.c_str());
        return 1;
    }
    auto t0 = Clock::now();
    if (waitFor(spawn({"/usr/sbin/slapadd", "-q", "-f", (dir / "slapd.conf").string(), "-l",
                       (dir / "entries.ldif").string()}, -1, 2, root)) != 0) {
        std::printf("slapadd failed\n");
        return 1;
    }
    std::printf("%ld entries written into slapd in %.1f s\n", entries, seconds(t0));
    std::string socket = (dir / "ldapi").string();
    std::string encoded;
    for (const char c : socket)
        encoded += c == '/' ? std::string("%2F") : std::string(1, c);
    const std::string uri = "ldapi://" + encoded;
    const pid_t slapd = spawn({"/usr/sbin/slapd", "-d", "0", "-f", (dir / "slapd.conf").string(), "-h", uri}, -1, -1, root);
    const std::vector<std::string> search = {"ldapsearch", "-Q", "-LLL", "-Y", "EXTERNAL", "-H", uri, "-b",
                                             "ou=people,dc=example,dc=org", "-E", "pr=500/noprompt",
                                             "(&(objectClass=inetOrgPerson)(employeeNumber=*))",
                                             "employeeNumber", "cn", "telephoneNumber"};
    for (int tries = 0; waitFor(spawn({"ldapsearch", "-Q", "-Y", "EXTERNAL", "-H", uri, "-b", "dc=example,dc=org",
                                       "-s", "base"})) != 0; ++tries) {
        if (tries > 100) {
            std::printf("slapd did not start\n");
            stop(slapd);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const int null = ::open("/dev/null", O_WRONLY);
    // One of each first, so that both find the database in the page cache.
    waitFor(spawn(search, null));

    std::vector<double> searches;
    std::vector<double> loads;
    long peakKb = 0;
    long steadyKb = 0;
    for (int run = 0; run < runs; ++run) {
        t0 = Clock::now();
        if (waitFor(spawn(search, null)) != 0)
            std::printf("ldapsearch failed\n");
        searches.push_back(seconds(t0));
        const Started started = startServer({server, "--listen", "127.0.0.1", "--port", std::to_string(freePort()),
                                             "--ldap", uri, "--ldap-base", "ou=people,dc=example,dc=org"});
        if (started.seconds < 0) {
            std::printf("velmario-server did not start\n");
            stop(started.pid);
            stop(slapd);
            return 1;
        }
        loads.push_back(started.seconds);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        peakKb = statusKb(started.pid, "VmHWM:");
        steadyKb = statusKb(started.pid, "VmRSS:");
        stop(started.pid);
    }
    const double fetch = median(searches);
    const double load = median(loads);
    std::printf("[loading %ld entries, medians of %d runs]\n", entries, runs);
    std::printf("ldapsearch, paged, to /dev/null  %.2f s\n", fetch);
    std::printf("velmario-server, start to serving  %.2f s: %.2f x ldapsearch's (target 1.50 at most)\n", load,
                load / fetch);
    std::printf("velmario-server memory: peak %.1f MiB, serving %.1f MiB: %.2f x (target 2.00 at most)\n\n",
                double(peakKb) / 1024, double(steadyKb) / 1024, double(peakKb) / double(steadyKb));

    const std::string db = (dir / "directory.db").string();
    if (waitFor(spawn({server, "import", (dir / "directory.csv").string(), "--db", db})) != 0) {
        std::printf("import failed\n");
        stop(slapd);
        return 1;
    }
    const std::vector<std::string> open = {"--listen", "127.0.0.1", "--rate-limit", "0", "--max-connections-per-address", "0"};
    const auto serve = [&](std::vector<std::string> args) {
        const uint16_t port = freePort();
        args.insert(args.begin(), server);
        args.insert(args.end(), open.begin(), open.end());
        args.insert(args.end(), {"--port", std::to_string(port)});
        const Started started = startServer(args, 0);
        const double rate = started.seconds < 0 ? 0 : lookupsPerSecond(port, 50, lookupSeconds, entries);
        stop(started.pid);
        return rate;
    };
    // The servers on CPU 0, the load on CPU 1, as in server_bench. Taken
    // in turns, the best of each: the machine's other work slows
    // one run or another, never the table itself.
    pin(1);
    double fromFile = 0;
    double fromLdap = 0;
    for (int run = 0; run < runs; ++run) {
        fromFile = std::max(fromFile, serve({"--db", db}));
        fromLdap = std::max(fromLdap, serve({"--ldap", uri, "--ldap-base", "ou=people,dc=example,dc=org"}));
    }
    std::printf("[lookups, 50 connections, %.0f s each, best of %d]\n", lookupSeconds, runs);
    std::printf("directory from the file  %9.0f lookups/s\n", fromFile);
    std::printf("directory from LDAP      %9.0f lookups/s: %.2f of the file-loaded server's (target 0.95 at least)\n",
                fromLdap, fromLdap / fromFile);
    stop(slapd);
    fs::remove_all(dir);
    return 0;
}
