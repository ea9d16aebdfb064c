// The client while the network stalls: a name server that never answers, a
// connect that never completes, an address that drops every packet, a
// server that never reads.
//
// The test runs in a network namespace of its own, where an IPv6 address on
// the loopback interface drops every TCP packet to port 1007 (an nft rule),
// and in a private mount namespace whose /etc/hosts gives the test's names
// their addresses and whose /etc/resolv.conf names a loopback address where
// a UDP socket of the test takes the queries and never answers. That needs
// root (or root of a user namespace); elsewhere those cases skip.
//
// Ending the program is checked on the client itself, run as a child
// process: the test program started with --client drives the real
// runProgram() by keys and says when it presses Salir.
#include "testsupport.h"

#include "search/frmbusquedaal.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryFile>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>

using namespace Qt::StringLiterals;
using namespace velmario;
using namespace velmario::testing;
using velmario::lookup::LookupConnection;

namespace {

// A name only the silent name server is asked about.
const QString kHangingName = u"servidor.velmario.test"_s;
const char* const kSilentNameServer = "127.0.0.153";

bool g_lookupsHang = false;
bool g_privateNetwork = false;
bool g_droppingIpv6 = false; // kDroppingAddress drops packets to port 1007
const char* const kDroppingAddress = "2001:db8::5";
// This program, as found before the mount namespace changes: in a chroot, a
// new namespace can no longer name its own executable from inside.
QString g_self;
int g_nameServer = -1; // the silent name server's socket

// Before any thread exists: a mount namespace of this process's own, with a
// resolv.conf that names the silent name server, which a UDP socket then
// holds. Children inherit both.
bool makeNameLookupsHang()
{
    const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(53);
    ::inet_pton(AF_INET, kSilentNameServer, &where.sin_addr);
    if (::bind(udp, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        ::close(udp);
        return false;
    }
    g_nameServer = udp;
    char path[] = "/tmp/velmario-resolv-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        return false;
    // Short tries for this process, whose lookups end with it.
    const QByteArray conf = QByteArray("nameserver ") + kSilentNameServer + "\noptions timeout:2 attempts:1\n";
    const bool written = ::write(fd, conf.constData(), size_t(conf.size())) == conf.size();
    ::close(fd);
    // The test's names: each has an address that is silent or refuses and
    // one that answers or refuses.
    char hostsPath[] = "/tmp/velmario-hosts-XXXXXX";
    const int hostsFd = ::mkstemp(hostsPath);
    const QByteArray hosts = QByteArray("127.0.0.1 localhost\n::1 localhost\n")
        + kDroppingAddress + " dual.velmario.test\n127.0.0.9 dual.velmario.test\n"
        + kDroppingAddress + " silent.velmario.test\n127.0.0.6 silent.velmario.test\n"
        + "::1 refused.velmario.test\n127.0.0.10 refused.velmario.test\n"
        + kDroppingAddress + " mixed.velmario.test\n127.0.0.10 mixed.velmario.test\n";
    const bool hostsWritten = hostsFd >= 0 && ::write(hostsFd, hosts.constData(), size_t(hosts.size())) == hosts.size();
    if (hostsFd >= 0)
        ::close(hostsFd);
    const bool mounted = written && hostsWritten && ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && ::mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0
        && ::mount(hostsPath, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    ::unlink(path); // the mounts keep the files alive
    ::unlink(hostsPath);
    return mounted;
}

// Before any thread exists: a network namespace of this process's own, its
// loopback up, and an IPv6 address on it whose port 1007 drops every packet
// (dropped on the way in: a drop on the way out would fail connect() at once).
void enterPrivateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0)
        return;
    g_privateNetwork = std::system("ip link set lo up") == 0;
    const QByteArray drop = QByteArray("ip -6 addr add ") + kDroppingAddress
        + "/128 dev lo nodad && nft -f - <<'EOF'\n"
          "table inet velmario_test {\n"
          "  chain input { type filter hook input priority 0; ip6 daddr "
        + kDroppingAddress + " tcp dport 1007 drop; }\n}\nEOF\n";
    g_droppingIpv6 = g_privateNetwork && std::system(drop.constData()) == 0;
}

// Drops the questions the silent name server has had so far.
void forgetQuestions()
{
    char buffer[512];
    while (::recv(g_nameServer, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

// Whether a question reaches the silent name server within the time.
bool questionArrives(int timeoutMs)
{
    pollfd question{g_nameServer, POLLIN, 0};
    return ::poll(&question, 1, timeoutMs) == 1;
}

// --- The child: the client, driven by keys ---------------------------------

QWidget* topLevel(const QString& name)
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == name)
            return w;
    }
    return nullptr;
}

[[noreturn]] void childFails(const char* why)
{
    std::fprintf(stdout, "error: %s\n", why);
    std::fflush(stdout);
    std::_Exit(3);
}

// Enters the search window, connects to `host` until the connection is in
// `state`, optionally asks for a number, says "ready" and waits for a line
// on its input, then ends the program by `how` ("menu": Edicion > Salir;
// "welcome": Regresar, then Salir).
void driveClient(const QString& host, int state, bool ask, const QString& how)
{
    QWidget* welcome = topLevel(u"FrmVelmario"_s);
    if (!welcome || !QTest::qWaitForWindowActive(welcome))
        childFails("no welcome window");
    typeKey(Qt::Key_Return);
    auto* search = static_cast<frmBusquedaAl*>(topLevel(u"frmBusquedaAl"_s));
    if (!search || !QTest::qWaitForWindowActive(search))
        childFails("no search window");
    search->findChild<QLineEdit*>(u"txtipservidor"_s)->setText(host);
    typeKey(Qt::Key_C, Qt::AltModifier);
    if (!QTest::qWaitFor([&] { return search->connection()->State() == state; }, 5000))
        childFails("the connection never reached the expected state");
    if (ask) {
        search->findChild<QLineEdit*>(u"txtNumero"_s)->setText(u"5"_s);
        typeKey(Qt::Key_B, Qt::AltModifier);
    }
    const auto waitForTheTest = [] {
        std::fprintf(stdout, "ready\n");
        std::fflush(stdout);
        char line[16];
        if (!std::fgets(line, sizeof line, stdin))
            childFails("no word from the test");
    };
    if (how == u"welcome"_s) {
        typeKey(Qt::Key_R, Qt::AltModifier);
        if (!QTest::qWaitForWindowActive(welcome))
            childFails("Regresar did not return");
        waitForTheTest();
        typeKey(Qt::Key_S, Qt::AltModifier);
    } else {
        typeKey(Qt::Key_E, Qt::AltModifier);
        QWidget* menu = nullptr;
        if (!QTest::qWaitFor([&] { return (menu = QApplication::activePopupWidget()) != nullptr; }, 5000))
            childFails("Alt+E opened no menu");
        waitForTheTest();
        QTest::keyClick(menu, Qt::Key_Return); // its one item, Salir
    }
}

} // namespace

class TestStalled : public QObject
{
    Q_OBJECT

private slots:
    // A name server that does not answer, within our deadline or its own,
    // and servers that do not answer or refuse, at one address or at every
    // address of a name, each have their own words.
    void failuresAreToldApart_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("shortTimes"); // 300 ms to resolve and to connect; else the defaults
        QTest::addColumn<QString>("waitingStatus");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("status");
        QTest::newRow("name server silent past our deadline")
            << kHangingName << true << u"Buscando la dirección de servidor.velmario.test..."_s
            << int(LookupConnection::Error)
            << u"No se pudo resolver el nombre servidor.velmario.test: el servidor de nombres no respondió a tiempo."_s;
        QTest::newRow("name server silent past the resolver's own time (EAI_AGAIN)")
            << kHangingName << false << u"Buscando la dirección de servidor.velmario.test..."_s
            << int(LookupConnection::Error)
            << u"No se pudo resolver servidor.velmario.test por ahora: el servidor de nombres no dio respuesta."_s;
        QTest::newRow("server silent") << u"127.0.0.6"_s << true << u"Conectando con 127.0.0.6..."_s
                                       << int(LookupConnection::Error)
                                       << u"El servidor 127.0.0.6 no respondió a tiempo."_s;
        QTest::newRow("every address of a name silent")
            << u"silent.velmario.test"_s << true << u"Buscando la dirección de silent.velmario.test..."_s
            << int(LookupConnection::Error)
            << u"El servidor silent.velmario.test no respondió a tiempo (2 direcciones probadas)."_s;
        // A refusal says a machine answered: it is told rather than the
        // silence at the other address.
        QTest::newRow("one address of a name silent, the other refuses")
            << u"mixed.velmario.test"_s << true << u"Buscando la dirección de mixed.velmario.test..."_s
            << int(LookupConnection::Error)
            << u"El servidor mixed.velmario.test rechazó la conexión (2 direcciones probadas)."_s;
        QTest::newRow("every address of a name refuses")
            << u"refused.velmario.test"_s << false << u"Buscando la dirección de refused.velmario.test..."_s
            << int(LookupConnection::Error)
            << u"El servidor refused.velmario.test rechazó la conexión (2 direcciones probadas)."_s;
    }
    void failuresAreToldApart()
    {
        QFETCH(QString, host);
        QFETCH(bool, shortTimes);
        QFETCH(QString, waitingStatus);
        QFETCH(int, state);
        QFETCH(QString, status);
        if (host.endsWith(u".velmario.test"_s) && !g_lookupsHang)
            QSKIP("no private name server or hosts file: needs root or a user namespace");
        if (host.startsWith(u"silent"_s) || host.startsWith(u"refused"_s) || host.startsWith(u"mixed"_s)) {
            if (!g_droppingIpv6)
                QSKIP("no private network with IPv6: needs root or a user namespace, ip and nft");
        }
        StalledListener stalled("127.0.0.6", 1007);
        QVERIFY(stalled.isListening());
        Forms forms;
        forms.Show(FormId::BusquedaAl);
        auto* search = forms.form<frmBusquedaAl>(FormId::BusquedaAl);
        QVERIFY(QTest::qWaitForWindowActive(search));
        if (shortTimes) {
            lookup::Timing timing;
            timing.resolve = std::chrono::milliseconds(300);
            timing.connect = std::chrono::milliseconds(300);
            search->connection()->setTiming(timing);
        }
        auto* address = search->findChild<QLineEdit*>(u"txtipservidor"_s);
        QTest::mouseClick(address, Qt::LeftButton);
        typeText(address, host);
        typeKey(Qt::Key_C, Qt::AltModifier);
        QCOMPARE(search->status(), waitingStatus);
        QTRY_COMPARE_WITH_TIMEOUT(search->connection()->State(), state, 15000);
        QCOMPARE(search->status(), status);
    }

    // A name whose first address drops every packet and whose second
    // answers: the connection is made at the second within a second, the
    // first attempt is given up, and one connection reaches the server.
    void dualStackNameConnectsAtOnce()
    {
        if (!g_droppingIpv6 || !g_lookupsHang)
            QSKIP("no private network with IPv6: needs root or a user namespace, ip and nft");
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress(u"127.0.0.9"_s), 1007));
        Forms forms;
        forms.Show(FormId::BusquedaAl);
        auto* search = forms.form<frmBusquedaAl>(FormId::BusquedaAl);
        QVERIFY(QTest::qWaitForWindowActive(search));
        auto* address = search->findChild<QLineEdit*>(u"txtipservidor"_s);
        QTest::mouseClick(address, Qt::LeftButton);
        typeText(address, u"dual.velmario.test"_s);
        QElapsedTimer sinceConectar;
        sinceConectar.start();
        typeKey(Qt::Key_C, Qt::AltModifier);
        QTRY_COMPARE_WITH_TIMEOUT(search->connection()->State(), int(LookupConnection::Connected), 1000);
        qInfo("connected %lld ms after Conectar", sinceConectar.elapsed());
        QCOMPARE(search->status(), u"Conectado con dual.velmario.test."_s);
        QCOMPARE(search->connection()->triedAddresses(),
                 (QStringList{QString::fromLatin1(kDroppingAddress), u"127.0.0.9"_s}));
        QCOMPARE(search->connection()->connectedAddress(), u"127.0.0.9"_s);

        QTcpSocket* peer = acceptPeer(server, search->connection()->LocalPort());
        QVERIFY(peer);
        auto* number = search->findChild<QLineEdit*>(u"txtNumero"_s);
        QTest::mouseClick(number, Qt::LeftButton);
        typeText(number, u"5"_s);
        typeKey(Qt::Key_B, Qt::AltModifier);
        QVERIFY(QTest::qWaitFor([&] { return peer->bytesAvailable() > 0; }, 5000));
        QCOMPARE(peer->readAll(), QByteArray("5"));
        QTest::qWait(300);
        QVERIFY(!server.hasPendingConnections()); // no second connection
        // The dropped attempt was given up, not left trying.
        QFile tcp6(u"/proc/net/tcp6"_s);
        if (tcp6.open(QIODevice::ReadOnly)) {
            const QByteArray table = tcp6.readAll();
            QVERIFY2(!table.contains(":03EF 02 "), table.constData()); // SYN_SENT to port 1007
        }
    }

    // Salir ends the process at once, whatever the network is doing; a
    // server the client was connected to sees the connection close.
    void endIsImmediate_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("state"); // the connection's state when Salir is pressed
        QTest::addColumn<bool>("ask");
        QTest::addColumn<QString>("how");
        QTest::newRow("Edicion > Salir, name lookup hanging")
            << kHangingName << int(LookupConnection::ResolvingHost) << false << u"menu"_s;
        QTest::newRow("welcome Salir, name lookup hanging")
            << kHangingName << int(LookupConnection::ResolvingHost) << false << u"welcome"_s;
        QTest::newRow("Edicion > Salir, connect pending")
            << u"127.0.0.6"_s << int(LookupConnection::Connecting) << false << u"menu"_s;
        QTest::newRow("Edicion > Salir, server never reads")
            << u"127.0.0.7"_s << int(LookupConnection::Connected) << true << u"menu"_s;
    }
    void endIsImmediate()
    {
        QFETCH(QString, host);
        QFETCH(int, state);
        QFETCH(bool, ask);
        QFETCH(QString, how);
        if (host == kHangingName && !g_lookupsHang)
            QSKIP("no private name server: needs root or a user namespace");
        StalledListener stalled("127.0.0.6", 1007);
        QVERIFY(stalled.isListening());
        QTcpServer neverReads;
        QVERIFY(neverReads.listen(QHostAddress(u"127.0.0.7"_s), 1007));

        if (g_nameServer != -1)
            forgetQuestions();
        QProcess client;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // Left alone, the child's name lookup would hang for half a minute.
        env.insert(u"RES_OPTIONS"_s, u"timeout:30 attempts:1"_s);
        client.setProcessEnvironment(env);
        client.start(g_self,
                     {u"--client"_s, host, QString::number(state), ask ? u"1"_s : u"0"_s, how});
        QVERIFY(client.waitForStarted(5000));
        QVERIFY2(QTest::qWaitFor([&] { return client.canReadLine() || client.state() == QProcess::NotRunning; }, 15000),
                 "the client never got ready");
        QCOMPARE(client.readLine().trimmed(), QByteArray("ready"));
        // Salir only once the lookup is asking the name server, where it hangs.
        if (host == kHangingName)
            QVERIFY(questionArrives(5000));
        client.write("salir\n");
        QElapsedTimer sinceSalir;
        sinceSalir.start();
        QTcpSocket* peer = nullptr;
        if (state == LookupConnection::Connected) {
            neverReads.waitForNewConnection(0);
            peer = neverReads.nextPendingConnection();
            QVERIFY(peer);
        }
        // Gone already, or within a moment; the lookup would hang for 30 s.
        const bool ended = client.state() == QProcess::NotRunning || client.waitForFinished(3000);
        const qint64 ms = sinceSalir.elapsed();
        if (!ended) {
            client.kill();
            client.waitForFinished();
        }
        QVERIFY2(ended, qPrintable(u"the process still ran %1 ms after Salir"_s.arg(ms)));
        qInfo("process gone %lld ms after Salir", ms);
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
        QCOMPARE(client.exitCode(), 0);
        if (peer) {
            QTRY_COMPARE_WITH_TIMEOUT(peer->state(), QAbstractSocket::UnconnectedState, 5000);
            QCOMPARE(peer->readAll(), QByteArray("5")); // what it never read, then the close
        }
    }
};

int main(int argc, char** argv)
{
    if (argc == 6 && qstrcmp(argv[1], "--client") == 0) {
        // The client as main() runs it, with a driver at the keyboard.
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        velmario::look::applyApplicationLook(app);
        const QString host = QString::fromLocal8Bit(argv[2]);
        const int state = QByteArray(argv[3]).toInt();
        const bool ask = qstrcmp(argv[4], "1") == 0;
        const QString how = QString::fromLocal8Bit(argv[5]);
        QTimer::singleShot(0, &app, [=] { driveClient(host, state, ask, how); });
        velmario::runProgram();
    }
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) > 0)
        g_self = QString::fromLocal8Bit(self);
    enterPrivateNetwork();
    g_lookupsHang = makeNameLookupsHang();
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    velmario::look::applyApplicationLook(app);
    TestStalled test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_stalled.moc"
