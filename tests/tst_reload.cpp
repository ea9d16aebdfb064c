// Reloads a script can wait on: the status the server publishes after each
// load, and "velmario-server reload" against the real server.
#include "directory.h"
#include "filesource.h"
#include "reloadstatus.h"
#include "smallfile.h"
#include "serverprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace velmario::server;
using namespace velmario::testing;
using namespace Qt::StringLiterals;

namespace {

QByteArray ask(quint16 port, const QByteArray& request)
{
    Client client;
    if (!client.connect(port))
        return "(no connection)";
    return client.ask(request);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// `count` people numbered from 50000000, and `changed` as the one reply of
// 49999999 that tells two such directories apart.
std::vector<Entry> people(std::size_t count, const std::string& changed)
{
    std::vector<Entry> entries;
    entries.reserve(count + 1);
    for (std::size_t i = 0; i < count; ++i)
        entries.push_back({std::to_string(50000000 + i), "Persona " + std::to_string(i), "961-" + std::to_string(i)});
    entries.push_back({"49999999", "Cambiante", changed});
    return entries;
}

} // namespace

class TestReload : public QObject
{
    Q_OBJECT

private slots:
    void statusFileText()
    {
        const PublishedStatus status{1234, 7, 6, false, "reload refused: /x.db: not a database\nsecond line"};
        QCOMPARE(QByteArray::fromStdString(statusText(status)),
                 QByteArray("pid=1234\nrequested=7\nanswered=6\noutcome=refused\nmessage=reload refused: /x.db: not a "
                            "database\n"));
        const auto back = parseStatus(statusText(status));
        QVERIFY(back);
        QCOMPARE(back->pid, 1234L);
        QCOMPARE(back->requested, 7U);
        QCOMPARE(back->answered, 6U);
        QCOMPARE(back->served, false);
        QCOMPARE(back->message, std::string("reload refused: /x.db: not a database"));
        const auto served = parseStatus("pid=9\nrequested=0\nanswered=0\noutcome=served\nmessage=serving 3 entries\n");
        QVERIFY(served && served->served && served->message == "serving 3 entries");
        // A message that announces a list keeps its first item.
        const PublishedStatus rows{1, 2, 2, false, "2 row(s) break the directory's rules:\n  row 1 (control number "
                                                   "\"7\"): no name\n  row 2 (control number \"8\"): no name"};
        QVERIFY(statusText(rows).find("message=2 row(s) break the directory's rules: row 1 (control number \"7\"): "
                                      "no name\n") != std::string::npos);
    }

    void statusFileRefused_data()
    {
        QTest::addColumn<QByteArray>("text");
        const QByteArray whole = "pid=9\nrequested=1\nanswered=1\noutcome=served\nmessage=m\n";
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut short") << whole.left(whole.size() - 1);
        QTest::newRow("no message") << QByteArray("pid=9\nrequested=1\nanswered=1\noutcome=served\n");
        QTest::newRow("no pid") << QByteArray("requested=1\nanswered=1\noutcome=served\nmessage=m\n");
        QTest::newRow("number with a sign") << QByteArray("pid=9\nrequested=-1\nanswered=1\noutcome=served\nmessage=m\n");
        QTest::newRow("number with text") << QByteArray("pid=9\nrequested=1x\nanswered=1\noutcome=served\nmessage=m\n");
        QTest::newRow("unknown outcome") << QByteArray("pid=9\nrequested=1\nanswered=1\noutcome=maybe\nmessage=m\n");
        QTest::newRow("line without =") << QByteArray("pid=9\nrequested=1\nanswered 1\noutcome=served\nmessage=m\n");
    }
    void statusFileRefused()
    {
        QFETCH(QByteArray, text);
        QVERIFY(!parseStatus(text.toStdString()));
    }

    // Read before the SIGHUP: requests taken; then what the file says.
    void verdict_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("answered");
        QTest::addColumn<bool>("served");
        QTest::addColumn<int>("verdict");
        QTest::newRow("not yet") << 4 << 4 << true << int(ReloadVerdict::Waiting);
        QTest::newRow("an older load") << 4 << 3 << false << int(ReloadVerdict::Waiting);
        QTest::newRow("served") << 4 << 5 << true << int(ReloadVerdict::Served);
        QTest::newRow("refused") << 4 << 5 << false << int(ReloadVerdict::Refused);
        QTest::newRow("a later one, served") << 4 << 9 << true << int(ReloadVerdict::Served);
        QTest::newRow("first") << 0 << 1 << true << int(ReloadVerdict::Served);
    }
    void verdict()
    {
        QFETCH(int, before);
        QFETCH(int, answered);
        QFETCH(bool, served);
        QFETCH(int, verdict);
        const PublishedStatus now{1, 99, std::uint64_t(answered), served, "m"};
        QCOMPARE(int(judgeReload(std::uint64_t(before), now)), verdict);
    }

    // The hooks as the sources call them, the file as a reload command
    // reads it.
    void loadsAnswerTheRequestsBeforeThem()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"status"_s);
        const QByteArray pid = QByteArray::number(::getpid());
        const auto file = [&](int requested, int answered, const char* outcome, const char* message) {
            return "pid=" + pid + "\nrequested=" + QByteArray::number(requested) + "\nanswered=" +
                   QByteArray::number(answered) + "\noutcome=" + outcome + "\nmessage=" + message + "\n";
        };
        // What systemctl status shows, as systemd is told it.
        NotifySocket notify(dir.filePath(u"notify"_s));
        QVERIFY(notify.bound());
        const Loaded sample = openDirectory("", 100);
        QCOMPARE(sample.entries, 36U);
        auto status = std::make_unique<ReloadStatus>(path.toStdString());
        status->firstServed("36 entries from the sample directory", sample.entries);
        QTRY_COMPARE(readAll(path), file(0, 0, "served", "serving 36 entries from the sample directory"));

        // A file source: begun on the loop, served there.
        status->requested();
        QTRY_COMPARE(readAll(path), file(1, 0, "served", "serving 36 entries from the sample directory"));
        status->begins();
        QVERIFY(status->snapshot().reloading);
        status->served("3 entries from /a.db", 3);
        QTRY_COMPARE(readAll(path), file(1, 1, "served", "serving 3 entries from /a.db"));

        // PostgreSQL: a load handed over answers what came before it began,
        // even when the next one has begun by the time the loop serves it.
        status->requested();
        status->begins();
        status->handedOver();
        status->requested();
        status->begins();
        status->served("7 entries from PostgreSQL", 7);
        QTRY_COMPARE(readAll(path), file(3, 2, "served", "serving 7 entries from PostgreSQL"));
        status->refused("2 row(s) break the directory's rules:\n  row 1: no name");
        QTRY_COMPARE(readAll(path), file(3, 3, "refused",
                                         "reload refused, still serving the previous directory: 2 row(s) break the "
                                         "directory's rules: row 1: no name"));
        QCOMPARE(notify.last(), "READY=1\nSTATUS=reload refused (2 row(s) break the directory's rules: row 1: no name); "
                               "serving 7 entries from PostgreSQL");
        // A source failing to reconnect with nothing asked of it refuses no
        // reload.
        status->refused("could not connect");
        status->retrying(true);

        const ReloadSnapshot s = status->snapshot();
        QCOMPARE(s.served, 2U);
        QCOMPARE(s.refused, 1U);
        QCOMPARE(s.entries, 7U);
        QVERIFY(s.loadedAt.has_value());
        QVERIFY(s.retrying);
        QVERIFY(!s.reloading);
        QTRY_COMPARE(readAll(path), file(3, 3, "refused",
                                         "reload refused, still serving the previous directory: 2 row(s) break the "
                                         "directory's rules: row 1: no name"));

        // A directory handed over reaches the loop only after the next load
        // was refused: the newer outcome stands.
        status->requested();
        status->begins();
        status->handedOver();
        status->requested();
        status->begins();
        status->refused("no rows");
        status->served("8 entries from PostgreSQL", 8);
        status->requested(); // written after all of the above
        QTRY_COMPARE(readAll(path), file(6, 5, "refused", "reload refused, still serving the previous directory: no rows"));
        QCOMPARE(status->snapshot().entries, 8U);

        status.reset(); // its end removes the file
        QVERIFY(!QFile::exists(path));
    }

    // systemctl reload's command: back once the new directory is served.
    void reloadReturnsOnceServed()
    {
        QTemporaryDir dir;
        const QString db = dir.filePath(u"directory.db"_s);
        const QString status = dir.filePath(u"status"_s);
        std::string error;
        QVERIFY2(Directory::write(db.toStdString(), people(200000, "961-000-0001"), error), error.c_str());

        // What systemd hears, on a socket of the test's.
        const QString notifyPath = dir.filePath(u"notify"_s);
        const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        notifyPath.toStdString().copy(address.sun_path, sizeof address.sun_path - 1);
        QCOMPARE(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

        ServerProcess server;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"NOTIFY_SOCKET"_s, notifyPath);
        server.process().setProcessEnvironment(env);
        QVERIFY2(server.start({u"--db"_s, db, u"--status-file"_s, status}), server.log().constData());
        QCOMPARE(ask(server.port(), "49999999"), QByteArray("Cambiante*961-000-0001"));

        const QString next = dir.filePath(u"next.db"_s);
        QVERIFY(Directory::write(next.toStdString(), people(200000, "961-000-0002"), error));
        QVERIFY(::rename(next.toLocal8Bit().constData(), db.toLocal8Bit().constData()) == 0);
        const Run reload = run({u"reload"_s, u"--pid"_s, QString::number(server.pid()), u"--status-file"_s, status});
        QCOMPARE(ask(server.port(), "49999999"), QByteArray("Cambiante*961-000-0002"));
        QCOMPARE(reload.exitCode, 0);
        QVERIFY2(reload.err.contains("reloaded: serving 200001 entries from " + db.toLocal8Bit()), reload.err.constData());

        QStringList heard;
        char buffer[1024];
        for (ssize_t n; (n = ::recv(notify, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            heard << QString::fromUtf8(buffer, n);
        ::close(notify);
        QCOMPARE(heard.size(), 3); // ready, reloading, ready
        QVERIFY2(heard[1].startsWith(u"RELOADING=1\nMONOTONIC_USEC="_s), qPrintable(heard[1]));
        QVERIFY2(heard[1].contains(u"\nSTATUS=reloading the directory; serving 200001 entries from "_s + db),
                 qPrintable(heard[1]));
        QVERIFY2(heard[2].startsWith(u"READY=1\nSTATUS=serving 200001 entries from "_s + db), qPrintable(heard[2]));

        // As ExecReload, writing to the journal the server writes to: the
        // outcome is in it once, from the server.
        const QString journal = dir.filePath(u"journal"_s);
        QVERIFY(QFile(journal).open(QIODevice::WriteOnly));
        struct stat st {};
        QCOMPARE(::stat(qPrintable(journal), &st), 0);
        QProcess again;
        QProcessEnvironment journalEnv = QProcessEnvironment::systemEnvironment();
        journalEnv.insert(u"JOURNAL_STREAM"_s, u"%1:%2"_s.arg(st.st_dev).arg(st.st_ino));
        again.setProcessEnvironment(journalEnv);
        again.setStandardErrorFile(journal);
        again.start(serverProgram(), {u"reload"_s, u"--pid"_s, QString::number(server.pid()), u"--status-file"_s, status});
        QVERIFY(again.waitForFinished(30000));
        QCOMPARE(again.exitCode(), 0);
        QFile said(journal);
        QVERIFY(said.open(QIODevice::ReadOnly));
        QCOMPARE(said.readAll(), QByteArray());
    }

    void reloadRefused_data()
    {
        QTest::addColumn<QString>("source"); // "db", "sample" or "default"
        QTest::addColumn<QByteArray>("replacement");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("damaged file") << u"db"_s << QByteArray(5000, 'x') << QByteArray("not a database");
        QTest::newRow("file gone") << u"db"_s << QByteArray() << QByteArray("directory.db: no such database file");
        QTest::newRow("the sample") << u"sample"_s << QByteArray() << QByteArray("nothing to reload");
        QTest::newRow("default not imported yet") << u"default"_s << QByteArray()
                                                  << QByteArray("directory.db: no such database file");
    }
    void reloadRefused()
    {
        QFETCH(QString, source);
        QFETCH(QByteArray, replacement);
        QFETCH(QByteArray, said);
        QTemporaryDir dir;
        const QString db = dir.filePath(u"directory.db"_s);
        const QString status = dir.filePath(u"status"_s);
        std::string error;
        QStringList args{u"--status-file"_s, status};
        QByteArray before = cp1252(u"José Peña Ibáñez*961-976-1527"_s);
        if (source == u"db"_s) {
            QVERIFY(Directory::write(db.toStdString(), people(10, "961-000-0001"), error));
            args << u"--db"_s << db;
            before = "Cambiante*961-000-0001";
        } else if (source == u"default"_s) {
            args << u"--default-db"_s << db;
        }
        ServerProcess server;
        QVERIFY2(server.start(args), server.log().constData());
        const QByteArray asked = source == u"db"_s ? "49999999" : "20230001";
        QCOMPARE(ask(server.port(), asked), before);
        if (source == u"db"_s) {
            QVERIFY(QFile::remove(db));
            if (!replacement.isEmpty())
                writeFile(db, replacement);
        }
        const Run reload = run({u"reload"_s, u"--pid"_s, QString::number(server.pid()), u"--status-file"_s, status});
        QCOMPARE(reload.exitCode, 3);
        QVERIFY2(reload.err.contains("reload: reload refused, still serving the previous directory: "), reload.err.constData());
        QVERIFY2(reload.err.contains(said), reload.err.constData());
        QCOMPARE(ask(server.port(), asked), before);
    }

    // On a fresh installation: the sample until the first import, which
    // a reload then serves.
    void firstImportServedByAReload()
    {
        QTemporaryDir dir;
        const QString db = dir.filePath(u"directory.db"_s);
        const QString status = dir.filePath(u"status"_s);
        ServerProcess server;
        QVERIFY2(server.start({u"--default-db"_s, db, u"--status-file"_s, status}), server.log().constData());
        QVERIFY2(server.log().contains("no " + db.toLocal8Bit() + " yet: serving the sample directory"),
                 server.log().constData());
        std::string error;
        QVERIFY(Directory::write(db.toStdString(), people(3, "961-000-0003"), error));
        const Run reload = run({u"reload"_s, u"--pid"_s, QString::number(server.pid()), u"--status-file"_s, status});
        QCOMPARE(reload.exitCode, 0);
        QCOMPARE(ask(server.port(), "49999999"), QByteArray("Cambiante*961-000-0003"));
        QCOMPARE(ask(server.port(), "20230001"), kNotRegistered);
    }

    // --db and --postgres come before --default-db, whether it exists or not.
    void otherSourcesComeFirst()
    {
        QTemporaryDir dir;
        const QString fallback = dir.filePath(u"default.db"_s);
        const QString mine = dir.filePath(u"mine.db"_s);
        std::string error;
        QVERIFY(Directory::write(fallback.toStdString(), people(1, "961-000-0004"), error));
        QVERIFY(Directory::write(mine.toStdString(), people(2, "961-000-0005"), error));
        ServerProcess server;
        QVERIFY2(server.start({u"--default-db"_s, fallback, u"--db"_s, mine}), server.log().constData());
        QCOMPARE(ask(server.port(), "49999999"), QByteArray("Cambiante*961-000-0005"));
        server.stop();
        ServerProcess defaulted;
        QVERIFY2(defaulted.start({u"--default-db"_s, fallback}), defaulted.log().constData());
        QCOMPARE(ask(defaulted.port(), "49999999"), QByteArray("Cambiante*961-000-0004"));
    }

    void reloadWithoutAnOutcome_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("no status file") << u"no status"_s << QByteArray("no reload status in ");
        QTest::newRow("another process's status") << u"other pid"_s << QByteArray(" is the status of process ");
        QTest::newRow("the server is gone") << u"killed"_s << QByteArray("cannot signal process ");
        QTest::newRow("no answer in time") << u"stopped"_s << QByteArray("no outcome within 1 s");
    }

    // What the server reads from a path it is given (the reload status, a
    // password): a small regular file, at once, or a refusal at once.
    void smallFilesOnly_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("read");
        QTest::addColumn<QString>("why");
        QTest::newRow("a small file") << u"file"_s << true << QString();
        QTest::newRow("an empty file") << u"empty"_s << true << QString();
        QTest::newRow("one byte too many") << u"large"_s << false << u"larger than 16 bytes"_s;
        QTest::newRow("a FIFO with no writer") << u"fifo"_s << false << u"not a regular file"_s;
        QTest::newRow("an endless device") << u"/dev/zero"_s << false << u"not a regular file"_s;
        QTest::newRow("a folder") << u"folder"_s << false << u"not a regular file"_s;
        QTest::newRow("nothing there") << u"missing"_s << false << u"No such file"_s;
    }
    void smallFilesOnly()
    {
        QFETCH(QString, kind);
        QFETCH(bool, read);
        QFETCH(QString, why);
        QTemporaryDir dir;
        QString path = dir.filePath(kind);
        if (kind == u"file"_s || kind == u"empty"_s || kind == u"large"_s) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(kind == u"file"_s ? "sixteen bytes.\n" : kind == u"large"_s ? "seventeen bytes.\n" : "");
        } else if (kind == u"fifo"_s) {
            QCOMPARE(::mkfifo(path.toLocal8Bit().constData(), 0600), 0);
        } else if (kind == u"folder"_s) {
            QVERIFY(QDir(dir.path()).mkdir(kind));
        } else if (kind.startsWith(u'/')) {
            path = kind;
        }
        SmallFile file;
        std::string error;
        QElapsedTimer took;
        took.start();
        QCOMPARE(readSmallFile(path.toStdString(), 16, file, error), read);
        QVERIFY(took.elapsed() < 1000); // never waits for a writer
        QVERIFY2(QString::fromStdString(error).contains(why), error.c_str());
        if (read)
            QCOMPARE(file.text.size(), kind == u"file"_s ? 15u : 0u);
    }

    // In a folder others may write to, a link planted where the status is
    // written first never makes the server write through it.
    void statusFileFollowsNoPlantedLink()
    {
        QTemporaryDir dir;
        const QString status = dir.filePath(u"status"_s);
        const QString victim = dir.filePath(u"victim"_s);
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep");
        file.close();
        for (const QString& planted : {status + u".new"_s, status + u".tmp"_s})
            QVERIFY(QFile::link(victim, planted));
        ServerProcess server;
        QVERIFY2(server.start({u"--status-file"_s, status}), server.log().constData());
        QTRY_VERIFY(QFile::exists(status));
        QVERIFY(!QFileInfo(status).isSymLink());
        QVERIFY(QFile(status).open(QIODevice::ReadOnly));
        QVERIFY(parseStatus(readAll(status).toStdString()));
        QCOMPARE(readAll(victim), QByteArray("keep"));
        // Nothing of the server's own is left beside it.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System).size(), 4);
    }

    // A server that ends while a reload waits on it ends the wait.
    void serverEndsDuringTheReload()
    {
        QTemporaryDir dir;
        const QString status = dir.filePath(u"status"_s);
        ServerProcess server;
        QVERIFY2(server.start({u"--status-file"_s, status}), server.log().constData());
        QTRY_VERIFY(QFile::exists(status));
        const auto pid = pid_t(server.pid());
        ::kill(pid, SIGSTOP); // takes the SIGHUP but does not answer it
        QProcess reload;
        QElapsedTimer waited;
        waited.start();
        reload.start(serverProgram(), {u"reload"_s, u"--pid"_s, QString::number(pid), u"--status-file"_s, status,
                                       u"--timeout"_s, u"30"_s});
        QVERIFY(reload.waitForStarted(5000));
        QTest::qWait(300);
        ::kill(pid, SIGKILL);
        server.process().waitForFinished(5000); // gone, not a zombie
        QVERIFY(reload.waitForFinished(10000));
        QVERIFY2(waited.elapsed() < 10000, "waited out its timeout");
        QCOMPARE(reload.exitCode(), 2);
        const QByteArray err = reload.readAllStandardError();
        QVERIFY2(err.contains("the server (process " + QByteArray::number(pid) + ") ended before the reload did"),
                 err.constData());
    }
    void reloadWithoutAnOutcome()
    {
        QFETCH(QString, how);
        QFETCH(QByteArray, said);
        QTemporaryDir dir;
        const QString status = dir.filePath(u"status"_s);
        ServerProcess server;
        QStringList args;
        if (how != u"no status"_s)
            args << u"--status-file"_s << status;
        QVERIFY2(server.start(args), server.log().constData());
        QTRY_VERIFY(how == u"no status"_s || QFile::exists(status));
        qint64 pid = server.pid();
        if (how == u"other pid"_s)
            pid = ::getpid();
        if (how == u"killed"_s) {
            ::kill(pid_t(pid), SIGKILL);
            server.process().waitForFinished(5000);
        }
        if (how == u"stopped"_s)
            ::kill(pid_t(pid), SIGSTOP);
        const Run reload = run({u"reload"_s, u"--pid"_s, QString::number(pid), u"--status-file"_s, status,
                                u"--timeout"_s, u"1"_s});
        if (how == u"stopped"_s)
            ::kill(pid_t(pid), SIGCONT);
        QCOMPARE(reload.exitCode, 2);
        QVERIFY2(reload.err.contains(said), reload.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestReload)
#include "tst_reload.moc"
