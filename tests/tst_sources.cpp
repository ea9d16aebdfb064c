// Where the directory comes from, without a socket or a clock: when loads
// run (the reload schedule), PostgreSQL's COPY rows, a CSV read in blocks
// with its bounds, and what an import says of a file it cannot read.
#include "csvimport.h"
#include "directory.h"
#include "pgcopy.h"
#include "reloadschedule.h"
#include "serverprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace velmario::server;
using namespace velmario::testing;

namespace {

using TimePoint = ReloadSchedule::Clock::time_point;
TimePoint at(std::chrono::milliseconds ms)
{
    return TimePoint() + ms;
}

// A CSV handed over a few bytes at a time, as a slow file or pipe might.
class Trickle final : public CsvInput
{
public:
    Trickle(std::string_view text, std::size_t step) : m_text(text), m_step(step) {}
    std::string_view more() override
    {
        const std::string_view block = m_text.substr(0, m_step);
        m_text.remove_prefix(block.size());
        return block;
    }

private:
    std::string_view m_text;
    std::size_t m_step;
};

struct CsvRead {
    QStringList entries;  // "number|name|telephone"
    QStringList problems; // "line: message"
};

CsvRead readCsv(CsvInput& input)
{
    CsvRead read;
    const auto problems = readDirectoryCsv(input, [&](Entry&& e, std::size_t, std::string&) {
        read.entries << QString::fromStdString(e.controlNumber + "|" + e.name + "|" + e.telephone);
        return true;
    });
    for (const CsvProblem& p : problems)
        read.problems << QString::number(p.line) + u": "_s + QString::fromStdString(p.message);
    return read;
}

} // namespace

class TestSources : public QObject
{
    Q_OBJECT

private slots:
    // A storm of reasons makes one load now and one more after the gap: the
    // reasons that came while the first ran may concern data it missed.
    void reasonsFoldIntoOneWaitingLoad()
    {
        ReloadSchedule schedule;
        for (int i = 0; i < 10000; ++i)
            schedule.request();
        QVERIFY(schedule.dueBy(at(0ms)));
        schedule.started(at(0ms));
        QVERIFY(!schedule.due()); // one runs: none may start
        for (int i = 0; i < 10000; ++i)
            schedule.request();
        QVERIFY(!schedule.due());
        schedule.finished();
        QVERIFY(schedule.waiting());
        QVERIFY(!schedule.dueBy(at(999ms)));
        QVERIFY(schedule.dueBy(at(1000ms)));
        schedule.started(at(1000ms));
        schedule.finished();
        QVERIFY(!schedule.waiting());
        QVERIFY(!schedule.due());
    }

    // A reason that came before a load started is that load's own.
    void reasonBeforeTheStartIsServedByIt()
    {
        ReloadSchedule schedule;
        schedule.request();
        schedule.started(at(0ms));
        schedule.finished();
        QVERIFY(!schedule.waiting());
        // Long after the gap, a new reason starts a load at once.
        schedule.request();
        QCOMPARE(*schedule.due(), at(1000ms));
        QVERIFY(schedule.dueBy(at(5000ms)));
    }

    // A source that refused this server (a wrong password) is asked again
    // no sooner than 20 s later, whatever asks meanwhile: at most 3 binds a
    // minute, so that no account is locked by the server's retries.
    void refusedSourceIsAskedThriceAMinute()
    {
        ReloadSchedule schedule;
        auto now = at(0ms);
        int loads = 0;
        for (; now < at(60'000ms); now += 100ms) {
            schedule.request(); // a refresh, a NOTIFY, a SIGHUP: every 100 ms
            if (schedule.dueBy(now)) {
                schedule.started(now);
                schedule.denied(now + 50ms);
                ++loads;
            }
        }
        QCOMPARE(loads, 3);
        // Once the source takes the server again, the gap goes.
        now += 1000ms;
        QVERIFY(schedule.dueBy(now));
        schedule.started(now);
        schedule.finished();
        schedule.request();
        QVERIFY(schedule.dueBy(now + 1000ms));
    }

    void unreachableSourceBacksOff_data()
    {
        QTest::addColumn<int>("failures");
        QTest::addColumn<int>("waitMs"); // after the last failure
        QTest::newRow("first failure") << 1 << 1000;
        QTest::newRow("second") << 2 << 2000;
        QTest::newRow("fifth") << 5 << 16000;
        QTest::newRow("sixth: capped") << 6 << 30000;
        QTest::newRow("tenth: still capped") << 10 << 30000;
    }
    void unreachableSourceBacksOff()
    {
        QFETCH(int, failures);
        QFETCH(int, waitMs);
        ReloadSchedule schedule;
        schedule.request();
        auto now = at(0ms);
        std::chrono::milliseconds lastWait{};
        for (int i = 0; i < failures; ++i) {
            QVERIFY(schedule.dueBy(now));
            schedule.started(now);
            now += 10ms;
            schedule.unreachable(now);
            QVERIFY(schedule.waiting()); // tried again without being asked
            lastWait = std::chrono::duration_cast<std::chrono::milliseconds>(*schedule.due() - now);
            QVERIFY(!schedule.dueBy(now + lastWait - 1ms));
            now += lastWait;
        }
        QCOMPARE(lastWait.count(), waitMs);
        // Once it is back, a new reason waits only for the gap.
        schedule.started(now);
        schedule.finished();
        schedule.request();
        QCOMPARE(*schedule.due(), now + 1000ms);
        schedule.started(now + 1000ms);
        schedule.unreachable(now + 1000ms);
        QCOMPARE(*schedule.due(), now + 2000ms); // the backoff starts over
    }

    void copyRows_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("columns");
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("three plain fields") << QByteArray("7\tAna\t961\n") << 3 << QStringList{u"7"_s, u"Ana"_s, u"961"_s};
        QTest::newRow("NULL reads as empty") << QByteArray("7\t\\N\t961") << 3 << QStringList{u"7"_s, u""_s, u"961"_s};
        QTest::newRow("an escaped backslash before N is text")
            << QByteArray("7\t\\\\N\t961") << 3 << QStringList{u"7"_s, u"\\N"_s, u"961"_s};
        QTest::newRow("escapes") << QByteArray("7\ta\\tb\\nc\\\\\t\\x41\\101\\7")
                                 << 3 << QStringList{u"7"_s, u"a\tb\nc\\"_s, u"AA\a"_s};
        QTest::newRow("UTF-8 passes through")
            << QByteArray("7\tPe\xc3\xb1" "a \xc5\x92\t1") << 3 << QStringList{u"7"_s, u"Peña Œ"_s, u"1"_s};
        QTest::newRow("four columns") << QByteArray("7\tAna\t961\textra") << 4 << QStringList{u"7"_s, u"Ana"_s, u"961"_s};
        QTest::newRow("two columns") << QByteArray("7\tAna") << 2 << QStringList{u"7"_s, u"Ana"_s, u""_s};
        QTest::newRow("empty last field") << QByteArray("7\tAna\t") << 3 << QStringList{u"7"_s, u"Ana"_s, u""_s};
    }
    void copyRows()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, columns);
        QFETCH(QStringList, fields);
        std::array<std::string, 3> parsed;
        QCOMPARE(int(parseCopyRow(std::string_view(line.constData(), std::size_t(line.size())), parsed)), columns);
        QStringList got;
        for (std::size_t i = 0; i < std::size_t(std::min<qsizetype>(fields.size(), 3)); ++i)
            got << QString::fromStdString(parsed[i]);
        QCOMPARE(got, fields);
    }

    void queryAsSubquery_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("subquery");
        QTest::newRow("plain") << u"SELECT a, b, c FROM t"_s << u"(SELECT a, b, c FROM t\n)"_s;
        QTest::newRow("semicolons and white space") << u"SELECT 1 ;; \n"_s << u"(SELECT 1\n)"_s;
        QTest::newRow("a trailing comment") << u"SELECT a FROM t -- the people"_s << u"(SELECT a FROM t -- the people\n)"_s;
    }
    void queryAsSubquery()
    {
        QFETCH(QString, query);
        QFETCH(QString, subquery);
        QCOMPARE(QString::fromStdString(velmario::server::subquery(query.toStdString())), subquery);
    }

    // However the bytes arrive, the same records come out.
    void csvInBlocks_data()
    {
        QTest::addColumn<int>("step");
        for (int step : {1, 2, 3, 7, 64, 1 << 20})
            QTest::newRow(qPrintable(u"%1 byte(s) a block"_s.arg(step))) << step;
    }
    void csvInBlocks()
    {
        QFETCH(int, step);
        const std::string csv = "\xEF\xBB\xBF" "control_number,name,telephone\r\n"
                                "1,\"Peña, José\",961\r\n"
                                "\n"
                                "2,\"Dos\nLíneas\",\"9\"\"6\"\r\n"
                                "3,Tres,\"1\"x\n"
                                "4,Cuatro,44";
        Trickle input(csv, std::size_t(step));
        const CsvRead read = readCsv(input);
        QCOMPARE(read.entries, (QStringList{u"1|Peña, José|961"_s, u"4|Cuatro|44"_s}));
        QCOMPARE(read.problems, (QStringList{u"4: the name holds a control character"_s,
                                             u"6: text after a closing quote"_s}));
    }

    // Past its bounds the input is not read further, line ends or not.
    void csvBounds_data()
    {
        QTest::addColumn<QByteArray>("csv");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("problem");
        const QByteArray header = "control_number,name,telephone\n";
        const QByteArray longest = QByteArray(int(kMaxFieldBytes), 'n');
        QTest::newRow("a field of the largest size is read")
            << header + "1," + longest + ",2\n" << QStringList{} << u"2: the name is longer than 200 characters"_s;
        QTest::newRow("one byte more ends the reading")
            << header + "1," + longest + "n,2\n3,Tres,3\n" << QStringList{}
            << u"2: a field is longer than 1056 bytes: the rest of the file is not read"_s;
        QTest::newRow("a quoted field never closed")
            << header + "1,\"" + QByteArray(5000, 'q') << QStringList{}
            << u"2: a field is longer than 1056 bytes: the rest of the file is not read"_s;
        QTest::newRow("no line end at all") << QByteArray(100000, '\0') << QStringList{}
                                            << u"1: a field is longer than 1056 bytes: the rest of the file is not read"_s;
        QTest::newRow("16 fields are a line") << header + "5,Cinco,5\n" + QByteArray(15, ',') + "\n"
                                              << QStringList{u"5|Cinco|5"_s} << u"3: expected 3 fields, found 16"_s;
        QTest::newRow("17 are not") << header + "5,Cinco,5\n" + QByteArray(16, ',') + "\n6,Seis,6\n"
                                    << QStringList{u"5|Cinco|5"_s}
                                    << u"3: a line has more than 16 fields: the rest of the file is not read"_s;
        QTest::newRow("endless fields") << header + "5,Cinco,5\n" + QByteArray(100000, ',') << QStringList{u"5|Cinco|5"_s}
                                        << u"3: a line has more than 16 fields: the rest of the file is not read"_s;
        QTest::newRow("a stray CR then an endless line")
            << header + "6,Se\ris" + QByteArray(5000, 'x') << QStringList{}
            << u"2: a line is longer than 1056 bytes: the rest of the file is not read"_s;
    }
    void csvBounds()
    {
        QFETCH(QByteArray, csv);
        QFETCH(QStringList, entries);
        QFETCH(QString, problem);
        Trickle input(std::string_view(csv.constData(), std::size_t(csv.size())), 4096);
        const CsvRead read = readCsv(input);
        QCOMPARE(read.entries, entries);
        QCOMPARE(read.problems, QStringList{problem});
    }

    // An import of a huge file without line ends stays small: it is refused
    // at its first field, under an address-space limit that reading it
    // whole would break.
    void importOfEndlessInputIsRefusedSmall()
    {
        QTemporaryDir dir;
        const QString csv = dir.filePath(u"zeros.csv"_s);
        {
            QFile file(csv);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(qint64(400) << 20)); // sparse: 400 MiB of NULs
        }
        QProcess import;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) // sanitizers reserve terabytes of address space
        import.setChildProcessModifier([] {
            const rlimit limit{512ull << 20, 512ull << 20};
            ::setrlimit(RLIMIT_AS, &limit);
        });
#endif
        import.start(serverProgram(), {u"import"_s, csv, u"--db"_s, dir.filePath(u"z.db"_s)});
        QVERIFY(import.waitForFinished(60000));
        const QByteArray err = import.readAllStandardError();
        QCOMPARE(import.exitCode(), 3);
        QVERIFY2(err.contains("zeros.csv:1: a field is longer than 1056 bytes"), err.constData());
        QVERIFY(!QFile::exists(dir.filePath(u"z.db"_s)));
    }

    // A SIGHUP while a reload runs, after the file changed again, loads
    // once more: the running load may have read the file before the change.
    void sighupDuringAReloadIsNotLost()
    {
        QTemporaryDir dir;
        const auto import = [&](const QString& name, const QByteArray& k1Reply, int others) {
            QByteArray csv = "control_number,name,telephone\n";
            csv += "K1," + k1Reply + "\n";
            for (int i = 0; i < others; ++i)
                csv += "G" + QByteArray::number(i) + ",Persona " + QByteArray::number(i) + ",555\n";
            writeFile(dir.filePath(name + u".csv"_s), csv);
            return run({u"import"_s, dir.filePath(name + u".csv"_s), u"--db"_s, dir.filePath(name + u".db"_s)}).exitCode;
        };
        QCOMPARE(import(u"served"_s, "Vieja,0", 0), 0);
        QCOMPARE(import(u"large"_s, "Grande,1", 600'000), 0); // a load that takes a while
        QCOMPARE(import(u"small"_s, "Nueva,2", 0), 0);
        const QString served = dir.filePath(u"served.db"_s);
        ServerProcess server;
        QVERIFY2(server.start({u"--db"_s, served}), server.log().constData());
        QVERIFY(::rename(qPrintable(dir.filePath(u"large.db"_s)), qPrintable(served)) == 0);
        ::kill(pid_t(server.pid()), SIGHUP);
        QVERIFY(server.waitForLog(" again"));
        QVERIFY(::rename(qPrintable(dir.filePath(u"small.db"_s)), qPrintable(served)) == 0);
        ::kill(pid_t(server.pid()), SIGHUP);
        QVERIFY(server.waitForLog("reloaded: serving 1 entries", 20000));
        // The first load read the large file: the second SIGHUP came while it ran.
        const QByteArray log = server.log();
        QVERIFY2(log.indexOf("reloaded: serving 600001 entries") >= 0
                     && log.indexOf("reloaded: serving 600001 entries") < log.indexOf("reloaded: serving 1 entries"),
                 log.constData());
        Client client;
        QVERIFY(client.connect(server.port()));
        QCOMPARE(client.ask("K1"), QByteArray("Nueva*2"));
    }

    // SIGTERM stops an import within a block of its reading, however much
    // of the file is left: the new file goes, the old database stays.
    void importStopsAtOnce()
    {
        QTemporaryDir dir;
        const QString db = dir.filePath(u"people.db"_s);
        writeFile(dir.filePath(u"one.csv"_s), "control_number,name,telephone\nV1,Vieja,1\n");
        QCOMPARE(run({u"import"_s, dir.filePath(u"one.csv"_s), u"--db"_s, db}).exitCode, 0);
        {
            QFile csv(dir.filePath(u"big.csv"_s));
            QVERIFY(csv.open(QIODevice::WriteOnly));
            csv.write("control_number,name,telephone\n");
            QByteArray block;
            for (int i = 0; i < 4'000'000; ++i) {
                block += "G" + QByteArray::number(i) + ",Gran Persona " + QByteArray::number(i) + ",555\n";
                if (block.size() > (1 << 20)) {
                    csv.write(block);
                    block.clear();
                }
            }
            csv.write(block);
        }
        QProcess import;
        import.start(serverProgram(), {u"import"_s, dir.filePath(u"big.csv"_s), u"--db"_s, db});
        QVERIFY(import.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(dir.path()).entryList({u".people.db.new-*"_s}, QDir::Hidden | QDir::Files).isEmpty(),
                                 10000);
        QElapsedTimer timer;
        timer.start();
        ::kill(pid_t(import.processId()), SIGTERM);
        QVERIFY(import.waitForFinished(20000));
        // Reading the rest would take seconds; a stop takes one block.
        QVERIFY2(timer.elapsed() < 2000, qPrintable(u"stopped after %1 ms"_s.arg(timer.elapsed())));
        QCOMPARE(import.exitStatus(), QProcess::CrashExit); // ended by its signal
        QCOMPARE(QDir(dir.path()).entryList({u".people.db.new-*"_s}, QDir::Hidden | QDir::Files), QStringList());
        QCOMPARE(run({u"export"_s, u"--db"_s, db}).out, QByteArray("control_number,name,telephone\r\nV1,Vieja,1\r\n"));
    }

    // A CSV through standard input ("-"), /dev/stdin or a named pipe, as
    // an export script or psql's \\copy ... to stdout gives it: the same
    // bounds and refusals as a file, repeated numbers named with the line
    // they first stood on, nothing replaced unless all of it was good.
    void importReadsPipes_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QByteArray>("csv");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("said");
        const QByteArray good = "control_number,name,telephone\nP1,Pipa,1\nP2,Otra,2\n";
        const QByteArray repeated = "control_number,name,telephone\nP1,Pipa,1\nP2,Otra,2\nP1,Más,3\n";
        for (const QString& how : {u"-"_s, u"/dev/stdin"_s, u"named pipe"_s}) {
            QTest::addRow("%s, good", qPrintable(how)) << how << good << 0 << QByteArray("imported 2 entries");
            QTest::addRow("%s, a repeated number", qPrintable(how))
                << how << repeated << 3 << QByteArray(":4: control number P1 already appears on line 2");
        }
        QTest::newRow("-, a field without end")
            << u"-"_s << QByteArray(8 << 20, 'x') << 3 << QByteArray("standard input:1: a field is longer than");
    }
    void importReadsPipes()
    {
        QFETCH(QString, how);
        QFETCH(QByteArray, csv);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, said);
        QTemporaryDir dir;
        const QString db = dir.filePath(u"piped.db"_s);
        writeFile(dir.filePath(u"old.csv"_s), "control_number,name,telephone\nV1,Vieja,1\n");
        QCOMPARE(run({u"import"_s, dir.filePath(u"old.csv"_s), u"--db"_s, db}).exitCode, 0);
        QString from = how;
        QProcess import;
        if (how == u"named pipe"_s) {
            from = dir.filePath(u"fifo"_s);
            QCOMPARE(::mkfifo(qPrintable(from), 0600), 0);
        }
        import.start(serverProgram(), {u"import"_s, from, u"--db"_s, db});
        QVERIFY(import.waitForStarted(5000));
        if (how == u"named pipe"_s) {
            QFile pipe(from);
            QVERIFY(pipe.open(QIODevice::WriteOnly));
            pipe.write(csv);
        } else {
            import.write(csv);
            import.closeWriteChannel();
        }
        QVERIFY(import.waitForFinished(30000));
        const QByteArray err = import.readAllStandardError();
        QCOMPARE(import.exitCode(), exitCode);
        QVERIFY2(err.contains(said), err.constData());
        const QByteArray exported = run({u"export"_s, u"--db"_s, db}).out;
        QCOMPARE(exported.contains("P2,Otra,2"), exitCode == 0);
        QCOMPARE(exported.contains("V1,Vieja,1"), exitCode != 0);
    }

    void notAFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("said");
        QTest::newRow("missing") << u"missing"_s << u": no such "_s;
        QTest::newRow("folder") << u"folder"_s << u" is a folder, not a "_s;
        QTest::newRow("named pipe") << u"fifo"_s << u" is a named pipe (FIFO), not a "_s;
        QTest::newRow("device") << u"device"_s << u" is a device, not a "_s;
    }
    // What the server says of a database or CSV that is no file, as it
    // serves or imports.
    void notAFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, said);
        QTemporaryDir dir;
        QString target = dir.filePath(kind);
        if (kind == u"folder"_s)
            QVERIFY(QDir(dir.path()).mkdir(kind));
        else if (kind == u"fifo"_s)
            QCOMPARE(::mkfifo(qPrintable(target), 0600), 0);
        else if (kind == u"device"_s)
            target = u"/dev/null"_s;
        const Run serving = run({u"--port"_s, u"0"_s, u"--db"_s, target});
        QCOMPARE(serving.exitCode, 2);
        QVERIFY2(serving.err.contains((target + said + u"database file"_s).toUtf8()), serving.err.constData());
        if (kind == u"fifo"_s)
            return; // a CSV may come through a pipe (importReadsPipes)
        const Run import = run({u"import"_s, target, u"--db"_s, dir.filePath(u"x.db"_s)});
        QCOMPARE(import.exitCode, 2);
        QVERIFY2(import.err.contains((target + said + u"CSV file"_s).toUtf8()), import.err.constData());
        QVERIFY(!QFile::exists(dir.filePath(u"x.db"_s)));
    }
};

QTEST_GUILESS_MAIN(TestSources)
#include "tst_sources.moc"
