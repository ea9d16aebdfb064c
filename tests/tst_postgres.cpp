// velmario-server serving from a real PostgreSQL: a throwaway cluster this
// test starts in a temporary folder (initdb, pg_ctl, a Unix socket there),
// run as an unprivileged user when the test runs as root.
#include "serverprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace velmario::testing;

namespace {

constexpr quint16 kPort = 5433;

class Cluster
{
public:
    ~Cluster() { stop(); }

    // Empty when the cluster runs, otherwise why not.
    QString start()
    {
        const QStringList versions = QDir(u"/usr/lib/postgresql"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString& version : versions) {
            if (QFile::exists(u"/usr/lib/postgresql/%1/bin/initdb"_s.arg(version)))
                m_bin = u"/usr/lib/postgresql/%1/bin/"_s.arg(version);
        }
        if (m_bin.isEmpty())
            return u"PostgreSQL is not installed"_s;
        if (!m_dir.isValid())
            return u"no temporary folder"_s;
        // PostgreSQL will not run as root: as root, the cluster belongs to nobody.
        if (::geteuid() == 0 && ::chown(qPrintable(m_dir.path()), 65534, 65534) != 0)
            return u"cannot hand the folder to nobody"_s;
        if (!tool(u"initdb"_s, {u"-D"_s, data(), u"-A"_s, u"trust"_s, u"-U"_s, u"velmario"_s, u"-E"_s, u"UTF8"_s,
                                u"--locale=C.UTF-8"_s}))
            return u"initdb failed: "_s + QString::fromLocal8Bit(m_output);
        if (!startServer())
            return u"pg_ctl start failed: "_s + QString::fromLocal8Bit(m_output);
        return {};
    }

    bool startServer()
    {
        m_running = tool(u"pg_ctl"_s, {u"-D"_s, data(), u"-l"_s, m_dir.filePath(u"log"_s), u"-w"_s, u"-o"_s,
                                       u"-k %1 -c listen_addresses='' -p %2"_s.arg(m_dir.path()).arg(kPort), u"start"_s});
        return m_running;
    }

    void stop()
    {
        if (m_running)
            tool(u"pg_ctl"_s, {u"-D"_s, data(), u"-m"_s, u"fast"_s, u"-w"_s, u"stop"_s});
        m_running = false;
    }

    bool sql(const QString& statements)
    {
        QProcess psql;
        psql.start(u"psql"_s, {u"-X"_s, u"-q"_s, u"-v"_s, u"ON_ERROR_STOP=1"_s, u"-h"_s, m_dir.path(), u"-p"_s,
                               QString::number(kPort), u"-U"_s, u"velmario"_s, u"-d"_s, u"postgres"_s, u"-c"_s,
                               statements});
        psql.waitForFinished(30000);
        m_output = psql.readAllStandardError();
        return psql.exitStatus() == QProcess::NormalExit && psql.exitCode() == 0;
    }

    QString conninfo() const
    {
        return u"host=%1 port=%2 user=velmario dbname=postgres"_s.arg(m_dir.path()).arg(kPort);
    }
    QByteArray output() const { return m_output; }

private:
    QString data() const { return m_dir.filePath(u"data"_s); }

    bool tool(const QString& name, const QStringList& arguments)
    {
        QProcess process;
        if (::geteuid() == 0)
            process.start(u"setpriv"_s, QStringList{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                                                    m_bin + name} + arguments);
        else
            process.start(m_bin + name, arguments);
        process.waitForFinished(60000);
        m_output = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QString m_bin;
    QByteArray m_output;
    bool m_running = false;
};

} // namespace

class TestPostgres : public QObject
{
    Q_OBJECT

    Cluster cluster;

    bool serve(ServerProcess& server, const QStringList& extra = {})
    {
        return server.start(QStringList{u"--postgres"_s, cluster.conninfo()} + extra);
    }

    static QByteArray ask(ServerProcess& server, const QByteArray& number)
    {
        Client client;
        if (!client.connect(server.port()))
            return "(no connection)";
        return client.ask(number);
    }

private slots:
    void initTestCase()
    {
        const QString why = cluster.start();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
    }

    void init()
    {
        QVERIFY2(cluster.sql(u"DROP TABLE IF EXISTS velmario_directory CASCADE;"
                             "CREATE TABLE velmario_directory (control_number text PRIMARY KEY, name text, telephone text);"
                             "INSERT INTO velmario_directory VALUES"
                             " ('1', 'Íñigo Núñez Ábalos', '961-555-0101'),"
                             " ('2', 'Œdipe Français', '961-555-0102'),"
                             " ('Ñ3', 'Begoña', '3');"_s),
                 cluster.output().constData());
    }

    void lookupsWithWindows1252Letters_data()
    {
        QTest::addColumn<QByteArray>("number");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("ñ and accents") << QByteArray("1") << cp1252(u"Íñigo Núñez Ábalos*961-555-0101"_s);
        QTest::newRow("Œ") << QByteArray("2") << QByteArray("\x8C" "dipe Fran\xE7" "ais*961-555-0102");
        QTest::newRow("ñ in the number") << QByteArray("\xD1" "3") << cp1252(u"Begoña*3"_s);
        QTest::newRow("not there") << QByteArray("4") << kNotRegistered;
    }
    void lookupsWithWindows1252Letters()
    {
        QFETCH(QByteArray, number);
        QFETCH(QByteArray, reply);
        ServerProcess server;
        QVERIFY2(serve(server), server.log().constData());
        QCOMPARE(ask(server, number), reply);
    }

    void notifyReachesTwoServers()
    {
        ServerProcess first;
        ServerProcess second;
        QVERIFY2(serve(first), first.log().constData());
        QVERIFY2(serve(second), second.log().constData());
        QVERIFY(cluster.sql(u"UPDATE velmario_directory SET telephone = '961-555-9999' WHERE control_number = '1';"
                            "NOTIFY velmario_directory;"_s));
        const QByteArray changed = cp1252(u"Íñigo Núñez Ábalos*961-555-9999"_s);
        for (ServerProcess* server : {&first, &second})
            QTRY_COMPARE_WITH_TIMEOUT(ask(*server, "1"), changed, 5000);
    }

    // systemctl reload's command: back once the rows read after it are
    // served, or refused.
    void reloadCommandWaitsForTheDatabase()
    {
        QTemporaryDir dir;
        const QString status = dir.filePath(u"status"_s);
        ServerProcess server;
        QVERIFY2(serve(server, {u"--status-file"_s, status}), server.log().constData());
        const QStringList reload{u"reload"_s, u"--pid"_s, QString::number(server.pid()), u"--status-file"_s, status};
        QVERIFY(cluster.sql(u"UPDATE velmario_directory SET telephone = '961-555-7777' WHERE control_number = '1';"_s));
        const Run served = run(reload);
        QCOMPARE(ask(server, "1"), cp1252(u"Íñigo Núñez Ábalos*961-555-7777"_s));
        QCOMPARE(served.exitCode, 0);
        QVERIFY2(served.err.contains("reloaded: serving 3 entries from PostgreSQL database postgres"),
                 served.err.constData());
        QVERIFY(cluster.sql(u"INSERT INTO velmario_directory VALUES ('5', 'Ana', '1*2');"
                            "UPDATE velmario_directory SET telephone = '961-555-8888' WHERE control_number = '1';"_s));
        const Run refused = run(reload);
        QCOMPARE(refused.exitCode, 3);
        QVERIFY2(refused.err.contains("reload refused, still serving the previous directory: 1 row(s) break the "
                                      "directory's rules:"),
                 refused.err.constData());
        QCOMPARE(ask(server, "1"), cp1252(u"Íñigo Núñez Ábalos*961-555-7777"_s));
    }

    void badRowsAreRefusedWhileTheOldDirectoryServes()
    {
        ServerProcess server;
        QVERIFY2(serve(server), server.log().constData());
        QVERIFY(cluster.sql(u"INSERT INTO velmario_directory VALUES ('5', 'Ana', '1*2'), ('6', NULL, '7');"
                            "UPDATE velmario_directory SET name = 'Cambiado' WHERE control_number = '2';"
                            "NOTIFY velmario_directory;"_s));
        QVERIFY(server.waitForLog("reload failed, still serving the previous directory: 2 row(s) break"));
        QVERIFY(server.waitForLog("(control number \"5\"): the telephone holds a \"*\""));
        QVERIFY(server.waitForLog("(control number \"6\"): the name is empty"));
        QCOMPARE(ask(server, "2"), QByteArray("\x8C" "dipe Fran\xE7" "ais*961-555-0102"));
        QCOMPARE(ask(server, "5"), kNotRegistered);
    }

    void unreachableAtStart()
    {
        QTemporaryDir nowhere;
        const Run result = run({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s, u"--postgres"_s,
                                u"host=%1 port=%2 user=velmario dbname=postgres"_s.arg(nowhere.path()).arg(kPort),
                                u"--startup-timeout"_s, u"2"_s});
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("cannot reach PostgreSQL within 2 s"), result.err.constData());
        QVERIFY(!result.err.contains("started:"));
    }

    // Each query is refused at start, or served, by the rules an import
    // keeps; lengths count characters, not bytes.
    void queriesAtStart_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QByteArray>("said"); // in the log; "started:" when served
        QTest::addColumn<int>("exitCode");    // 3: the rows refused; 4: the database refuses the server
        const QString n200 = QString(200, u'ñ');
        QTest::newRow("a repeated number")
            << u"SELECT '1', 'Ana', '1' UNION ALL SELECT '1', 'Otra', '2'"_s << QStringList{}
            << QByteArray("row 2 (control number \"1\"): the control number appears more than once") << 3;
        QTest::newRow("four columns") << u"SELECT control_number, name, telephone, 'x' FROM velmario_directory"_s
                                      << QStringList{} << QByteArray("must give three columns") << 3;
        QTest::newRow("exactly one bad row")
            << u"SELECT control_number, name, telephone FROM velmario_directory UNION ALL SELECT '9', 'Ana', '1*2'"_s
            << QStringList{} << QByteArray("1 row(s) break the directory's rules") << 3;
        QTest::newRow("a number starting with a space") << u"SELECT ' 7', 'Ana', '1'"_s << QStringList{}
                                                        << QByteArray("the control number starts or ends with a space") << 3;
        QTest::newRow("a number ending with a space") << u"SELECT '7 ', 'Ana', '1'"_s << QStringList{}
                                                      << QByteArray("the control number starts or ends with a space") << 3;
        QTest::newRow("200 two-byte letters are a name")
            << u"SELECT '7', '%1', '1'"_s.arg(n200) << QStringList{} << QByteArray("started:") << 0;
        QTest::newRow("201 are not")
            << u"SELECT '7', '%1ñ', '1'"_s.arg(n200) << QStringList{} << QByteArray("the name is longer than 200 characters") << 3;
        QTest::newRow("no rows") << u"SELECT control_number, name, telephone FROM velmario_directory WHERE false"_s
                                 << QStringList{} << QByteArray("the directory query gives no rows") << 3;
        QTest::newRow("no rows, allowed")
            << u"SELECT control_number, name, telephone FROM velmario_directory WHERE false"_s
            << QStringList{u"--allow-empty"_s} << QByteArray("started: serving 0 entries") << 0;
        QTest::newRow("a trailing comment")
            << u"SELECT control_number, name, telephone FROM velmario_directory -- every one"_s << QStringList{}
            << QByteArray("started: serving 3 entries") << 0;
        QTest::newRow("more rows than the server may hold")
            << u"SELECT control_number, name, telephone FROM velmario_directory"_s
            << QStringList{u"--max-memory-entries"_s, u"2"_s}
            << QByteArray("the directory query gives 3 rows, more than the 2 entries this server may hold") << 4;
        // Counted as 1 row, then sent as 5: the setting the first pass
        // leaves behind lengthens the second.
        QTest::newRow("more rows than counted")
            << u"SELECT g::text, 'Ana', '1' FROM generate_series(1, coalesce(nullif(current_setting('velmario.n', true),"
               " '')::int, 1)) g WHERE set_config('velmario.n', '5', true) IS NOT NULL"_s
            << QStringList{} << QByteArray("the database sent more rows than the 1 it counted for the directory query") << 3;
        QTest::newRow("a syntax error is not waited on") << u"SELEC 1"_s << QStringList{}
                                                         << QByteArray("the directory query failed: ERROR: syntax error") << 4;
        // The database refusing this server: not waited on or tried again
        // until the start-up timeout either.
        const QString all = u"SELECT control_number, name, telephone FROM velmario_directory"_s;
        const auto conninfo = [](const char* extra) { return QStringList{u"--conninfo-extra"_s, QString::fromLatin1(extra)}; };
        QTest::newRow("a role that may not log in") << all << conninfo("user=velmario_nologin")
                                                    << QByteArray("role \"velmario_nologin\" is not permitted to log in") << 4;
        QTest::newRow("a database that is not there") << all << conninfo("dbname=velmario_nadie")
                                                      << QByteArray("database \"velmario_nadie\" does not exist") << 4;
        QTest::newRow("an option libpq does not know") << all << conninfo("sslmode=sometimes") << QByteArray("sslmode") << 4;
    }
    void queriesAtStart()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, extra);
        QFETCH(QByteArray, said);
        QFETCH(int, exitCode);
        // "--conninfo-extra X" (the test's own) adds X to the cluster's connection string.
        QString conninfo = cluster.conninfo();
        if (extra.value(0) == u"--conninfo-extra"_s) {
            conninfo += u" "_s + extra.value(1);
            extra.clear();
            QVERIFY(cluster.sql(u"DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'velmario_nologin')"
                                " THEN CREATE ROLE velmario_nologin NOLOGIN; END IF; END $$;"_s));
        }
        const QStringList arguments = QStringList{u"--postgres"_s, conninfo, u"--postgres-query"_s, query} + extra;
        if (said.startsWith("started:")) {
            ServerProcess server;
            QVERIFY2(server.start(arguments), server.log().constData());
            QVERIFY2(server.log().contains(said), server.log().constData());
            return;
        }
        QElapsedTimer timer;
        timer.start();
        const Run result = run(arguments + QStringList{u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s,
                                                       u"--startup-timeout"_s, u"20"_s});
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains(said), result.err.constData());
        QVERIFY2(!result.err.contains("LOCATION") && !result.err.contains("waiting for"), result.err.constData());
        QVERIFY2(timer.elapsed() < 10000, qPrintable(u"gave up after %1 ms"_s.arg(timer.elapsed())));
    }

    // Without a NOTIFY, the change is served at the next --refresh.
    void refreshLoadsWithoutNotify()
    {
        ServerProcess server;
        QVERIFY2(serve(server, {u"--refresh"_s, u"1"_s}), server.log().constData());
        QVERIFY(cluster.sql(u"UPDATE velmario_directory SET telephone = '7' WHERE control_number = '2';"_s));
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, "2"), QByteArray("\x8C" "dipe Fran\xE7" "ais*7"), 5000);
    }

    // TRUNCATE then NOTIFY: the empty result is refused, the old
    // directory keeps serving.
    void emptyReloadIsRefused()
    {
        ServerProcess server;
        QVERIFY2(serve(server), server.log().constData());
        QVERIFY(cluster.sql(u"TRUNCATE velmario_directory; NOTIFY velmario_directory;"_s));
        QVERIFY(server.waitForLog("reload failed, still serving the previous directory: the directory query gives no rows"));
        QCOMPARE(ask(server, "2"), QByteArray("\x8C" "dipe Fran\xE7" "ais*961-555-0102"));
    }

    // Thousands of NOTIFYs over two seconds make a handful of loads, the
    // last of them after the storm.
    void notifyStormIsFolded()
    {
        ServerProcess server;
        QVERIFY2(serve(server), server.log().constData());
        QVERIFY2(cluster.sql(u"DO $$ BEGIN FOR i IN 1..2000 LOOP"
                            "  IF i = 2000 THEN UPDATE velmario_directory SET name = 'Último' WHERE control_number = '1'; END IF;"
                            "  PERFORM pg_notify('velmario_directory', i::text); PERFORM pg_sleep(0.001); COMMIT;"
                            " END LOOP; END $$;"_s),
                 cluster.output().constData());
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, "1"), cp1252(u"Último*961-555-0101"_s), 5000);
        QTest::qWait(1500); // any load still to come
        const qsizetype loads = server.log().count("reloaded:");
        QVERIFY2(loads >= 1 && loads <= 6, qPrintable(u"%1 loads"_s.arg(loads)));
    }

    // A load stuck in the database (a view that sleeps) neither holds up
    // a stop nor outlives its bound; the old directory serves meanwhile.
    void stuckLoads()
    {
        QVERIFY2(cluster.sql(u"CREATE TABLE IF NOT EXISTS velmario_pause (seconds float);"
                            "CREATE OR REPLACE FUNCTION velmario_paused() RETURNS boolean LANGUAGE plpgsql AS $$"
                            " BEGIN PERFORM pg_sleep(coalesce((SELECT max(seconds) FROM velmario_pause), 0)); RETURN true; END $$;"
                            "CREATE OR REPLACE VIEW velmario_slow AS SELECT * FROM velmario_directory WHERE velmario_paused();"
                            "TRUNCATE velmario_pause;"_s),
                 cluster.output().constData());
        const QStringList slow{u"--postgres-query"_s, u"SELECT control_number, name, telephone FROM velmario_slow"_s};
        {
            // Past --postgres-timeout: a warning, the old directory, and
            // the next load once the database is quick again.
            ServerProcess server;
            QVERIFY2(serve(server, slow + QStringList{u"--postgres-timeout"_s, u"2"_s}), server.log().constData());
            QVERIFY(cluster.sql(u"INSERT INTO velmario_pause VALUES (30); NOTIFY velmario_directory;"_s));
            QVERIFY(server.waitForLog("still serving the last directory; trying again", 8000));
            QCOMPARE(ask(server, "2"), QByteArray("\x8C" "dipe Fran\xE7" "ais*961-555-0102"));
            QVERIFY(cluster.sql(u"DELETE FROM velmario_pause; UPDATE velmario_directory SET telephone = '5' WHERE control_number = '2';"_s));
            QTRY_COMPARE_WITH_TIMEOUT(ask(server, "2"), QByteArray("\x8C" "dipe Fran\xE7" "ais*5"), 15000);
        }
        {
            // SIGTERM while the load sleeps: the process ends at once.
            ServerProcess server;
            QVERIFY2(serve(server, slow + QStringList{u"--postgres-timeout"_s, u"600"_s}), server.log().constData());
            QVERIFY(cluster.sql(u"INSERT INTO velmario_pause VALUES (60); NOTIFY velmario_directory;"_s));
            QTest::qWait(500); // the load is under way
            QElapsedTimer timer;
            timer.start();
            ::kill(pid_t(server.pid()), SIGTERM);
            QVERIFY(server.process().waitForFinished(10000));
            // Well inside the 60 s the load would take; the promise is 1 s.
            QVERIFY2(timer.elapsed() < 3000, qPrintable(u"stopped after %1 ms"_s.arg(timer.elapsed())));
            QCOMPARE(server.process().exitCode(), 0);
            // The query was cancelled on the way out: its backend does not
            // sleep on for nobody.
            const auto stillRunning = [this] {
                return cluster.sql(u"DO $$ BEGIN IF EXISTS (SELECT 1 FROM pg_stat_activity WHERE application_name ="
                                   " 'velmario-server' AND state = 'active') THEN RAISE 'running'; END IF; END $$;"_s)
                           ? QByteArray()
                           : cluster.output();
            };
            QTRY_COMPARE_WITH_TIMEOUT(stillRunning(), QByteArray(), 2000);
            QVERIFY(cluster.sql(u"DELETE FROM velmario_pause;"_s));
        }
    }

    // A host that accepts and never answers: --startup-timeout bounds the
    // whole start, connecting included.
    void silentHostAtStart()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QElapsedTimer timer;
        timer.start();
        const Run result = run({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s, u"--postgres"_s,
                                u"host=127.0.0.1 port=%1 user=velmario dbname=postgres"_s.arg(silent.serverPort()),
                                u"--startup-timeout"_s, u"3"_s});
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("cannot reach PostgreSQL within 3 s: the database did not answer in time"),
                 result.err.constData());
        QVERIFY2(timer.elapsed() < 6000, qPrintable(u"gave up after %1 ms"_s.arg(timer.elapsed())));
    }

    // Last: it stops the cluster and starts it again.
    void databaseStoppedAndStartedAgain()
    {
        QTemporaryDir dir;
        const QString status = dir.filePath(u"status"_s);
        ServerProcess server;
        const quint16 metrics = freePort();
        QVERIFY2(serve(server, {u"--status-file"_s, status, u"--metrics"_s, u"127.0.0.1:%1"_s.arg(metrics)}),
                 server.log().constData());
        cluster.stop();
        QVERIFY(server.waitForLog("still serving the last directory; trying again"));
        // Out of reach is not a directory refused: alerts tell them apart.
        QByteArray text;
        QTRY_VERIFY((text = scrape(metrics), valueOf(text, "velmario_reloads_total{outcome=\"unreachable\"}") >= 1));
        QCOMPARE(valueOf(text, "velmario_reloads_total{outcome=\"refused\"}"), 0.0);
        QCOMPARE(valueOf(text, "velmario_source_up"), 0.0);
        QCOMPARE(ask(server, QByteArray("\xD1" "3")), cp1252(u"Begoña*3"_s));
        // A reload meanwhile fails at the next attempt to reconnect.
        const Run reload = run({u"reload"_s, u"--pid"_s, QString::number(server.pid()), u"--status-file"_s, status});
        QCOMPARE(reload.exitCode, 3);
        QVERIFY2(reload.err.contains("reload refused, still serving the previous directory: lost PostgreSQL database "),
                 reload.err.constData());
        QVERIFY(cluster.startServer());
        QVERIFY(cluster.sql(u"UPDATE velmario_directory SET telephone = '4' WHERE control_number = 'Ñ3';"_s));
        QVERIFY(server.waitForLog(" is back", 20000));
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, QByteArray("\xD1" "3")), cp1252(u"Begoña*4"_s), 10000);
        QCOMPARE(server.log().count("still serving the last directory"), 1);
    }
};

QTEST_GUILESS_MAIN(TestPostgres)
#include "tst_postgres.moc"
