// How fast the client answers: Buscar to the three labels set, against
// velmario-server on loopback, next to a raw socket round trip to the same
// server; and the client's start-up time and memory next to a bare window
// that draws a line of text and a picture.
//
//   client_bench [--lookups N] [--starts N]     (run with QT_QPA_PLATFORM=offscreen or a display)
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

struct Startup {
    double ms = 0;
    double kib = 0;
};

// Median start-up time and memory of each program, started in turn, round
// after round, so that the machine's swings touch them all alike.
std::vector<Startup> startups(const QStringList& programs, int rounds)
{
    std::vector<std::vector<double>> ms(std::size_t(programs.size())), kib(std::size_t(programs.size()));
    for (int round = 0; round < rounds; ++round) {
        for (qsizetype i = 0; i < programs.size(); ++i) {
            QProcess p;
            p.start(programs[i], {});
            p.waitForFinished(30000);
            const QList<QByteArray> fields = p.readAllStandardOutput().trimmed().split(' ');
            if (fields.size() == 2) {
                ms[std::size_t(i)].push_back(fields[0].toDouble());
                kib[std::size_t(i)].push_back(fields[1].toDouble());
            }
        }
    }
    std::vector<Startup> result;
    for (std::size_t i = 0; i < ms.size(); ++i)
        result.push_back({median(ms[i]), median(kib[i])});
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    look::applyApplicationLook(app);
    int lookups = 2000, starts = 21;
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
    constexpr int kRounds = 10;
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

    const double w = median(window), r = median(raw);
    std::printf("lookup, Buscar to labels set: median %.1f us over %zu lookups\n", w, window.size());
    std::printf("raw socket round trip:        median %.1f us over %zu lookups\n", r, raw.size());
    std::printf("ratio %.2f (target <= 1.2)\n\n", w / r);

    const auto started = startups({dir + u"/startup_velmario"_s, dir + u"/startup_bare"_s,
                                   dir + u"/startup_bare_network"_s, dir + u"/startup_bare_text"_s},
                                  starts);
    const Startup& client = started[0];
    const Startup& bare = started[1];
    const Startup& network = started[2];
    const Startup& text = started[3];
    // The floor is the bare window that draws a line of text and a picture:
    // any window with text pays for fonts and a picture decoder.
    std::printf("start to first paint: client %.1f ms, window with text and a picture %.1f ms, ratio %.2f (target <= 1.2)\n",
                client.ms, text.ms, client.ms / text.ms);
    std::printf("resident memory:      client %.0f KiB, window with text and a picture %.0f KiB, ratio %.2f (target <= 1.1)\n",
                client.kib, text.kib, client.kib / text.kib);
    std::printf("for information, bare window drawing nothing: %.1f ms, %.0f KiB (client ratios to it %.2f, %.2f)\n",
                bare.ms, bare.kib, client.ms / bare.ms, client.kib / bare.kib);
    std::printf("for information, bare window with Qt Network loaded: %.1f ms, %.0f KiB (client ratios to it %.2f, %.2f)\n",
                network.ms, network.kib, client.ms / network.ms, client.kib / network.kib);
    return 0;
}
