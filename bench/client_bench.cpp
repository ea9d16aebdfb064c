// How fast the client answers: Buscar to the three labels set, against
// velmario-server on loopback, next to a raw socket round trip to the same
// server; and the client's start-up time and memory next to a bare window
// that draws a line of text and a picture.
//
//   client_bench [--lookups N] [--starts N]     (run with QT_QPA_PLATFORM=offscreen or a display)
//
// Each figure is the ratio of medians over all samples, with its spread: the
// lowest and highest of the same ratio taken over each third of the rounds.
#include "forms.h"
#include "common/look.h"
#include "search/frmbusquedaal.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace velmario;

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int rawConnect(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void rawRoundTrips(int fd, int count, std::vector<double>& us)
{
    char buffer[256];
    for (int i = 0; i < count; ++i) {
        const QByteArray request = "2023" + QByteArray::number(1 + i % 36).rightJustified(4, '0');
        QElapsedTimer t;
        t.start();
        ::send(fd, request.constData(), size_t(request.size()), 0);
        ::recv(fd, buffer, sizeof buffer, 0);
        us.push_back(double(t.nsecsElapsed()) / 1000.0);
    }
}

// With two CPUs or more, the server gets one and this process another, so
// that both ways of asking cross between CPUs alike rather than depending on
// where the scheduler puts them.
bool pinTo(int cpu)
{
    if (std::thread::hardware_concurrency() < 2)
        return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

// The ratio of the medians of two series sampled in the same rounds, over
// all of them and over each third of them.
struct Ratio {
    double all = 0, low = 0, high = 0;
};

Ratio ratioOf(const std::vector<double>& a, const std::vector<double>& b)
{
    Ratio r;
    r.all = median(a) / median(b);
    r.low = r.high = r.all;
    const std::size_t n = std::min(a.size(), b.size()), third = n / 3;
    for (std::size_t part = 0; third > 0 && part < 3; ++part) {
        const auto from = std::ptrdiff_t(part * third), to = std::ptrdiff_t((part + 1) * third);
        const double ratio = median({a.begin() + from, a.begin() + to}) / median({b.begin() + from, b.begin() + to});
        r.low = part == 0 ? ratio : std::min(r.low, ratio);
        r.high = part == 0 ? ratio : std::max(r.high, ratio);
    }
    return r;
}

void printRatio(const char* what, const Ratio& r, double target)
{
    std::printf("%s ratio %.2f (thirds %.2f to %.2f; target <= %.1f)%s\n", what, r.all, r.low, r.high, target,
                r.all <= target ? "" : "  NOT MET");
}

// What a probe prints. It is started by posix_spawn, as a shell starts a
// program, so that its start is not weighed down by copying this process.
QByteArray runProbe(const QString& program)
{
    int out[2];
    if (::pipe(out) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const QByteArray path = program.toLocal8Bit();
    char* const argv[] = {const_cast<char*>(path.constData()), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    QByteArray output;
    char buffer[256];
    for (ssize_t n; spawned == 0 && (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, n);
    ::close(out[0]);
    if (spawned == 0)
        ::waitpid(pid, nullptr, 0);
    return output;
}

struct Startups {
    std::vector<double> ms, kib;
};

// Start-up time and memory of each program, started in turn, round after
// round, so that the machine's swings touch them all alike.
std::vector<Startups> startups(const QStringList& programs, int rounds)
{
    std::vector<Startups> result(std::size_t(programs.size()));
    for (int round = 0; round < rounds; ++round) {
        for (qsizetype i = 0; i < programs.size(); ++i) {
            const QList<QByteArray> fields = runProbe(programs[i]).trimmed().split(' ');
            if (fields.size() == 2) {
                result[std::size_t(i)].ms.push_back(fields[0].toDouble());
                result[std::size_t(i)].kib.push_back(fields[1].toDouble());
            }
        }
    }
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    look::applyApplicationLook(app);
    int lookups = 3000, starts = 90;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--lookups"_s)
            lookups = args[i + 1].toInt();
        else if (args[i] == u"--starts"_s)
            starts = args[i + 1].toInt();
    }
    const QString dir = QCoreApplication::applicationDirPath();

    // The window always looks up on port 1007.
    QProcess server;
    server.setChildProcessModifier([] { pinTo(0); });
    pinTo(1);
    server.start(dir + u"/../server/velmario-server"_s, {u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"1007"_s});
    server.waitForStarted();
    QTest::qWait(300);
    if (server.state() != QProcess::Running) {
        std::fprintf(stderr, "velmario-server cannot serve 127.0.0.1:1007 (run as root or in a network namespace)\n");
        return 1;
    }

    Forms forms;
    auto* search = forms.form<frmBusquedaAl>(FormId::BusquedaAl);
    forms.Show(FormId::BusquedaAl);
    search->findChild<QLineEdit*>(u"txtipservidor"_s)->setText(u"127.0.0.1"_s);
    search->Command1_Click();
    if (!QTest::qWaitFor([&] { return search->connection()->State() == lookup::LookupConnection::Connected; }, 5000)) {
        std::fprintf(stderr, "the search window did not connect\n");
        return 1;
    }
    auto* number = search->findChild<QLineEdit*>(u"txtNumero"_s);

    const int rawFd = rawConnect(1007);
    if (rawFd < 0) {
        std::fprintf(stderr, "cannot connect to 127.0.0.1:1007\n");
        return 1;
    }

    std::vector<double> window;
    std::vector<double> raw;
    bool arrived = false;
    // Connected after the window's own handler: it runs once the labels are set.
    QObject::connect(search->connection(), &lookup::LookupConnection::DataArrival, search, [&] { arrived = true; });
    // Rounds of each in turn, so that the machine's swings touch both alike.
    constexpr int kRounds = 12;
    for (int round = 0; round < kRounds; ++round) {
        const int count = lookups / kRounds;
        for (int i = 0; i < count; ++i) {
            number->setText(u"2023"_s + QString::number(1 + i % 36).rightJustified(4, u'0'));
            // The typed number is painted before Buscar, as when a user types it.
            QCoreApplication::processEvents();
            arrived = false;
            QElapsedTimer t;
            t.start();
            search->cmdBuscar_Click();
            while (!arrived)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            window.push_back(double(t.nsecsElapsed()) / 1000.0);
        }
        rawRoundTrips(rawFd, count, raw);
    }
    ::close(rawFd);
    server.terminate();
    server.waitForFinished();

    std::printf("lookup, Buscar to labels set: median %.1f us over %zu lookups\n", median(window), window.size());
    std::printf("raw socket round trip:        median %.1f us over %zu lookups\n", median(raw), raw.size());
    printRatio("Buscar to labels against the round trip:", ratioOf(window, raw), 1.2);
    std::printf("\n");

    const auto started = startups({dir + u"/startup_velmario"_s, dir + u"/startup_bare"_s,
                                   dir + u"/startup_bare_network"_s, dir + u"/startup_bare_text"_s},
                                  starts);
    const Startups& client = started[0];
    const Startups& bare = started[1];
    const Startups& network = started[2];
    const Startups& text = started[3];
    // The floor is the bare window that draws a line of text and a picture:
    // any window with text pays for fonts and a picture decoder.
    std::printf("start to first paint: client %.1f ms, window with text and a picture %.1f ms, over %zu starts each\n",
                median(client.ms), median(text.ms), client.ms.size());
    printRatio("start-up against the window with text and a picture:", ratioOf(client.ms, text.ms), 1.2);
    std::printf("resident memory:      client %.0f KiB, window with text and a picture %.0f KiB\n",
                median(client.kib), median(text.kib));
    printRatio("memory against the window with text and a picture:", ratioOf(client.kib, text.kib), 1.1);
    std::printf("for information, bare window drawing nothing: %.1f ms, %.0f KiB (client ratios to it %.2f, %.2f)\n",
                median(bare.ms), median(bare.kib), median(client.ms) / median(bare.ms),
                median(client.kib) / median(bare.kib));
    std::printf("for information, bare window with Qt Network loaded: %.1f ms, %.0f KiB (client ratios to it %.2f, %.2f)\n",
                median(network.ms), median(network.kib), median(client.ms) / median(network.ms),
                median(client.kib) / median(network.kib));
    return 0;
}
