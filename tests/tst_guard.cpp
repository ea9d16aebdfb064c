// velmario-server under hostile clients and careless administrators: the
// real process on loopback, clients from several addresses of 127.0.0.0/8.
#include "serverprocess.h"

#include "csvimport.h"
#include "directory.h"

#include <QDir>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace velmario::testing;
using velmario::server::checkEntry;
using velmario::server::Directory;
using velmario::server::Entry;

namespace {


// Reads until `expected` bytes came or the server closed.
QByteArray readReplies(Client& client, qsizetype expected)
{
    QByteArray all;
    QElapsedTimer timer;
    timer.start();
    while (all.size() < expected && timer.elapsed() < 5000) {
        client.socket().waitForReadyRead(50);
        all += client.socket().readAll();
        if (client.socket().state() != QAbstractSocket::ConnectedState)
            break;
    }
    return all;
}

// A directory of `count` made-up people, written straight to a database.
// `padding` characters more in each name make a load take longer.
bool writeDirectory(const QString& path, int count, std::string& error, std::size_t padding = 0)
{
    std::vector<Entry> entries;
    const std::string pad(padding, 'x');
    for (int i = 0; i < count; ++i)
        entries.push_back({"N" + std::to_string(i), "Persona " + std::to_string(i) + pad, "555-" + std::to_string(i)});
    return Directory::write(path.toStdString(), entries, error);
}

} // namespace

class TestGuard : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

private slots:
    // --- Framing ---------------------------------------------------------

    void framing_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<bool>("closed");
        const QStringList none;
        // The framer's rules are tst_framing's tables; these rows are what
        // reaches a client through the server: pipelined replies in order,
        // the refusal and the close, and the limit the option sets.
        QTest::newRow("CR LF lines, pipelined") << none << QList<QByteArray>{"20230002\r\n 20230001 \r\n99\r\n"}
                                                << kMaria + kJose + kNotRegistered << false;
        QTest::newRow("over the limit: one reply, then the close")
            << none << QList<QByteArray>{QByteArray(300, '7')} << kInvalid << true;
        QTest::newRow("a line never ended, past the bound")
            << none << QList<QByteArray>{"1\n" + QByteArray(5000, '2')} << kNotRegistered + kInvalid << true;
        QTest::newRow("white space does not count toward the limit")
            << QStringList{u"--max-request-bytes"_s, u"8"_s} << QList<QByteArray>{"   20230001   "} << kJose << false;
        QTest::newRow("a limit past 4096 works")
            << QStringList{u"--max-request-bytes"_s, u"20000"_s}
            << QList<QByteArray>{QByteArray(19'000, '5') + '\n'} << kNotRegistered << false;
    }
    void framing()
    {
        QFETCH(QStringList, options);
        QFETCH(QList<QByteArray>, writes);
        QFETCH(QByteArray, replies);
        QFETCH(bool, closed);
        ServerProcess server;
        QVERIFY(server.start(options));
        Client client;
        QVERIFY(client.connect(server.port()));
        for (const QByteArray& bytes : writes) {
            client.socket().write(bytes);
            QVERIFY(client.socket().waitForBytesWritten(5000));
        }
        QCOMPARE(readReplies(client, replies.size()), replies);
        if (closed) {
            QCOMPARE(client.untilClosed(), std::optional(QByteArray()));
        } else {
            QCOMPARE(client.ask("20230001\n"), kJose);
        }
    }

    // --- Limits per address ----------------------------------------------

    // The per-address limit holds once the server is busy (here from 4 of
    // its 8 connections open), not before.
    void connectionsPerAddress()
    {
        ServerProcess server;
        QVERIFY(server.start({u"--max-connections-per-address"_s, u"2"_s, u"--max-connections"_s, u"8"_s}));
        Client a[5], b1;
        for (int i = 0; i < 4; ++i) {
            QVERIFY(a[i].connect(server.port(), u"127.0.0.2"_s));
            QCOMPARE(a[i].ask("20230001"), kJose);
        }
        QVERIFY(a[4].connect(server.port(), u"127.0.0.2"_s));
        QCOMPARE(a[4].untilClosed(), std::optional(kBusy));
        QVERIFY(b1.connect(server.port(), u"127.0.0.3"_s)); // another address is served
        QCOMPARE(b1.ask("20230002"), kMaria);
        QVERIFY(server.waitForLog("refused 1 connection(s): 2 connections already open from one address while the "
                                  "server is busy (last from 127.0.0.2)"));
        // Once the server is no longer busy, the address is served again.
        a[0].socket().disconnectFromHost();
        a[1].socket().disconnectFromHost();
        const auto servedAgain = [&] {
            Client again;
            return again.connect(server.port(), u"127.0.0.2"_s) && again.ask("20230002", 500) == kMaria;
        };
        QVERIFY(QTest::qWaitFor(servedAgain, 5000));
    }

    void allowedNetworks_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<bool>("served");
        QTest::newRow("one address allowed") << u"127.0.0.2"_s << true;
        QTest::newRow("its neighbour") << u"127.0.0.3"_s << false;
        QTest::newRow("inside a /29") << u"127.0.0.13"_s << true;
        QTest::newRow("past the /29") << u"127.0.0.16"_s << false;
    }
    void allowedNetworks()
    {
        QFETCH(QString, from);
        QFETCH(bool, served);
        ServerProcess server;
        QVERIFY(server.start({u"--allow"_s, u"127.0.0.2"_s, u"--allow"_s, u"127.0.0.8/29"_s}));
        Client client;
        QVERIFY(client.connect(server.port(), from));
        if (served) {
            QCOMPARE(client.ask("20230001"), kJose);
        } else {
            QCOMPARE(client.untilClosed(), std::optional(QByteArray()));
            QVERIFY(server.waitForLog(qPrintable(u"denied 1 connection(s) from addresses not allowed (last from %1)"_s.arg(from))));
        }
    }

    void rateLimitPerAddress()
    {
        ServerProcess server;
        QVERIFY(server.start({u"--rate-limit"_s, u"1"_s, u"--rate-burst"_s, u"3"_s}));
        Client a, b;
        QVERIFY(a.connect(server.port(), u"127.0.0.4"_s));
        QVERIFY(b.connect(server.port(), u"127.0.0.5"_s));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(a.ask("20230001"), kJose);
        QCOMPARE(a.ask("20230001"), kTooMany);
        QCOMPARE(b.ask("20230002"), kMaria); // its own allowance
        // A new connection does not renew the allowance, and the refused
        // client stays connected until its allowance grows back.
        Client again;
        QVERIFY(again.connect(server.port(), u"127.0.0.4"_s));
        QCOMPARE(again.ask("20230001"), kTooMany);
        QVERIFY(server.waitForLog("over the limit of 1 per second (last from 127.0.0.4)"));
        QVERIFY(QTest::qWaitFor([&] { return a.ask("20230001", 300) == kJose; }, 5000));
    }

    // The allowance belongs to the address, not to its connections: closing
    // them all and coming back, at once or while it grows back (the server
    // forgets an address only once its allowance is whole), renews nothing.
    void allowanceOutlivesItsConnections()
    {
        ServerProcess server;
        QVERIFY(server.start({u"--rate-limit"_s, u"1"_s, u"--rate-burst"_s, u"5"_s}));
        const auto lookups = [&] {
            Client client;
            if (!client.connect(server.port(), u"127.0.0.14"_s))
                return -1;
            int granted = 0;
            while (granted < 10 && client.ask("20230001") == kJose)
                ++granted;
            return granted;
        };
        QCOMPARE(lookups(), 5);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(lookups(), 0);
        // Past at least one of the server's once-a-second sweeps.
        QTest::qWait(1500);
        const int grown = lookups();
        QVERIFY2(grown >= 1 && grown <= timer.elapsed() / 1000 + 1, qPrintable(QString::number(grown)));
    }

    void whiteSpaceKeepsNothingAlive()
    {
        ServerProcess server;
        QVERIFY(server.start({u"--idle-timeout"_s, u"1"_s}));
        Client client;
        QVERIFY(client.connect(server.port()));
        QCOMPARE(client.ask("20230001"), kJose);
        QElapsedTimer timer;
        timer.start();
        while (client.socket().state() == QAbstractSocket::ConnectedState && timer.elapsed() < 5000) {
            client.socket().write(" ");
            client.socket().waitForReadyRead(200);
        }
        QCOMPARE(client.socket().state(), QAbstractSocket::UnconnectedState);
    }

    // --- Signals, the log and the statistics ------------------------------

    void signalsWhileLoading_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM exits 0") << int(SIGTERM);
        QTest::newRow("SIGHUP loads again once serving") << int(SIGHUP);
    }
    void signalsWhileLoading()
    {
        QFETCH(int, signal);
        const QString db = path("large.db");
        std::string error;
        if (!QFile::exists(db))
            QVERIFY2(writeDirectory(db, 300'000, error, 180), error.c_str()); // a load of a second or so
        ServerProcess server;
        QProcess& process = server.process();
        process.setProgram(serverProgram());
        process.setArguments({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s, u"--db"_s, db});
        process.start();
        QVERIFY(process.waitForStarted(5000));
        QVERIFY(server.waitForLog("loading"));
        ::kill(pid_t(process.processId()), signal);
        if (signal == SIGTERM) {
            QVERIFY(process.waitForFinished(5000));
            QCOMPARE(process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(process.exitCode(), 0);
        } else {
            QVERIFY(server.waitForLog("started:", 20000));
            QVERIFY2(server.waitForLog("SIGHUP came while loading: loading again"), server.log().constData());
            QVERIFY(server.waitForLog("reloaded: serving 300000 entries", 20000));
        }
    }

    // With standard error going to a pipe nobody reads, the server keeps
    // answering however much it has to log.
    void stalledLogDoesNotStopServing()
    {
        int pipeFds[2];
        QVERIFY(::pipe(pipeFds) == 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close();
        const QByteArray program = serverProgram().toLocal8Bit();
        const QByteArray portText = QByteArray::number(port);
        char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("--listen"),
                        const_cast<char*>("127.0.0.1"), const_cast<char*>("--port"),
                        const_cast<char*>(portText.constData()), nullptr};
        pid_t pid = 0;
        QCOMPARE(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        const auto cleanup = qScopeGuard([&] {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            ::close(pipeFds[0]);
        });
        Client client;
        QTRY_VERIFY_WITH_TIMEOUT(client.connect(port), 5000);
        // Each SIGUSR1 logs a line of about 170 bytes: 2000 of them are five
        // times what the pipe holds.
        for (int i = 0; i < 2000; ++i) {
            ::kill(pid, SIGUSR1);
            ::usleep(100);
        }
        QCOMPARE(client.ask("20230001"), kJose);
    }

    void statisticsOnSigusr1()
    {
        ServerProcess server;
        QVERIFY(server.start({u"--rate-limit"_s, u"1"_s, u"--rate-burst"_s, u"2"_s}));
        Client client;
        QVERIFY(client.connect(server.port(), u"127.0.0.6"_s));
        QCOMPARE(client.ask("20230001"), kJose);
        QCOMPARE(client.ask("77"), kNotRegistered);
        QCOMPARE(client.ask("20230001"), kTooMany);
        ::kill(pid_t(server.pid()), SIGUSR1);
        QVERIFY2(server.waitForLog("stats: 3 lookups (1 found, 1 not found, 0 invalid, 0 failed), 1 rate-limited, "
                                   "0 denied, 0 refused for limits, 0 clients dropped, 1 connections now; 1 accepted, "
                                   "refused 0 at the limit, 0 per address, 0 out of descriptors, 0 displaced, 0 paused "
                                   "for unread replies"),
                 server.log().constData());
    }

    // --- The directory ---------------------------------------------------

    // A table made by hand without its key may hold a number twice: refused
    // whether its replies are held in memory or looked up in the file.
    void repeatedNumberIsRefused()
    {
        const QString db = path("repeated.db");
        QFile::remove(db);
        sqlite3* handle = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(db).constData(), &handle), SQLITE_OK);
        const int rc = sqlite3_exec(handle,
                                    "CREATE TABLE directory (control_number TEXT NOT NULL, name TEXT NOT NULL, "
                                    "telephone TEXT NOT NULL);"
                                    "INSERT INTO directory VALUES ('A1', 'Uno', '1'), ('R7', 'Primera', '2'), "
                                    "('R7', 'Segunda', '3'), ('Z9', 'Ultima', '4');",
                                    nullptr, nullptr, nullptr);
        sqlite3_close(handle);
        QCOMPARE(rc, SQLITE_OK);
        for (const QString& memory : {u"100"_s, u"0"_s}) {
            const Run result = run({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s, u"--db"_s, db,
                                    u"--max-memory-entries"_s, memory});
            QCOMPARE(result.exitCode, 3);
            QVERIFY2(result.err.contains("\"R7\" breaks the directory's rules: the control number appears more than once"),
                     result.err.constData());
        }
    }

    void databaseBreakingTheRulesIsRefused_data()
    {
        QTest::addColumn<QByteArray>("number");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("telephone");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("star in a telephone") << QByteArray("B1") << QByteArray("Ana") << QByteArray("1*2")
                                             << QByteArray("\"B1\" breaks the directory's rules: the telephone holds a \"*\"");
        QTest::newRow("line break in a name") << QByteArray("B2") << QByteArray("An\na") << QByteArray("1")
                                              << QByteArray("the name holds a control character");
        QTest::newRow("NUL in a number") << QByteArray("B\0003", 3) << QByteArray("Ana") << QByteArray("1")
                                         << QByteArray("\"B\\x003\" breaks");
        QTest::newRow("empty telephone") << QByteArray("B4") << QByteArray("Ana") << QByteArray()
                                         << QByteArray("the telephone is empty");
    }
    void databaseBreakingTheRulesIsRefused()
    {
        QFETCH(QByteArray, number);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, telephone);
        QFETCH(QByteArray, message);
        const QString bad = path("bad.db");
        std::string error;
        QVERIFY2(Directory::write(bad.toStdString(), {{"A1", "Bien", "1"}, {number.toStdString(), name.toStdString(),
                                                                            telephone.toStdString()}},
                                  error),
                 error.c_str());
        for (const QString& memory : {u"100"_s, u"0"_s}) {
            const Run result = run({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s, u"--db"_s, bad,
                                    u"--max-memory-entries"_s, memory});
            QCOMPARE(result.exitCode, 3); // rejected: starting again will not mend it
            QVERIFY2(result.err.contains(message), result.err.constData());
        }
        // On reload the old directory keeps serving.
        const QString good = path("good.db");
        QVERIFY(Directory::write(good.toStdString(), {{"A1", "Bien", "1"}}, error));
        ServerProcess server;
        QVERIFY(server.start({u"--db"_s, good}));
        QVERIFY(QFile::remove(good) && QFile::copy(bad, good));
        ::kill(pid_t(server.pid()), SIGHUP);
        QVERIFY(server.waitForLog("reload failed, still serving the previous directory"));
        Client client;
        QVERIFY(client.connect(server.port()));
        QCOMPARE(client.ask("A1"), QByteArray("Bien*1"));
    }

    // The served file truncated or shrunk in place, with replies held in
    // memory and looked up in the file: the server lives on and says so.
    void fileChangedUnderTheServer_data()
    {
        QTest::addColumn<QString>("memory");
        QTest::newRow("held in memory, then a reload") << u"5000000"_s;
        QTest::newRow("looked up in the file") << u"0"_s;
    }
    void fileChangedUnderTheServer()
    {
        QFETCH(QString, memory);
        const QString db = path("changing.db");
        std::string error;
        QFile::remove(db);
        QVERIFY2(writeDirectory(db, 50'000, error), error.c_str());
        ServerProcess server;
        QVERIFY(server.start({u"--db"_s, db, u"--max-memory-entries"_s, memory}));
        QFile file(db);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.resize(file.size() / 3));
        file.close();
        ::kill(pid_t(server.pid()), SIGHUP);
        Client client;
        QVERIFY(client.connect(server.port()));
        for (int i = 0; i < 50'000; i += 997) {
            const QByteArray reply = client.ask("N" + QByteArray::number(i));
            const QByteArray expected = "Persona " + QByteArray::number(i) + "*555-" + QByteArray::number(i);
            QVERIFY2(reply == expected || reply == kServerError, reply.constData());
        }
        QVERIFY(server.waitForLog("reload failed, still serving the previous directory"));
        QCOMPARE(server.process().state(), QProcess::Running);
    }

    // A checked copy written to while the server looks replies up in it:
    // those lookups fail, never giving bytes that were not checked, and the
    // server loads and checks the database again by itself.
    void copyWrittenToWhileServed()
    {
        const QString csv = path("served.csv");
        const QString db = path("served.db");
        writeFile(csv, "control_number,name,telephone\n1,Uno,111\n2,Dos,222\n");
        QCOMPARE(run({u"import"_s, csv, u"--db"_s, db}).exitCode, 0);
        ServerProcess server;
        QVERIFY(server.start({u"--db"_s, db, u"--max-memory-entries"_s, u"0"_s}));
        Client client;
        QVERIFY(client.connect(server.port()));
        QCOMPARE(client.ask("1\n"), QByteArray("Uno*111"));
        QFile copy(db + u"-replies"_s);
        QVERIFY(copy.open(QIODevice::ReadWrite));
        QVERIFY(copy.seek(copy.size() - 20));
        QVERIFY(copy.write("XXXX") == 4);
        copy.close();
        QCOMPARE(client.ask("2\n"), kServerError);
        QVERIFY2(server.waitForLog("reloaded: serving 2 entries"), server.log().constData());
        QCOMPARE(client.ask("2\n"), QByteArray("Dos*222"));
    }

    // Lengths are counted in characters: "ñ" is two bytes of UTF-8 but one
    // character.
    void entryLimitsCountCharacters_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("telephone");
        QTest::addColumn<QByteArray>("why");
        QTest::newRow("200 letters ñ") << u"A1"_s << QString(200, u'ñ') << u"1"_s << QByteArray();
        QTest::newRow("201 letters ñ") << u"A1"_s << QString(201, u'ñ') << u"1"_s
                                        << QByteArray("the name is longer than 200 characters");
        QTest::newRow("64 in a number") << QString(64, u'é') << u"Ana"_s << u"1"_s << QByteArray();
        QTest::newRow("65 in a number") << QString(65, u'é') << u"Ana"_s << u"1"_s
                                         << QByteArray("the control number is longer than 64 characters");
        QTest::newRow("64 in a telephone") << u"A1"_s << u"Ana"_s << QString(64, u'º') << QByteArray();
        QTest::newRow("65 in a telephone") << u"A1"_s << u"Ana"_s << QString(65, u'º')
                                            << QByteArray("the telephone is longer than 64 characters");
    }
    void entryLimitsCountCharacters()
    {
        QFETCH(QString, number);
        QFETCH(QString, name);
        QFETCH(QString, telephone);
        QFETCH(QByteArray, why);
        const std::string got = checkEntry({number.toStdString(), name.toStdString(), telephone.toStdString()});
        QCOMPARE(QByteArray::fromStdString(got), why);
    }

    void importRefusals_data()
    {
        QTest::addColumn<QByteArray>("csv");
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("exported");
        const QByteArray old = "control_number,name,telephone\r\nV1,Vieja,1\r\n";
        QTest::newRow("no entries") << QByteArray("control_number,name,telephone\n") << QStringList{} << 3 << old;
        QTest::newRow("no entries, allowed") << QByteArray("control_number,name,telephone\n")
                                             << QStringList{u"--allow-empty"_s} << 0
                                             << QByteArray("control_number,name,telephone\r\n");
        QTest::newRow("duplicate, named with its first line")
            << QByteArray("control_number,name,telephone\nD1,Uno,1\nD2,Dos,2\nD1,Otro,3\n") << QStringList{} << 3 << old;
    }
    void importRefusals()
    {
        QFETCH(QByteArray, csv);
        QFETCH(QStringList, extra);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, exported);
        const QString db = path("refusals.db");
        writeFile(path("old.csv"), "control_number,name,telephone\nV1,Vieja,1\n");
        QCOMPARE(run({u"import"_s, path("old.csv"), u"--db"_s, db}).exitCode, 0);
        writeFile(path("new.csv"), csv);
        const Run result = run(QStringList{u"import"_s, path("new.csv"), u"--db"_s, db} + extra);
        QCOMPARE(result.exitCode, exitCode);
        if (QTest::currentDataTag() == QByteArray("duplicate, named with its first line"))
            QVERIFY2(result.err.contains("new.csv:4: control number D1 already appears on line 2"), result.err.constData());
        QCOMPARE(run({u"export"_s, u"--db"_s, db}).out, exported);
        QCOMPARE(QDir(dir.path()).entryList({u".refusals.db.new-*"_s}, QDir::Hidden | QDir::Files), QStringList());
    }

    // Two imports into one database at once: one waits for the other, so
    // the copy left beside the database is always that database's.
    void importsAtOnceTakeTurns()
    {
        const QString db = path("turns.db");
        for (const char tag : {'A', 'B'}) {
            QByteArray csv = "control_number,name,telephone\n";
            for (int i = 0; i < 100'000; ++i)
                csv += "T" + QByteArray::number(i) + ",Persona " + tag + QByteArray::number(i) + ",555\n";
            writeFile(path(tag == 'A' ? "turns-A.csv" : "turns-B.csv"), csv);
        }
        for (int round = 0; round < 3; ++round) {
            QProcess imports[2];
            for (int i = 0; i < 2; ++i)
                imports[i].start(serverProgram(), {u"import"_s, path(i ? "turns-B.csv" : "turns-A.csv"), u"--db"_s, db});
            QByteArray said;
            for (QProcess& import : imports) {
                QVERIFY(import.waitForFinished(60000));
                QCOMPARE(import.exitCode(), 0);
                said += import.readAllStandardError();
            }
            QVERIFY2(said.contains("waiting for another import into "), said.constData());
            ServerProcess server;
            QVERIFY(server.start({u"--db"_s, db}));
            QVERIFY2(server.log().contains("read from the copy checked when imported"), server.log().constData());
        }
    }

    void interruptedImportLeavesNothing()
    {
        const QString db = path("interrupted.db");
        writeFile(path("one.csv"), "control_number,name,telephone\nV1,Vieja,1\n");
        QCOMPARE(run({u"import"_s, path("one.csv"), u"--db"_s, db}).exitCode, 0);
        // What a killed import left behind is cleared by the next one: its
        // database, and its copy where it had to be written under a name.
        writeFile(path(".interrupted.db.new-Ab12Cd"), "half a database");
        writeFile(path("interrupted.db-replies.new-Ef34Gh"), "half a copy");

        QByteArray big = "control_number,name,telephone\n";
        for (int i = 0; i < 1'000'000; ++i)
            big += "G" + QByteArray::number(i) + ",Gran Persona " + QByteArray::number(i) + ",555\n";
        writeFile(path("big.csv"), big);
        QProcess import;
        import.start(serverProgram(), {u"import"_s, path("big.csv"), u"--db"_s, db});
        QVERIFY(import.waitForStarted(5000));
        const QStringList pattern{u".interrupted.db.new-*"_s};
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(dir.path()).entryList(pattern, QDir::Hidden | QDir::Files).contains(
                                     u".interrupted.db.new-Ab12Cd"_s),
                                 10000);
        QVERIFY(!QFile::exists(path("interrupted.db-replies.new-Ef34Gh")));
        ::kill(pid_t(import.processId()), SIGTERM);
        QVERIFY(import.waitForFinished(10000));
        if (import.exitStatus() == QProcess::NormalExit && import.exitCode() == 0)
            QSKIP("the import finished before it could be stopped");
        QCOMPARE(import.exitStatus(), QProcess::CrashExit); // ended by its signal, as it should
        QVERIFY2(import.readAllStandardError().contains("import stopped by SIGTERM"), "no word of the stop");
        QCOMPARE(QDir(dir.path()).entryList(pattern, QDir::Hidden | QDir::Files), QStringList());
        QCOMPARE(run({u"export"_s, u"--db"_s, db}).out, QByteArray("control_number,name,telephone\r\nV1,Vieja,1\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestGuard)
#include "tst_guard.moc"
