// What the server tells systemd, read from a notification socket the test
// binds, and the lines it writes for the journal.
#include "serverprocess.h"
#include "systemd.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace velmario::server;
using namespace velmario::testing;
using namespace Qt::StringLiterals;

namespace {

// Runs velmario-server with its standard error going to a file that
// JOURNAL_STREAM names, as systemd does with the journal's stream; `during`
// runs while it does. Returns what it wrote.
QByteArray runAsUnderSystemd(const QStringList& arguments, const std::function<void(QProcess&, const QString&)>& during = {})
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"journal"_s);
    writeFile(path, {});
    struct stat st{};
    if (::stat(path.toLocal8Bit().constData(), &st) != 0)
        return "(cannot stat)";
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"JOURNAL_STREAM"_s, u"%1:%2"_s.arg(st.st_dev).arg(st.st_ino));
    process.setProcessEnvironment(env);
    process.setStandardErrorFile(path, QIODevice::Append);
    process.start(serverProgram(), arguments);
    if (!process.waitForStarted(5000))
        return "(did not start)";
    if (during)
        during(process, path);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(1000);
    }
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(no journal)");
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestSystemd : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("JOURNAL_STREAM");
        ::unsetenv("WATCHDOG_USEC");
        ::unsetenv("WATCHDOG_PID");
    }

    void notificationsReachTheSocket()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        NotifySocket notify(dir.filePath(QStringLiteral("notify")));
        QVERIFY(notify.bound());
        const auto received = [&notify] { return notify.next(); };

        QCOMPARE(notifyReady("serving 36 entries"), std::string());
        QCOMPARE(received(), std::string("READY=1\nSTATUS=serving 36 entries"));
        QCOMPARE(notifyReloading("reloading the directory"), std::string());
        const std::string reloading = received();
        QVERIFY2(reloading.rfind("RELOADING=1\nMONOTONIC_USEC=", 0) == 0, reloading.c_str());
        const std::size_t status = reloading.find("\nSTATUS=");
        QVERIFY2(status != std::string::npos && status > 27, reloading.c_str());
        QVERIFY(reloading.find_first_not_of("0123456789", 27) == status);
        QCOMPARE(reloading.substr(status), std::string("\nSTATUS=reloading the directory"));
        QCOMPARE(notifyStopping(), std::string());
        QCOMPARE(received(), std::string("STOPPING=1"));
        QCOMPARE(notifyWatchdog(), std::string());
        QCOMPARE(received(), std::string("WATCHDOG=1"));
        notify.close();

        // Nobody listens any more: the failure is reported, not hidden.
        QVERIFY(!notifyStopping().empty());
    }

    void outsideSystemdNothingIsSent()
    {
        QCOMPARE(notifyReady("x"), std::string());
        QCOMPARE(notifyStopping(), std::string());
        QCOMPARE(watchdogPingInterval().count(), 0);
        QVERIFY(!stderrIsJournal());
    }

    void watchdogPingsAtHalfTheTimeout()
    {
        ::setenv("WATCHDOG_USEC", "3000000", 1);
        ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
        QCOMPARE(watchdogPingInterval().count(), 1500000);
        ::setenv("WATCHDOG_PID", "1", 1); // meant for another process
        QCOMPARE(watchdogPingInterval().count(), 0);
    }

    void journalIsStandardErrorsDeviceAndInode()
    {
        struct stat st{};
        QCOMPARE(::fstat(2, &st), 0);
        const std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        ::setenv("JOURNAL_STREAM", mine.c_str(), 1);
        QVERIFY(stderrIsJournal());
        const std::string other = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
        ::setenv("JOURNAL_STREAM", other.c_str(), 1);
        QVERIFY(!stderrIsJournal());
        ::setenv("JOURNAL_STREAM", "garbage", 1);
        QVERIFY(!stderrIsJournal());
    }

    void logLine_data()
    {
        QTest::addColumn<int>("priority");
        QTest::addColumn<bool>("toJournal");
        QTest::addColumn<QString>("expected");
        QTest::newRow("error") << int(LogPriority::Error) << true << QStringLiteral("<3>no se pudo");
        QTest::newRow("warning") << int(LogPriority::Warning) << true << QStringLiteral("<4>no se pudo");
        QTest::newRow("info") << int(LogPriority::Info) << true << QStringLiteral("<6>no se pudo");
        QTest::newRow("not the journal") << int(LogPriority::Error) << false << QStringLiteral("no se pudo");
    }
    void logLine()
    {
        QFETCH(int, priority);
        QFETCH(bool, toJournal);
        QFETCH(QString, expected);
        const std::string line = velmario::server::logLine(static_cast<LogPriority>(priority), "no se pudo", toJournal);
        QCOMPARE(QString::fromStdString(line), expected);
    }

    // Every line of a message carries the message's priority.
    void logLineOfSeveralLines()
    {
        QCOMPARE(velmario::server::logLine(LogPriority::Error, "2 row(s) break the rules:\n  row 1\n  row 2", true),
                 std::string("<3>2 row(s) break the rules:\n<3>  row 1\n<3>  row 2"));
        QCOMPARE(velmario::server::logLine(LogPriority::Notice, "a\n", true), std::string("<5>a\n<5>"));
        QCOMPARE(velmario::server::logLine(LogPriority::Warning, "a\nb", false), std::string("a\nb"));
    }

    // Why the service did not start is an error, each line of it.
    void commandLineErrorsAreErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("bad network") << QStringList{u"--allow"_s, u"10.0.0.0/33"_s}
                                     << QByteArray("<3>velmario-server: --allow: '10.0.0.0/33' is not an address or "
                                                   "network\n<3>Try 'velmario-server --help'.\n");
        QTest::newRow("two sources") << QStringList{u"--db"_s, u"x.db"_s, u"--postgres"_s, u"dbname=x"_s}
                                     << QByteArray("<3>velmario-server: --db excludes --postgres\n"
                                                   "<3>Try 'velmario-server --help'.\n");
        QTest::newRow("not expected") << QStringList{u"host=db"_s, u"dbname=people"_s}
                                      << QByteArray("<3>velmario-server: The following arguments were not expected: "
                                                    "dbname=people host=db\n<3>Try 'velmario-server --help'.\n");
    }
    void commandLineErrorsAreErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, expected);
        QCOMPARE(runAsUnderSystemd(arguments), expected);
    }

    void importRefusalsAreErrors()
    {
        QTemporaryDir dir;
        const QString csv = dir.filePath(u"bad.csv"_s);
        writeFile(csv, "control_number,name,telephone\n1,Ana,1*2\n2,,3\n");
        const QString db = dir.filePath(u"x.db"_s);
        const QByteArray journal = runAsUnderSystemd({u"import"_s, csv, u"--db"_s, db});
        QCOMPARE(journal, "<3>" + csv.toLocal8Bit() + ":2: the telephone holds a \"*\"\n<3>" + csv.toLocal8Bit() +
                              ":3: the name is empty\n<3>velmario-server: 2 bad line(s): nothing imported, " +
                              db.toLocal8Bit() + " unchanged\n");
    }

    // Serving: what happens is info, the limits at work notice, failures
    // error.
    void servingLinePriorities()
    {
        QTemporaryDir dir;
        const QString db = dir.filePath(u"gone.db"_s);
        const QString status = dir.filePath(u"status"_s);
        QCOMPARE(run({u"import"_s, QStringLiteral(VELMARIO_EXAMPLE_CSV), u"--db"_s, db}).exitCode, 0);
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        const quint16 port = probe.serverPort();
        probe.close();
        const QByteArray journal = runAsUnderSystemd(
            {u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, QString::number(port), u"--allow"_s, u"127.0.0.1"_s,
             u"--db"_s, db, u"--status-file"_s, status},
            [&](QProcess& server, const QString& path) {
                QTRY_VERIFY(readFile(path).contains("started:"));
                Client denied;
                QVERIFY(denied.connect(port, u"127.0.0.2"_s));
                QVERIFY(denied.closedByServer());
                QTRY_VERIFY(readFile(path).contains("denied"));
                QVERIFY(QFile::remove(db));
                const Run reload = run({u"reload"_s, u"--pid"_s, QString::number(server.processId()),
                                        u"--status-file"_s, status});
                QCOMPARE(reload.exitCode, 3);
                server.terminate();
            });
        const QByteArray expected = "<6>velmario-server: started: serving 3 entries from " + db.toLocal8Bit() +
                                    " (held in memory, 0.0 MiB, read from the copy checked when imported) on 127.0.0.1 port " + QByteArray::number(port) + "\n"
                                    "<5>velmario-server: denied 1 connection(s) from addresses not allowed (last from "
                                    "127.0.0.2)\n"
                                    "<6>velmario-server: loading " + db.toLocal8Bit() + " again\n"
                                    "<3>velmario-server: reload failed, still serving the previous directory: " +
                                    db.toLocal8Bit() + ": no such database file\n";
        QVERIFY2(journal.contains(expected), journal.constData());
        QVERIFY2(journal.contains("<6>velmario-server: stopped\n"), journal.constData());
        for (const QByteArray& line : journal.split('\n'))
            QVERIFY2(line.isEmpty() || line.startsWith('<'), line.constData());
    }
};

QTEST_GUILESS_MAIN(TestSystemd)
#include "tst_systemd.moc"
