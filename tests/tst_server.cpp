// velmario-server as a real process on loopback.
#include "serverprocess.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace velmario::testing;

namespace {


// A socket connected to the server on loopback; a receive buffer of
// `receiveBuffer` bytes when not 0.
int rawConnect(quint16 port, int receiveBuffer = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends `request` while reading what comes back, from `startMs` on,
// `chunk` bytes at most every `everyMs`, until `expected` bytes came, the
// server closed or `timeoutMs` passed.
QByteArray exchange(int fd, const QByteArray& request, qsizetype expected, int chunk, int everyMs, int startMs = 0,
                    int timeoutMs = 20000)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    QByteArray received;
    qsizetype sent = 0;
    QElapsedTimer timer, sinceRead;
    timer.start();
    sinceRead.start();
    std::vector<char> buffer(static_cast<std::size_t>(chunk));
    while (received.size() < expected && timer.elapsed() < timeoutMs) {
        const bool mayRead = sinceRead.elapsed() >= everyMs && timer.elapsed() >= startMs;
        pollfd p{fd, short((sent < request.size() ? POLLOUT : 0) | (mayRead ? POLLIN : 0)), 0};
        ::poll(&p, 1, mayRead ? 50 : 10);
        if (p.revents & POLLOUT) {
            const ssize_t n = ::send(fd, request.constData() + sent, std::size_t(request.size() - sent), MSG_NOSIGNAL);
            if (n > 0)
                sent += n;
        }
        if (mayRead && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            received.append(buffer.data(), n);
            sinceRead.restart();
        }
    }
    return received;
}

// Lines of known and unknown numbers, and the replies they should get.
std::pair<QByteArray, QByteArray> pipelined(int lines)
{
    QByteArray request, replies;
    for (int i = 0; i < lines; ++i) {
        switch (i % 4) {
        case 0: request += "20230001\n"; replies += kJose; break;
        case 1: request += "1\n"; replies += kNotRegistered; break;
        case 2: request += "20230002\n"; replies += kMaria; break;
        default: request += " 20230001\r\n"; replies += kJose; break;
        }
    }
    return {request, replies};
}

// "N paused for unread replies" of the server's statistics.
int pausedCount(ServerProcess& server)
{
    ::kill(pid_t(server.pid()), SIGUSR1);
    if (!server.waitForLog("paused for unread replies"))
        return -1;
    static const QRegularExpression paused(uR"((\d+) paused for unread replies)"_s);
    const auto m = paused.match(QString::fromLatin1(server.log()));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

qint64 residentKiB(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

    // Serves `db` holding R1 "Primera*1" to a connected client, then
    // imports R1 "Segunda*2" into it without telling the server.
    void serveThenImport(const QString& db, ServerProcess& server, Client& client)
    {
        writeFile(path("v1.csv"), "control_number,name,telephone\nR1,Primera,1\n");
        writeFile(path("v2.csv"), "control_number,name,telephone\nR1,Segunda,2\n");
        QCOMPARE(run({u"import"_s, path("v1.csv"), u"--db"_s, db}).exitCode, 0);
        QVERIFY(server.start({u"--db"_s, db}));
        QVERIFY(client.connect(server.port()));
        QCOMPARE(client.ask("R1"), QByteArray("Primera*1"));
        QCOMPARE(run({u"import"_s, path("v2.csv"), u"--db"_s, db}).exitCode, 0);
        QCOMPARE(client.ask("R1"), QByteArray("Primera*1")); // until told to reload
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!serverProgram().isEmpty(), "VELMARIO_SERVER names the server to test");
        QVERIFY(dir.isValid());
    }

    // Every answer is the same whether the replies are held in memory (the
    // default for a directory this small) or looked up in the database.
    void sampleDirectoryAnswers_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        const std::pair<const char*, QStringList> modes[] = {
            {"in memory", {}},
            {"from the database", {u"--max-memory-entries"_s, u"0"_s}},
        };
        for (const auto& [mode, options] : modes) {
            const auto row = [&, mode = mode](const char* name) -> QTestData& {
                return QTest::addRow("%s: %s", mode, name) << options;
            };
            row("known, accented name") << QByteArray("20230001") << cp1252(u"José Peña Ibáñez*961-976-1527"_s);
            row("known, ñ") << QByteArray("20230002") << cp1252(u"María Muñoz López*961-919-3851"_s);
            row("last of the sample") << QByteArray("20230036") << QByteArray();
            row("surrounding white space and CR LF") << QByteArray(" \t20230003\r\n")
                                                     << cp1252(u"Ángel Núñez Ruiz*961-418-3905"_s);
            row("unknown number") << QByteArray("99999999") << kNotRegistered;
            row("prefix of a known number") << QByteArray("2023000") << kNotRegistered;
            row("known number and more") << QByteArray("202300011") << kNotRegistered;
            row("inner space is part of the number") << QByteArray("2023 0001") << kNotRegistered;
            row("SQL is only text") << QByteArray("' OR '1'='1") << kNotRegistered;
            row("format directives are only text") << QByteArray("%s%n%x") << kNotRegistered;
            row("binary bytes") << QByteArray("\x00\x01\xff\x80\x81", 5) << kNotRegistered;
            row("known number after a NUL") << QByteArray("\x00" "20230001", 9) << kNotRegistered;
            row("longest request still looked up") << QByteArray(256, '7') << kNotRegistered;
            row("one byte too long") << QByteArray(257, '7') << kInvalid;
        }
    }
    void sampleDirectoryAnswers()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        ServerProcess server;
        QVERIFY(server.start(options));
        Client client;
        QVERIFY(client.connect(server.port()));
        const QByteArray got = client.ask(request);
        if (reply.isEmpty()) // a known entry whose text is not pinned here
            QVERIFY2(got.contains('*') && got != kNotRegistered, got.constData());
        else
            QCOMPARE(got, reply);
    }

    void emptyRequestGetsNoReply()
    {
        ServerProcess server;
        QVERIFY(server.start());
        Client client;
        QVERIFY(client.connect(server.port()));
        QCOMPARE(client.ask(" \r\n", 300), QByteArray());
        // ... and the connection still serves, a line at a time now.
        QCOMPARE(client.ask("20230001\r\n"), cp1252(u"José Peña Ibáñez*961-976-1527"_s));
    }

    void manyRequestsOnOneConnection()
    {
        ServerProcess server;
        QVERIFY(server.start());
        Client client;
        QVERIFY(client.connect(server.port()));
        for (int i = 0; i < 500; ++i) {
            const QByteArray number = "2023" + QByteArray::number(1 + i % 36).rightJustified(4, '0');
            const QByteArray reply = client.ask(number);
            QVERIFY2(reply.contains('*') && reply != kNotRegistered, reply.constData());
        }
    }

    void concurrentConnectionsAllAnswered()
    {
        ServerProcess server;
        QVERIFY(server.start());
        constexpr int kClients = 300;
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(std::make_unique<QTcpSocket>());
            clients.back()->connectToHost(QHostAddress::LocalHost, server.port());
        }
        for (auto& c : clients)
            QVERIFY(c->state() == QAbstractSocket::ConnectedState || c->waitForConnected(5000));
        for (int i = 0; i < kClients; ++i)
            clients[i]->write("2023" + QByteArray::number(1 + i % 36).rightJustified(4, '0'));
        for (int i = 0; i < kClients; ++i) {
            QTcpSocket& c = *clients[i];
            QVERIFY(c.bytesAvailable() || c.waitForReadyRead(5000));
            const QByteArray reply = c.readAll();
            QVERIFY2(reply.contains('*') && reply != kNotRegistered, reply.constData());
        }
    }

    void idleConnectionsAreClosed()
    {
        ServerProcess server;
        QVERIFY(server.start({u"--idle-timeout"_s, u"1"_s}));
        Client idle, busy;
        QVERIFY(idle.connect(server.port()));
        QVERIFY(busy.connect(server.port()));
        QVERIFY(!busy.ask("20230001").isEmpty());
        QVERIFY(idle.closedByServer(4000));
        QVERIFY(busy.closedByServer(4000));
        Client fresh;
        QVERIFY(fresh.connect(server.port()));
        QVERIFY(!fresh.ask("20230001").isEmpty()); // the server itself goes on
    }

    // A client that sends many lines in one write and reads its replies
    // gets every one, in order, however fast it reads: past
    // --max-pending-bytes of unsent replies the server stops reading its
    // requests until it has read enough.
    void readerGetsEveryReply_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("receiveBuffer"); // 0: the system's
        QTest::addColumn<int>("chunk");
        QTest::addColumn<int>("everyMs");
        QTest::addColumn<int>("startMs");
        QTest::addColumn<bool>("paused"); // reading must have been stopped at least once
        QTest::newRow("read as they come") << QStringList{} << 10'000 << 0 << 65536 << 0 << 0 << false;
        QTest::newRow("a small pending limit")
            << QStringList{u"--max-pending-bytes"_s, u"1024"_s} << 10'000 << 4096 << 65536 << 0 << 0 << false;
        QTest::newRow("read late") << QStringList{u"--send-timeout"_s, u"2"_s} << 10'000 << 4096 << 65536 << 0 << 1500 << true;
        // 20 KB a second: the kernel lets the server write again only once a
        // third of its send buffer is free, every 3 s or so, yet the client
        // reads all along.
        QTest::newRow("read slowly, steadily")
            << QStringList{u"--send-timeout"_s, u"1"_s} << 4000 << 4096 << 1024 << 50 << 0 << false;
    }
    void readerGetsEveryReply()
    {
        QFETCH(QStringList, options);
        QFETCH(int, lines);
        QFETCH(int, receiveBuffer);
        QFETCH(int, chunk);
        QFETCH(int, everyMs);
        QFETCH(int, startMs);
        QFETCH(bool, paused);
        ServerProcess server;
        QVERIFY(server.start(options));
        const auto [request, replies] = pipelined(lines);
        const int fd = rawConnect(server.port(), receiveBuffer);
        QVERIFY(fd >= 0);
        const QByteArray got = exchange(fd, request, replies.size(), chunk, everyMs, startMs);
        ::close(fd);
        QCOMPARE(got.size(), replies.size());
        QVERIFY(got == replies);
        QVERIFY2(!server.log().contains("dropped"), server.log().constData());
        const int pauses = pausedCount(server);
        QVERIFY2(paused ? pauses > 0 : pauses >= 0, qPrintable(QString::number(pauses)));
    }

    // Limits as shipped: 3000 lines "1" in one write from a client that
    // reads. Each is answered, in order: the first 50 from the burst, the
    // rest over the rate but answered all the same.
    void pipelinedWithShippedLimits()
    {
        ServerProcess server;
        server.setLimits(ServerProcess::Limits::Shipped);
        QVERIFY(server.start());
        QByteArray request;
        for (int i = 0; i < 3000; ++i)
            request += "1\n";
        const int fd = rawConnect(server.port());
        QVERIFY(fd >= 0);
        const QByteArray got = exchange(fd, request, 50 * kNotRegistered.size() + 2950 * kTooMany.size(), 65536, 0);
        ::close(fd);
        QVERIFY(got.startsWith(kNotRegistered.repeated(50)));
        QCOMPARE(got.count('*'), 3000);
        QCOMPARE(got.count(kNotRegistered) + got.count(kTooMany), 3000);
        QVERIFY(got.endsWith(kTooMany));
    }

    // A client that sends without end and never reads: the server stops
    // reading it, holds a bounded amount, and drops it once it has taken
    // none of its replies for --send-timeout; others are served meanwhile.
    void clientThatNeverReadsIsDropped()
    {
        ServerProcess server;
        QVERIFY(server.start({u"--send-timeout"_s, u"1"_s}));
        const int fd = rawConnect(server.port(), 2048);
        QVERIFY(fd >= 0);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        Client good;
        QVERIFY(good.connect(server.port()));
        QByteArray lines;
        for (int i = 0; i < 4096; ++i)
            lines += "1\n";
        // Sends until the server has taken nothing for half a second.
        qint64 sent = 0;
        QElapsedTimer stalled;
        stalled.start();
        while (stalled.elapsed() < 500 && sent < 64 * 1024 * 1024) {
            const ssize_t n = ::send(fd, lines.constData(), std::size_t(lines.size()), MSG_NOSIGNAL);
            if (n > 0) {
                sent += n;
                stalled.restart();
            } else {
                QCOMPARE(errno, EAGAIN);
                QTest::qWait(10);
            }
        }
        // What the kernels hold on both sides, and no more: with the
        // server reading on, this would run to 64 MiB.
        QVERIFY2(sent < 32 * 1024 * 1024, qPrintable(QString::number(sent)));
        QCOMPARE(good.ask("20230002"), kMaria);
        QElapsedTimer timer;
        timer.start();
        bool dropped = false;
        while (!dropped && timer.elapsed() < 5000) {
            pollfd p{fd, POLLRDHUP, 100};
            dropped = ::poll(&p, 1, 100) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
        }
        ::close(fd);
        QVERIFY(dropped);
        QVERIFY(server.waitForLog("dropped 1 client(s) that did not read their replies (last from 127.0.0.1)"));
        QCOMPARE(good.ask("20230001"), kJose);
    }

    // Out of file descriptors (ulimit -n 64): the server serves as many
    // connections as they allow, says so, and tells every further client it
    // is busy rather than closing on it in silence.
    void fewDescriptors_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("refusal");
        QTest::newRow("descriptors kept back") << QStringList{} << QByteArray(" connections already open (last from 127.0.0.1)");
        QTest::newRow("none kept back") << QStringList{u"--reserved-descriptors"_s, u"0"_s}
                                        << QByteArray("connection(s): out of file descriptors (last from 127.0.0.1)");
    }
    void fewDescriptors()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, refusal);
        ServerProcess server;
        server.process().setChildProcessModifier([] {
            // Inherited above the limit, as a shell may pass one on: it
            // takes none of the 64 places.
            ::dup2(STDIN_FILENO, 100);
            const rlimit few{64, 64};
            ::setrlimit(RLIMIT_NOFILE, &few);
        });
        QVERIFY(server.start(options));
        static const QRegularExpression cap(uR"(serving at most (\d+) connections at once rather than 1024: only 64 )"
                                            uR"(file descriptors are allowed, (\d+) are open and (\d+) are kept back)"_s);
        const auto m = cap.match(QString::fromLatin1(server.log()));
        QVERIFY2(m.hasMatch(), server.log().constData());
        const int most = m.captured(1).toInt();
        QCOMPARE(most + m.captured(2).toInt() + m.captured(3).toInt(), 64);
        QCOMPARE(m.captured(3), options.isEmpty() ? u"32"_s : u"0"_s);
        // One after another, each held open: the first `most` are served
        // to the last, every one after is told the server is busy.
        std::vector<int> fds;
        int served = 0, refused = 0;
        for (int i = 0; i < 200; ++i) {
            const int fd = rawConnect(server.port());
            QVERIFY(fd >= 0);
            fds.push_back(fd);
            const QByteArray got = exchange(fd, "20230001", kJose.size(), 256, 0, 0, 3000);
            if (got == kJose && refused == 0)
                ++served;
            else if (got == kBusy)
                ++refused;
            else
                QFAIL(qPrintable(u"connection %1 got \"%2\""_s.arg(i).arg(QString::fromLatin1(got))));
        }
        QCOMPARE(served, most);
        QCOMPARE(refused, 200 - most);
        QVERIFY2(server.waitForLog(refusal.constData()), server.log().constData());
        for (const int fd : fds)
            ::close(fd);
        // Those that closed made room again.
        Client after;
        QVERIFY(QTest::qWaitFor([&] { return after.connect(server.port()) && after.ask("20230002", 500) == kMaria; }, 5000));
    }

    void connectionLimit()
    {
        ServerProcess server;
        QVERIFY(server.start({u"--max-connections"_s, u"3"_s}));
        Client a, b, c, over;
        for (Client* client : {&a, &b, &c}) {
            QVERIFY(client->connect(server.port()));
            QVERIFY(!client->ask("20230001").isEmpty());
        }
        QVERIFY(over.connect(server.port())); // accepted, told why, closed
        QCOMPARE(over.untilClosed(), std::optional(kBusy));
        QVERIFY(server.waitForLog("refused 1 connection(s): 3 connections already open (last from 127.0.0.1)"));
        a.socket().disconnectFromHost();
        QVERIFY(a.closedByServer());
        Client later;
        QVERIFY(later.connect(server.port()));
        QTRY_VERIFY_WITH_TIMEOUT(!later.ask("20230001", 500).isEmpty(), 5000);
        QVERIFY(!b.ask("20230002").isEmpty());
    }

    // --- Hostile clients ------------------------------------------------

    void thousandConnectionsHeldOpenAndMemoryBounded()
    {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
        setrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < 1100)
            QSKIP("this machine allows too few file descriptors");
        ServerProcess server;
        QVERIFY(server.start());
        const qint64 before = residentKiB(server.pid());
        std::vector<int> held;
        for (int i = 0; i < 1000; ++i) {
            const int fd = rawConnect(server.port());
            QVERIFY2(fd >= 0, qPrintable(u"connection %1 failed"_s.arg(i)));
            held.push_back(fd);
        }
        // Every held connection is served, and so is a newcomer.
        for (int i = 0; i < 1000; i += 37) {
            QCOMPARE(::send(held[i], "20230001", 8, MSG_NOSIGNAL), ssize_t(8));
            char reply[64];
            pollfd p{held[i], POLLIN, 0};
            QVERIFY(::poll(&p, 1, 5000) == 1);
            QVERIFY(::recv(held[i], reply, sizeof reply, 0) > 0);
        }
        Client newcomer;
        QVERIFY(newcomer.connect(server.port()));
        QCOMPARE(newcomer.ask("20230002"), cp1252(u"María Muñoz López*961-919-3851"_s));
        const qint64 during = residentKiB(server.pid());
        QVERIFY2(during - before < 64 * 1024, qPrintable(u"%1 KiB more for 1000 connections"_s.arg(during - before)));
        for (int fd : held)
            ::close(fd);
    }

    void connectAndCloseStorm()
    {
        ServerProcess server;
        QVERIFY(server.start());
        Client steady;
        QVERIFY(steady.connect(server.port()));
        for (int i = 0; i < 2000; ++i) {
            const int fd = rawConnect(server.port());
            QVERIFY(fd >= 0);
            if (i % 3 == 0)
                ::send(fd, "20230001", 8, MSG_NOSIGNAL); // and leave without reading
            ::close(fd);
            if (i % 100 == 0)
                QCOMPARE(steady.ask("20230002"), cp1252(u"María Muñoz López*961-919-3851"_s));
        }
        QCOMPARE(steady.ask("20230003"), cp1252(u"Ángel Núñez Ruiz*961-418-3905"_s));
        QVERIFY(server.process().state() == QProcess::Running);
    }

    void halfClosedConnectionStillGetsItsReply()
    {
        ServerProcess server;
        QVERIFY(server.start());
        const int fd = rawConnect(server.port());
        QVERIFY(fd >= 0);
        QCOMPARE(::send(fd, "20230001", 8, MSG_NOSIGNAL), ssize_t(8));
        ::shutdown(fd, SHUT_WR);
        QByteArray reply;
        char buffer[256];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            QVERIFY(::poll(&p, 1, 5000) == 1);
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break; // then the server closes its side too
            reply.append(buffer, got);
        }
        ::close(fd);
        QCOMPARE(reply, cp1252(u"José Peña Ibáñez*961-976-1527"_s));
        Client after;
        QVERIFY(after.connect(server.port()));
        QVERIFY(!after.ask("20230001").isEmpty());
    }

    void stopsOnSigterm()
    {
        ServerProcess server;
        QVERIFY(server.start());
        Client client;
        QVERIFY(client.connect(server.port()));
        ::kill(pid_t(server.pid()), SIGTERM);
        QVERIFY(server.process().waitForFinished(5000));
        QCOMPARE(server.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process().exitCode(), 0);
        QVERIFY(client.closedByServer());
        QVERIFY(server.log().contains("stopped"));
    }

    // --- Importing and serving a database ---------------------------------

    void importServeAndExport()
    {
        const QString csv = path("good.csv");
        writeFile(csv, "\xEF\xBB\xBF" "control_number,name,telephone\r\n"
                       "A1,\"Peña, Ana\",555-01\r\n"
                       "A2,\"Dice \"\"hola\"\"\",555-02\n"
                       "\n"
                       "A3,\"Tres, \"\"cuatro\"\"\",555-03\n"
                       "A4,Un*nombre*con estrellas,555-04");
        const QString db = path("good.db");
        const Run imported = run({u"import"_s, csv, u"--db"_s, db});
        QCOMPARE(imported.exitCode, 0);

        const Run exported = run({u"export"_s, u"--db"_s, db});
        QCOMPARE(exported.exitCode, 0);
        QCOMPARE(exported.out, QByteArray("control_number,name,telephone\r\n"
                                          "A1,\"Peña, Ana\",555-01\r\n"
                                          "A2,\"Dice \"\"hola\"\"\",555-02\r\n"
                                          "A3,\"Tres, \"\"cuatro\"\"\",555-03\r\n"
                                          "A4,Un*nombre*con estrellas,555-04\r\n"));

        // Import kept the checked copy of the replies, which the start reads.
        ServerProcess server;
        QVERIFY(server.start({u"--db"_s, db}));
        QVERIFY(server.waitForLog("(held in memory, 0.0 MiB, read from the copy checked when imported)"));
        Client client;
        QVERIFY(client.connect(server.port()));
        QCOMPARE(client.ask("A1"), cp1252(u"Peña, Ana*555-01"_s));
        QCOMPARE(client.ask("A4"), QByteArray("Un*nombre*con estrellas*555-04"));
        QCOMPARE(client.ask("20230001"), kNotRegistered); // the sample is not served
    }

    void badRowsAreAllReportedAndNothingIsWritten()
    {
        const QString db = path("kept.db");
        writeFile(path("kept.csv"), "control_number,name,telephone\nK1,Kept,1\n");
        QCOMPARE(run({u"import"_s, path("kept.csv"), u"--db"_s, db}).exitCode, 0);
        QFile before(db);
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray original = before.readAll();
        before.close();

        writeFile(path("bad.csv"), "control_number,name,telephone\n"  // 1
                                   "B1,Bueno,1\n"                       // 2
                                   ",Sin número,2\n"                    // 3
                                   "B3,,3\n"                            // 4
                                   "B4,Estrella,4*4\n"                  // 5
                                   "B1,Repetido,5\n"                    // 6
                                   "B6,中文,6\n"                         // 7
                                   "B7,Faltan campos\n"                 // 8
                                   "B8,\"Dos\r\nlíneas\",8\n"            // 9, 10
                                   "B9,Tab\tdentro,9\n"                // 11
                                   "B10,\"sin cerrar,10\n");            // 12
        const Run result = run({u"import"_s, path("bad.csv"), u"--db"_s, db});
        QCOMPARE(result.exitCode, 3);
        for (int line : {3, 4, 5, 6, 7, 8, 9, 11, 12})
            QVERIFY2(result.err.contains(":" + QByteArray::number(line) + ":"), result.err.constData());
        QVERIFY(!result.err.contains(":2:"));
        QVERIFY(!result.err.contains(":10:"));
        QVERIFY(result.err.contains("already appears on line 2"));
        QFile after(db);
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), original);
        QCOMPARE(QDir(dir.path()).entryList({u".kept.db.new-*"_s}, QDir::Hidden | QDir::Files), QStringList());
    }

    void wrongHeaderIsRejected()
    {
        writeFile(path("header.csv"), "numero,nombre,telefono\n1,A,1\n");
        const Run result = run({u"import"_s, path("header.csv"), u"--db"_s, path("header.db")});
        QCOMPARE(result.exitCode, 3);
        QVERIFY(result.err.contains(":1:"));
        QVERIFY(!QFile::exists(path("header.db")));
    }

    void sighupReloadsWithoutDroppingConnections()
    {
        ServerProcess server;
        Client client;
        serveThenImport(path("reload.db"), server, client);
        if (QTest::currentTestFailed())
            return;
        ::kill(pid_t(server.pid()), SIGHUP);
        QVERIFY(server.waitForLog("reloaded"));
        QCOMPARE(client.ask("R1"), QByteArray("Segunda*2"));
        // Served from its table in memory, whatever becomes of the file.
        QVERIFY2(server.log().contains("reloaded: serving 1 entries from " + path("reload.db").toUtf8() +
                                       " (held in memory"),
                 server.log().constData());
        QVERIFY(QFile::resize(path("reload.db"), 0));
        QCOMPARE(client.ask("R1"), QByteArray("Segunda*2"));
    }

    void reloadBurstsAndFailedReloads()
    {
        const QString db = path("burst.db");
        ServerProcess server;
        Client client;
        serveThenImport(db, server, client);
        if (QTest::currentTestFailed())
            return;
        // Signals arriving while a reload runs are folded into one more.
        for (int i = 0; i < 5; ++i)
            ::kill(pid_t(server.pid()), SIGHUP);
        QVERIFY(server.waitForLog("reloaded"));
        QCOMPARE(client.ask("R1"), QByteArray("Segunda*2"));

        // A damaged file is not served: the previous directory stays.
        QFile file(db);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray(8192, '\x5a'));
        file.close();
        ::kill(pid_t(server.pid()), SIGHUP);
        QVERIFY(server.waitForLog("reload failed, still serving the previous directory"));
        QCOMPARE(client.ask("R1"), QByteArray("Segunda*2"));
    }

    // A directory past --max-memory-entries is looked up in the file; the
    // answers are the same either way.
    void memoryLimitChoosesHowToServe_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("log");
        // Imported, so read from the copy import checked, or served from the
        // file it vouches for.
        const QByteArray held = "(held in memory, 0.0 MiB, read from the copy checked when imported)";
        const QByteArray file = "(looked up on disk in the copy of its replies checked when imported)";
        QTest::newRow("default") << QStringList() << held;
        QTest::newRow("just fits") << QStringList{u"--max-memory-entries"_s, u"50"_s} << held;
        QTest::newRow("one too many") << QStringList{u"--max-memory-entries"_s, u"49"_s} << file;
        QTest::newRow("never") << QStringList{u"--max-memory-entries"_s, u"0"_s} << file;
    }
    void memoryLimitChoosesHowToServe()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, log);
        QByteArray csv = "control_number,name,telephone\n";
        for (int i = 0; i < 50; ++i)
            csv += "M" + QByteArray::number(i) + ",Nombre " + QByteArray::number(i) + " Núñez," + QByteArray::number(i) + "\n";
        writeFile(path("fifty.csv"), csv);
        QCOMPARE(run({u"import"_s, path("fifty.csv"), u"--db"_s, path("fifty.db")}).exitCode, 0);
        ServerProcess server;
        QVERIFY(server.start(options + QStringList{u"--db"_s, path("fifty.db")}));
        QVERIFY2(server.log().contains("serving 50 entries"), server.log().constData());
        QVERIFY2(server.log().contains(log), server.log().constData());
        Client client;
        QVERIFY(client.connect(server.port()));
        for (int i : {0, 7, 49})
            QCOMPARE(client.ask("M" + QByteArray::number(i)),
                     cp1252(u"Nombre %1 Núñez*%1"_s.arg(i)));
        QCOMPARE(client.ask("M50"), kNotRegistered);
        QCOMPARE(client.ask("m1"), kNotRegistered);
    }

    // Pages in the middle of the table overwritten: every way of reading
    // the file says so instead of serving or exporting part of it.
    void damagedDatabaseIsClear_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("serve, in memory") << QStringList{u"--port"_s, u"0"_s} << 2;
        QTest::newRow("serve, from the file") << QStringList{u"--port"_s, u"0"_s, u"--max-memory-entries"_s, u"10"_s} << 2;
        QTest::newRow("export") << QStringList{u"export"_s} << 2;
    }
    void damagedDatabaseIsClear()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        const QString db = path("damaged.db");
        if (!QFile::exists(db)) {
            QByteArray csv = "control_number,name,telephone\n";
            for (int i = 0; i < 20000; ++i)
                csv += "D" + QByteArray::number(i) + ",Nombre " + QByteArray::number(i) + ",555-" + QByteArray::number(i) + "\n";
            writeFile(path("damaged.csv"), csv);
            QCOMPARE(run({u"import"_s, path("damaged.csv"), u"--db"_s, db}).exitCode, 0);
            QFile file(db);
            QVERIFY(file.size() > 100 * 4096);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(90 * 4096));
            file.write(QByteArray(4 * 4096, '\x5a'));
        }
        const QStringList where = arguments.first() == u"export"_s ? QStringList{u"--db"_s, db}
                                                                  : QStringList{u"--listen"_s, u"127.0.0.1"_s, u"--db"_s, db};
        const Run result = run(arguments + where);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains("the file is damaged"), result.err.constData());
        QCOMPARE(result.out, QByteArray());
    }

    void startFailuresAreClear_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("missing database") << u"missing.db"_s << QByteArray("no such database file");
        QTest::newRow("not a database") << u"garbage.db"_s << QByteArray("garbage.db");
        QTest::newRow("database without the table") << u"empty.db"_s << QByteArray("not a directory database");
    }
    void startFailuresAreClear()
    {
        QFETCH(QString, database);
        QFETCH(QByteArray, message);
        writeFile(path("garbage.db"), QByteArray(4096, '\x5a'));
        writeFile(path("empty.db"), QByteArray());
        const Run result = run({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s, u"--db"_s, path(qPrintable(database))});
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains(message), result.err.constData());
    }

    void portInUseIsClear()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost));
        const Run result = run({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, QString::number(holder.serverPort())});
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("already in use"), result.err.constData());
    }

    void privilegedPortWithoutPermissionIsClear()
    {
        // Drop to an unprivileged user without capabilities, if this machine
        // lets the test do so.
        QProcess process;
        process.start(u"setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                                     u"--inh-caps=-all"_s, u"--bounding-set=-all"_s, serverProgram(),
                                     u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"1007"_s});
        process.waitForFinished(10000);
        const QByteArray err = process.readAllStandardError();
        if (err.contains("setpriv:"))
            QSKIP("cannot drop privileges here");
        QCOMPARE(process.exitCode(), 2);
        QVERIFY2(err.contains("CAP_NET_BIND_SERVICE"), err.constData());
    }

    // `output` is what standard output holds on success, standard error
    // otherwise.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("--version") << QStringList{u"--version"_s} << 0 << QByteArray("velmario-server " VELMARIO_RELEASE);
        QTest::newRow("--help") << QStringList{u"--help"_s} << 0 << QByteArray("import FILE.csv --db FILE.db");
        QTest::newRow("--help names the port") << QStringList{u"--help"_s} << 0
                                               << QByteArray("Answers telephone directory lookups on TCP port 1007.\n");
        QTest::newRow("an IPv4 prefix past /32") << QStringList{u"--allow"_s, u"10.0.0.0/33"_s} << 1
                                                 << QByteArray("'10.0.0.0/33' is not an address or network");
        QTest::newRow("an IPv6 prefix past /128") << QStringList{u"--allow"_s, u"2001:db8::/129"_s} << 1
                                                  << QByteArray("'2001:db8::/129' is not an address or network");
        QTest::newRow("an IPv6 prefix length of 0") << QStringList{u"--ipv6-prefix-length"_s, u"0"_s} << 1
                                                    << QByteArray("--ipv6-prefix-length: needs a whole number from 1 to 128");
        QTest::newRow("busy past 100%") << QStringList{u"--busy-percent"_s, u"101"_s} << 1
                                        << QByteArray("--busy-percent: needs a whole number from 0 to 100");
        QTest::newRow("unknown option") << QStringList{u"--frobnicate"_s} << 1
                                        << QByteArray("not expected: --frobnicate\nTry 'velmario-server --help'.");
        QTest::newRow("bad port") << QStringList{u"--port"_s, u"70000"_s} << 1
                                  << QByteArray("--port: needs a whole number from 0 to 65535");
        QTest::newRow("no connections") << QStringList{u"--max-connections"_s, u"0"_s} << 1
                                        << QByteArray("--max-connections: needs a whole number of at least 1");
        QTest::newRow("missing value") << QStringList{u"--idle-timeout"_s} << 1 << QByteArray("--idle-timeout");
        QTest::newRow("bad address") << QStringList{u"--listen"_s, u"no.such"_s, u"--port"_s, u"0"_s} << 2
                                     << QByteArray("'no.such' is not an IPv4 or IPv6 address.");
        QTest::newRow("import without --db") << QStringList{u"import"_s, u"x.csv"_s} << 1 << QByteArray("--db is required");
        QTest::newRow("import with a serving option")
            << QStringList{u"--port"_s, u"5"_s, u"import"_s, u"x.csv"_s, u"--db"_s, u"x.db"_s} << 1
            << QByteArray("serving options do not apply to import, export or reload");
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, output);
        const Run result = run(arguments);
        QCOMPARE(result.exitCode, exitCode);
        const QByteArray& stream = exitCode == 0 ? result.out : result.err;
        QVERIFY2(stream.contains(output), stream.constData());
    }

    // Every option of --help, with its default, stands in the manual page.
    // Every option in --help, with its numeric default ("" for none):
    // "  --name ARG   text (default D)".
    static QMap<QString, QString> helpDefaults()
    {
        const Run help = run({u"--help"_s});
        const QString text = QString::fromUtf8(help.out);
        QMap<QString, QString> defaults;
        static const QRegularExpression entry(uR"(^  (--[a-z0-9-]+)((?:.|\n {26})*))"_s, QRegularExpression::MultilineOption);
        for (auto it = entry.globalMatch(text); it.hasNext();) {
            const auto m = it.next();
            const auto dflt = QRegularExpression(uR"(\(default (\d+)\))"_s).match(m.captured(2));
            defaults.insert(m.captured(1), dflt.hasMatch() ? dflt.captured(1) : QString());
        }
        return defaults;
    }

    // A default the README or the packaged options file states, as
    // "`--name N`", "`--name` (N)", "`--name` seconds (N", "--name (N)" or
    // "--name ARG   text (N)", is the one --help gives.
    void documentsStateTheDefaultsOfTheHelp_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("atLeast");
        QTest::newRow("README") << QStringLiteral(VELMARIO_README) << 12;
        QTest::newRow("options file") << QStringLiteral(VELMARIO_OPTIONS_FILE) << 4;
    }
    void documentsStateTheDefaultsOfTheHelp()
    {
        QFETCH(QString, file);
        QFETCH(int, atLeast);
        QFile f(file);
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(file));
        const QString text = QString::fromUtf8(f.readAll());
        const QMap<QString, QString> defaults = helpDefaults();
        QVERIFY(defaults.size() >= 8);
        static const QRegularExpression stated[] = {
            QRegularExpression(uR"(`(--[a-z0-9-]+) (\d+)`)"_s),
            QRegularExpression(uR"(`(--[a-z0-9-]+)`\s+(?:seconds\s+)?\((\d[\d ]*\d|\d)( KiB)?[ ),])"_s),
            QRegularExpression(uR"(^#\s+(--[a-z0-9-]+) [A-Z]+\s+[^\n]*\((\d+)\)$)"_s, QRegularExpression::MultilineOption),
            QRegularExpression(uR"([^`](--[a-z0-9-]+) \((\d+)\))"_s),
            QRegularExpression(uR"([^`](--[a-z0-9-]+) (\d+)\))"_s),
        };
        int found = 0;
        for (const QRegularExpression& pattern : stated) {
            for (auto it = pattern.globalMatch(text); it.hasNext();) {
                const auto m = it.next();
                QString value = m.captured(2);
                value.remove(u' ');
                if (m.lastCapturedIndex() >= 3 && !m.captured(3).isEmpty())
                    value = QString::number(value.toLongLong() * 1024);
                QVERIFY2(defaults.contains(m.captured(1)), qPrintable(m.captured(0)));
                QVERIFY2(defaults.value(m.captured(1)) == value,
                         qPrintable(m.captured(0) + u" states "_s + value + u", --help "_s + defaults.value(m.captured(1))));
                ++found;
            }
        }
        QVERIFY2(found >= atLeast, qPrintable(QString::number(found)));
    }

    // One release, from the build: what each place that names it says.
    void everyPlaceNamesTheRelease_data()
    {
        QTest::addColumn<QString>("file"); // under the source tree; empty: --version
        QTest::addColumn<QString>("pattern");
        QTest::newRow("--version") << QString() << u"^velmario-server (\\S+) \\("_s;
        QTest::newRow("debian/changelog") << u"debian/changelog"_s << u"^velmario \\(([^)]+)\\)"_s;
        QTest::newRow("the server's manual page") << u"packaging/velmario-server.1"_s << u"\"velmario-server ([^\"]+)\""_s;
        QTest::newRow("the client's manual page") << u"packaging/velmario.1"_s << u"\"velmario ([^\"]+)\""_s;
        QTest::newRow("AppStream") << u"packaging/org.velmario.Velmario.metainfo.xml"_s << u"<release version=\"([^\"]+)\""_s;
    }
    void everyPlaceNamesTheRelease()
    {
        QFETCH(QString, file);
        QFETCH(QString, pattern);
        QString text;
        if (file.isEmpty()) {
            text = QString::fromUtf8(run({u"--version"_s}).out);
        } else {
            QFile f(QStringLiteral(VELMARIO_SOURCE_DIR) + u"/"_s + file);
            QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(f.fileName()));
            text = QString::fromUtf8(f.readAll());
        }
        // The first it names is the newest.
        const auto m = QRegularExpression(pattern, QRegularExpression::MultilineOption).match(text);
        QVERIFY2(m.hasMatch(), qPrintable(text.left(200)));
        QCOMPARE(m.captured(1), QStringLiteral(VELMARIO_RELEASE));
    }

    void helpAgreesWithTheManual()
    {
        QFile manual(QStringLiteral(VELMARIO_MANUAL));
        QVERIFY2(manual.open(QIODevice::ReadOnly), qPrintable(manual.fileName()));
        const QString page = QString::fromUtf8(manual.readAll());
        // Plain troff: a control character (a "\f" gone astray as a form
        // feed) is printed as garbage by man.
        for (const QChar c : page)
            QVERIFY2(c >= u' ' || c == u'\n', qPrintable(u"control character U+%1 in the manual"_s.arg(int(c.unicode()), 4, 16, QChar(u'0'))));

        // Each option's paragraph in the manual: ".BI \-\-name ..." then text.
        const QMap<QString, QString> helpDefaults = TestServer::helpDefaults();
        QMap<QString, QString> manualDefaults;
        static const QRegularExpression item(uR"(^\.BI? (\\-\\-[a-z0-9\\-]+)[^\n]*\n((?:[^.][^\n]*\n)*))"_s,
                                             QRegularExpression::MultilineOption);
        for (auto it = item.globalMatch(page); it.hasNext();) {
            const auto m = it.next();
            QString name = m.captured(1);
            name.remove(u'\\');
            if (name.endsWith(u','))
                name.chop(1);
            const auto dflt = QRegularExpression(uR"(default (\d+))"_s).match(m.captured(2));
            manualDefaults.insert(name, dflt.hasMatch() ? dflt.captured(1) : QString());
        }
        QVERIFY(helpDefaults.size() >= 8);
        QCOMPARE(manualDefaults.keys(), helpDefaults.keys());
        QCOMPARE(manualDefaults, helpDefaults);
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
