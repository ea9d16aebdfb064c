// velmario-server shared out fairly: many clients behind one address, one
// address or one IPv6 network flooding the server, against the real process
// on loopback from several source addresses.
//
// The test runs in a private network namespace of its own (as root, or root
// of a user namespace), where it brings loopback up and gives it IPv6
// addresses in two /64 networks; elsewhere the IPv6 cases skip and the rest
// run on the machine's loopback.
#include "serverprocess.h"

#include <QCoreApplication>

#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace velmario::testing;

namespace {


// Clients of one /64, the server's own address among them, and of another.
const char* const kServerV6 = "2001:db8:1::1";
const char* const kOtherNetwork = "2001:db8:2::100";
constexpr int kAddressesInNetwork = 200;

QString inNetwork(int i)
{
    return u"2001:db8:1::%1"_s.arg(0x100 + i, 0, 16);
}

QString g_noIpv6; // why the IPv6 cases cannot run; empty when they can

// Before any thread: a network namespace of the process's own with
// loopback up and the IPv6 addresses on it.
QString enterPrivateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0)
        return u"no private network namespace (needs root): "_s + QString::fromLocal8Bit(std::strerror(errno));
    const int v4 = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq up{};
    std::strcpy(up.ifr_name, "lo");
    const bool lo = ::ioctl(v4, SIOCGIFFLAGS, &up) == 0 && (up.ifr_flags |= IFF_UP, ::ioctl(v4, SIOCSIFFLAGS, &up) == 0);
    ::close(v4);
    if (!lo) {
        std::fprintf(stderr, "cannot bring loopback up in the private network namespace\n");
        std::exit(1);
    }
    struct In6Request { // struct in6_ifreq of <linux/ipv6.h>
        in6_addr address;
        std::uint32_t prefixLength;
        int index;
    };
    const int v6 = ::socket(AF_INET6, SOCK_DGRAM, 0);
    QStringList addresses{QString::fromLatin1(kServerV6), QString::fromLatin1(kOtherNetwork)};
    for (int i = 0; i < kAddressesInNetwork; ++i)
        addresses << inNetwork(i);
    QString failed;
    for (const QString& address : addresses) {
        In6Request request{};
        request.prefixLength = 64;
        request.index = int(::if_nametoindex("lo"));
        ::inet_pton(AF_INET6, address.toLatin1().constData(), &request.address);
        if (v6 < 0 || ::ioctl(v6, SIOCSIFADDR, &request) != 0) {
            failed = u"cannot add "_s + address + u" to loopback: "_s + QString::fromLocal8Bit(std::strerror(errno));
            break;
        }
    }
    if (v6 >= 0)
        ::close(v6);
    return failed;
}

using Sockets = std::vector<std::unique_ptr<QTcpSocket>>;

// Opens `count` connections from `from`.
bool openConnections(Sockets& into, int count, quint16 port, const QString& from,
                     const QHostAddress& to = QHostAddress(QHostAddress::LocalHost))
{
    for (int i = 0; i < count; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        if (!socket->bind(QHostAddress(from)))
            return false;
        socket->connectToHost(to, port);
        if (!socket->waitForConnected(5000))
            return false;
        into.push_back(std::move(socket));
    }
    return true;
}

struct Outcomes {
    int held = 0;    // open, nothing said
    int refused = 0; // told the server is busy, then closed
    int other = 0;
};

// What the server did with each connection. A connection made after them
// all has been answered, so it has decided on each.
Outcomes outcomes(const Sockets& sockets, int first = 0)
{
    QTest::qWait(300);
    Outcomes seen;
    for (std::size_t i = std::size_t(first); i < sockets.size(); ++i) {
        QTcpSocket& s = *sockets[i];
        if (s.state() == QAbstractSocket::ConnectedState && s.bytesAvailable() == 0) {
            ++seen.held;
            continue;
        }
        if (s.state() == QAbstractSocket::ConnectedState)
            s.waitForDisconnected(2000);
        if (s.readAll() == kBusy && s.state() != QAbstractSocket::ConnectedState)
            ++seen.refused;
        else
            ++seen.other;
    }
    return seen;
}

QByteArray ask(QTcpSocket& socket, const QByteArray& request)
{
    socket.write(request);
    socket.waitForBytesWritten(5000);
    if (!socket.waitForReadyRead(5000))
        return {};
    return socket.readAll();
}

} // namespace

class TestFairness : public QObject
{
    Q_OBJECT

private slots:
    // With the limits as shipped, a classroom behind one NAT address,
    // every client holding its connection, is served whole while the
    // server is otherwise quiet; its lookups share the address's allowance.
    void classroomBehindOneAddress()
    {
        ServerProcess server;
        server.setLimits(ServerProcess::Limits::Shipped);
        QVERIFY(server.start());
        Sockets classroom;
        QVERIFY(openConnections(classroom, 60, server.port(), u"127.0.0.7"_s));
        Client probe;
        QVERIFY(probe.connect(server.port(), u"127.0.0.8"_s));
        QCOMPARE(probe.ask("20230001"), kJose);
        const Outcomes seen = outcomes(classroom);
        QCOMPARE(seen.held, 60);
        // Two lookups each at once fit in the burst of 120; a third round
        // gets 5 a second.
        for (int round = 0; round < 2; ++round) {
            for (auto& s : classroom)
                QCOMPARE(ask(*s, "20230001"), kJose);
        }
        QElapsedTimer timer;
        timer.start();
        int found = 0;
        std::vector<QTcpSocket*> waiting;
        for (auto& s : classroom) {
            const QByteArray reply = ask(*s, "20230001");
            QVERIFY2(reply == kJose || reply == kTooMany, reply.constData());
            if (reply == kJose)
                ++found;
            else
                waiting.push_back(s.get());
        }
        QVERIFY2(found <= 5 * (timer.elapsed() / 1000 + 1), qPrintable(QString::number(found)));
        for (QTcpSocket* s : waiting)
            QVERIFY(QTest::qWaitFor([&] { return ask(*s, "20230001") == kJose; }, 5000));
        for (auto& s : classroom)
            QCOMPARE(s->state(), QAbstractSocket::ConnectedState);
    }

    // One address floods the server (limits as shipped, 40 connections):
    // it is held to its share once the server is busy, other addresses get
    // in, and at the limit a newcomer takes the place of the flood's
    // longest idle connection.
    void floodFromOneAddressLeavesRoom()
    {
        ServerProcess server;
        server.setLimits(ServerProcess::Limits::Shipped);
        QVERIFY(server.start({u"--max-connections"_s, u"40"_s}));
        Sockets flood;
        QVERIFY(openConnections(flood, 60, server.port(), u"127.0.0.8"_s));
        Client other;
        QVERIFY(other.connect(server.port(), u"127.0.0.9"_s));
        QCOMPARE(other.ask("20230001"), kJose);
        const Outcomes seen = outcomes(flood);
        // Busy from 20 open (half of 40): the flood keeps those 20.
        QCOMPARE(seen.held, 20);
        QCOMPARE(seen.refused, 40);
        QVERIFY(server.waitForLog("refused 1 connection(s): 16 connections already open from one address while "
                                  "the server is busy (last from 127.0.0.8)"));
        // Other addresses fill the server up: 20 + 16 + 4.
        Sockets others;
        QVERIFY(openConnections(others, 15, server.port(), u"127.0.0.9"_s));
        QVERIFY(openConnections(others, 4, server.port(), u"127.0.0.10"_s));
        Client newcomer;
        QVERIFY(newcomer.connect(server.port(), u"127.0.0.11"_s));
        QCOMPARE(newcomer.ask("20230002"), cp1252(u"María Muñoz López*961-919-3851"_s));
        QCOMPARE(outcomes(others).held, 19);
        // The flood's longest idle connection, its first, made room.
        const Outcomes after = outcomes(flood);
        QCOMPARE(after.held, 19);
        QCOMPARE(flood.front()->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(server.waitForLog("closed 1 idle connection(s) of the address holding the most, to serve another "
                                  "(last from 127.0.0.8)"));
        // The flood itself gets nothing more.
        Sockets more;
        QVERIFY(openConnections(more, 1, server.port(), u"127.0.0.8"_s));
        QCOMPARE(outcomes(more).refused, 1);
        QCOMPARE(other.ask("20230001"), kJose);
    }

    // Without a per-address limit, the flood fills the server; a client from
    // another address is still answered.
    void floodToTheLimitLeavesRoom()
    {
        ServerProcess server;
        QVERIFY(server.start({u"--max-connections"_s, u"30"_s, u"--max-connections-per-address"_s, u"0"_s}));
        Sockets flood;
        QVERIFY(openConnections(flood, 40, server.port(), u"127.0.0.12"_s));
        Client newcomer;
        QVERIFY(newcomer.connect(server.port(), u"127.0.0.13"_s));
        QCOMPARE(newcomer.ask("20230001"), kJose);
        const Outcomes seen = outcomes(flood);
        QCOMPARE(seen.held, 29);
        QCOMPARE(seen.refused, 11);
        QVERIFY(server.waitForLog("refused 1 connection(s): 30 connections already open (last from 127.0.0.12)"));
    }

    // --- IPv6: one host owns a whole /64 -------------------------------

    // 200 addresses of one /64 share one allowance; another /64 and IPv4
    // clients have their own.
    void rateLimitCountsTheNetwork_data()
    {
        QTest::addColumn<QStringList>("prefix");
        QTest::addColumn<bool>("shared");
        QTest::newRow("a /64 is one client (default)") << QStringList{} << true;
        QTest::newRow("--ipv6-prefix-length 128: each address") << QStringList{u"--ipv6-prefix-length"_s, u"128"_s} << false;
    }
    void rateLimitCountsTheNetwork()
    {
        if (!g_noIpv6.isEmpty())
            QSKIP(qPrintable(g_noIpv6));
        QFETCH(QStringList, prefix);
        QFETCH(bool, shared);
        ServerProcess server;
        server.setListenEverywhere();
        QVERIFY(server.start(QStringList{u"--rate-limit"_s, u"1"_s, u"--rate-burst"_s, u"3"_s} + prefix));
        const QHostAddress to{QString::fromLatin1(kServerV6)};
        QElapsedTimer timer;
        timer.start();
        int found = 0;
        for (int i = 0; i < kAddressesInNetwork; ++i) {
            Client client;
            QVERIFY(client.connect(server.port(), inNetwork(i), to));
            const QByteArray reply = client.ask("20230001");
            QVERIFY2(reply == kJose || reply == kTooMany, reply.constData());
            found += reply == kJose;
        }
        if (shared)
            QVERIFY2(found >= 3 && found <= 3 + timer.elapsed() / 1000 + 1, qPrintable(QString::number(found)));
        else
            QCOMPARE(found, kAddressesInNetwork);
        Client elsewhere, v4;
        QVERIFY(elsewhere.connect(server.port(), QString::fromLatin1(kOtherNetwork), to));
        QCOMPARE(elsewhere.ask("20230001"), kJose);
        QVERIFY(v4.connect(server.port(), u"127.0.0.1"_s));
        QCOMPARE(v4.ask("20230001"), kJose);
    }

    // 64 addresses of one /64 each holding 16 idle connections, limits as
    // shipped: the network is held to its share once the server is busy,
    // and an IPv4 client and another network are still served.
    void connectionsCountTheNetwork()
    {
        if (!g_noIpv6.isEmpty())
            QSKIP(qPrintable(g_noIpv6));
        ServerProcess server;
        server.setListenEverywhere();
        server.setLimits(ServerProcess::Limits::Shipped);
        QVERIFY(server.start());
        const QHostAddress to{QString::fromLatin1(kServerV6)};
        Sockets flood;
        for (int i = 0; i < 64; ++i)
            QVERIFY(openConnections(flood, 16, server.port(), inNetwork(i), to));
        Client v4, elsewhere;
        QVERIFY(v4.connect(server.port(), u"127.0.0.1"_s));
        QCOMPARE(v4.ask("20230001"), kJose);
        QVERIFY(elsewhere.connect(server.port(), QString::fromLatin1(kOtherNetwork), to));
        QCOMPARE(elsewhere.ask("20230001"), kJose);
        const Outcomes seen = outcomes(flood);
        QCOMPARE(seen.held, 512); // busy from half of 1024
        QCOMPARE(seen.refused, 1024 - 512);
        QVERIFY(server.waitForLog("16 connections already open from one address while the server is busy"));
    }
};

int main(int argc, char** argv)
{
    g_noIpv6 = enterPrivateNetwork();
    // Over a thousand connections at once.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    QCoreApplication app(argc, argv);
    TestFairness test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fairness.moc"
