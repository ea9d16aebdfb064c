// What the server tells systemd, read from a notification socket the test
// binds, and the lines it writes for the journal.
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
        const std::string path = dir.filePath(QStringLiteral("notify")).toStdString();
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
        const auto received = [fd] {
            char buffer[256];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            return n < 0 ? std::string("(nothing)") : std::string(buffer, std::size_t(n));
        };

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
        ::close(fd);

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
};

QTEST_GUILESS_MAIN(TestSystemd)
#include "tst_systemd.moc"
