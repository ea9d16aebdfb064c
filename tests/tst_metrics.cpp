// Prometheus metrics: the text for given counters, checked by promtool, and
// what the real server serves at /metrics while clients use it.
#include "metrics.h"
#include "serverprocess.h"
#include <memory>
#include <vector>

#include <QTcpSocket>

#include <QElapsedTimer>

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace velmario::server;
using namespace velmario::testing;
using namespace Qt::StringLiterals;

namespace {

// "promtool check metrics": its complaints, or "" when there are none.
QByteArray promtoolFindings(const QByteArray& text)
{
    QProcess promtool;
    promtool.start(u"promtool"_s, {u"check"_s, u"metrics"_s});
    if (!promtool.waitForStarted(5000))
        return "promtool is missing (scripts/deps.sh --test installs prometheus)";
    promtool.write(text);
    promtool.closeWriteChannel();
    promtool.waitForFinished(10000);
    const QByteArray said = promtool.readAllStandardOutput() + promtool.readAllStandardError();
    return promtool.exitCode() == 0 && said.isEmpty() ? QByteArray() : said + " (exit " + QByteArray::number(promtool.exitCode()) + ")";
}

} // namespace

class TestMetrics : public QObject
{
    Q_OBJECT

private slots:
    void text()
    {
        StatsSnapshot stats;
        stats.stats.lookups = 11;
        stats.stats.found = 5;
        stats.stats.notFound = 2;
        stats.stats.invalid = 1;
        stats.stats.rateLimited = 3;
        stats.stats.failed = 0;
        stats.stats.denied = 4;
        stats.stats.refused = 6;
        stats.stats.refusedPerAddress = 2;
        stats.stats.dropped = 1;
        stats.stats.accepted = 9;
        stats.connections = 7;
        const auto now = std::chrono::steady_clock::now();
        ReloadSnapshot reloads;
        reloads.served = 2;
        reloads.refused = 1;
        reloads.entries = 36;
        reloads.loadedAt = now - std::chrono::seconds(90);
        reloads.loadSeconds = 1.5;
        reloads.retrying = true;
        reloads.reloading = false;
        reloads.unreachable = 4;
        reloads.denied = 3;
        reloads.lastSuccess = std::chrono::system_clock::time_point(std::chrono::seconds(1'765'000'000));
        reloads.lastAttempt = std::chrono::system_clock::time_point(std::chrono::seconds(1'765'000'090));
        const QByteArray text = QByteArray::fromStdString(metricsText(stats, reloads, now));
        // Each sample by name and labels, and each family's type: what
        // queries and alert rules rely on (the wording of HELP is not).
        const std::pair<const char*, double> samples[] = {
            {"velmario_lookups_total{result=\"found\"}", 5},
            {"velmario_lookups_total{result=\"not_found\"}", 2},
            {"velmario_lookups_total{result=\"invalid\"}", 1},
            {"velmario_lookups_total{result=\"rate_limited\"}", 3},
            {"velmario_lookups_total{result=\"failed\"}", 0},
            {"velmario_connections_open", 7},
            {"velmario_connections_accepted_total", 9},
            {"velmario_connections_refused_total{reason=\"busy\"}", 4},
            {"velmario_connections_refused_total{reason=\"denied\"}", 4},
            {"velmario_connections_refused_total{reason=\"per_address\"}", 2},
            {"velmario_clients_dropped_total", 1},
            {"velmario_reloads_total{outcome=\"served\"}", 2},
            {"velmario_reloads_total{outcome=\"refused\"}", 1},
            {"velmario_reloads_total{outcome=\"unreachable\"}", 4},
            {"velmario_reloads_total{outcome=\"denied\"}", 3},
            {"velmario_last_load_success_timestamp_seconds", 1'765'000'000},
            {"velmario_last_load_attempt_timestamp_seconds", 1'765'000'090},
            {"velmario_build_info{version=\"" VELMARIO_RELEASE "\"}", 1},
            {"velmario_directory_entries", 36},
            {"velmario_directory_age_seconds", 90},
            {"velmario_directory_load_duration_seconds", 1.5},
            {"velmario_source_up", 0},
            {"velmario_reloading", 0},
        };
        for (const auto& [name, value] : samples)
            QVERIFY2(valueOf(text, name) == value, qPrintable(u"%1: %2"_s.arg(QLatin1StringView(name)).arg(valueOf(text, name))));
        const std::pair<const char*, const char*> types[] = {
            {"velmario_lookups_total", "counter"}, {"velmario_connections_open", "gauge"},
            {"velmario_connections_accepted_total", "counter"}, {"velmario_connections_refused_total", "counter"},
            {"velmario_clients_dropped_total", "counter"}, {"velmario_reloads_total", "counter"},
            {"velmario_last_load_success_timestamp_seconds", "gauge"},
            {"velmario_last_load_attempt_timestamp_seconds", "gauge"}, {"velmario_build_info", "gauge"},
            {"velmario_directory_entries", "gauge"}, {"velmario_directory_age_seconds", "gauge"},
            {"velmario_directory_load_duration_seconds", "gauge"}, {"velmario_source_up", "gauge"},
            {"velmario_reloading", "gauge"},
        };
        for (const auto& [name, type] : types)
            QVERIFY2(text.contains(QByteArray("# TYPE ") + name + ' ' + type + '\n'), name);
        QCOMPARE(promtoolFindings(text), QByteArray());
    }

    // The example alert rules the package ships are rules Prometheus takes.
    void exampleAlertRules()
    {
        QProcess promtool;
        promtool.start(u"promtool"_s, {u"check"_s, u"rules"_s, QStringLiteral(VELMARIO_RULES)});
        QVERIFY2(promtool.waitForStarted(5000), "promtool is missing (scripts/deps.sh --test installs prometheus)");
        QVERIFY(promtool.waitForFinished(10000));
        const QByteArray said = promtool.readAllStandardOutput() + promtool.readAllStandardError();
        QCOMPARE(promtool.exitCode(), 0);
        QVERIFY2(said.contains("SUCCESS: 5 rules found"), said.constData());
    }

    // Before the first load there is no age to tell.
    void noAgeBeforeTheFirstLoad()
    {
        const QByteArray text = QByteArray::fromStdString(metricsText({}, {}, std::chrono::steady_clock::now()));
        QVERIFY(text.contains("# TYPE velmario_directory_age_seconds gauge\n# HELP velmario_directory_load_duration"));
        QCOMPARE(valueOf(text, "velmario_source_up"), 1.0);
        QCOMPARE(promtoolFindings(text), QByteArray());
    }

    void servedWhileClientsLookUp()
    {
        QTemporaryDir dir;
        const QString db = dir.filePath(u"directory.db"_s);
        QCOMPARE(run({u"import"_s, QStringLiteral(VELMARIO_EXAMPLE_CSV), u"--db"_s, db}).exitCode, 0);
        const quint16 metrics = freePort();
        ServerProcess server;
        // The packaged defaults, but for two connections at most and one an
        // address; 127.0.0.2 is not allowed.
        QVERIFY2(server.start({u"--db"_s, db, u"--metrics"_s, u"127.0.0.1:%1"_s.arg(metrics), u"--max-connections"_s,
                               u"2"_s, u"--max-connections-per-address"_s, u"1"_s, u"--rate-limit"_s, u"5"_s,
                               u"--rate-burst"_s, u"3"_s, u"--allow"_s, u"127.0.0.1"_s, u"--allow"_s, u"127.0.0.3"_s,
                               u"--allow"_s, u"127.0.0.4"_s, u"--max-request-bytes"_s, u"16"_s}),
                 server.log().constData());
        Client first;
        QVERIFY(first.connect(server.port(), u"127.0.0.1"_s));
        QCOMPARE(first.ask("20240001"), cp1252(u"Peña Ibáñez, José*961-555-0101"_s));
        QCOMPARE(first.ask("20240002"), cp1252(u"María Muñoz López*961-555-0102"_s));
        QCOMPARE(first.ask("99999999"), kNotRegistered);
        QCOMPARE(first.ask("20240003"), kTooMany);
        Client sameAddress;
        QVERIFY(sameAddress.connect(server.port(), u"127.0.0.1"_s));
        QVERIFY(sameAddress.closedByServer());
        Client denied;
        QVERIFY(denied.connect(server.port(), u"127.0.0.2"_s));
        QVERIFY(denied.closedByServer());
        Client second;
        QVERIFY(second.connect(server.port(), u"127.0.0.3"_s));
        QCOMPARE(second.ask("20240003"), cp1252(u"Ángel Núñez Ruiz*961-555-0103"_s));
        Client third;
        QVERIFY(third.connect(server.port(), u"127.0.0.4"_s));
        QCOMPARE(third.untilClosed(), std::optional(kBusy));
        second.socket().write("12345678901234567890");
        QCOMPARE(second.untilClosed(), std::optional(kInvalid));
        ::kill(pid_t(server.pid()), SIGHUP);
        QVERIFY(server.waitForLog("reloaded:"));

        // The loop hands its counters over once a second.
        QByteArray text;
        QTRY_VERIFY_WITH_TIMEOUT((text = scrape(metrics), valueOf(text, "velmario_reloads_total{outcome=\"served\"}") == 1
                                  && valueOf(text, "velmario_connections_refused_total{reason=\"busy\"}") == 1),
                                 5000);
        const QList<std::pair<QByteArray, double>> expected = {
            {"velmario_lookups_total{result=\"found\"}", 3},
            {"velmario_lookups_total{result=\"not_found\"}", 1},
            {"velmario_lookups_total{result=\"invalid\"}", 1},
            {"velmario_lookups_total{result=\"rate_limited\"}", 1},
            {"velmario_lookups_total{result=\"failed\"}", 0},
            {"velmario_connections_open", 1}, // the first; the second has been closed
            {"velmario_connections_accepted_total", 2},
            {"velmario_connections_refused_total{reason=\"busy\"}", 1},
            {"velmario_connections_refused_total{reason=\"denied\"}", 1},
            {"velmario_connections_refused_total{reason=\"per_address\"}", 1},
            {"velmario_clients_dropped_total", 0},
            {"velmario_reloads_total{outcome=\"served\"}", 1},
            {"velmario_reloads_total{outcome=\"refused\"}", 0},
            {"velmario_directory_entries", 3},
            {"velmario_source_up", 1},
            {"velmario_reloading", 0},
        };
        for (const auto& [sample, value] : expected)
            QVERIFY2(valueOf(text, sample) == value, QByteArray(sample + " in\n" + text).constData());
        QVERIFY2(valueOf(text, "velmario_directory_age_seconds") >= 0
                     && valueOf(text, "velmario_directory_age_seconds") < 5,
                 text.constData());
        QVERIFY(valueOf(text, "velmario_directory_load_duration_seconds") > 0);
        QCOMPARE(promtoolFindings(text), QByteArray());

        // And every second after.
        QCOMPARE(first.ask("20240001"), cp1252(u"Peña Ibáñez, José*961-555-0101"_s)); // the bucket has refilled
        QTRY_COMPARE_WITH_TIMEOUT(valueOf(scrape(metrics), "velmario_lookups_total{result=\"found\"}"), 4.0, 3000);

        // A stop (a restart's pause in the lookups) waits for no poll of
        // the metrics' listener, which may take a second.
        QElapsedTimer stopping;
        stopping.start();
        server.stop();
        QVERIFY2(stopping.elapsed() < 400 * kSlowdown, QByteArray::number(stopping.elapsed()).constData());
    }

    // Peers that send their requests a byte at a time hold connections,
    // not the scrapes: every scrape meanwhile is answered.
    void slowScrapersLeaveScrapesAnswered()
    {
        const quint16 metrics = freePort();
        ServerProcess server;
        QVERIFY2(server.start({u"--metrics"_s, u"127.0.0.1:%1"_s.arg(metrics)}), server.log().constData());
        QTRY_VERIFY(scrape(metrics).contains("velmario_lookups_total"));
        std::vector<std::unique_ptr<QTcpSocket>> slow;
        for (int i = 0; i < 8; ++i) {
            slow.push_back(std::make_unique<QTcpSocket>());
            slow.back()->connectToHost(QHostAddress::LocalHost, metrics);
            QVERIFY(slow.back()->waitForConnected(2000));
            slow.back()->write("GET /metrics HTTP/1.1\r\n");
        }
        QElapsedTimer held;
        held.start();
        int answered = 0;
        for (int round = 0; round < 8; ++round) {
            for (auto& peer : slow)
                peer->write("X"); // one byte more of a header that never ends
            QTest::qWait(250);
            answered += scrape(metrics).contains("velmario_lookups_total") ? 1 : 0;
        }
        QCOMPARE(answered, 8);
        QVERIFY(held.elapsed() < 8000);
    }

    // A metrics address on every interface works, and is warned of.
    void wildcardMetricsAddressIsWarnedOf()
    {
        const quint16 metrics = freePort();
        ServerProcess server;
        QVERIFY2(server.start({u"--metrics"_s, u"0.0.0.0:%1"_s.arg(metrics)}), server.log().constData());
        QTRY_VERIFY(scrape(metrics).contains("velmario_lookups_total"));
        QVERIFY2(server.log().contains("can be scraped from the network, and --allow does not apply"),
                 server.log().constData());
    }

    // A metrics port that is taken (or an address not this machine's)
    // never keeps the lookups from starting: an error, the reason in
    // systemd's status, and the port served once it is free.
    void metricsPortTakenLeavesLookupsServed()
    {
        auto holder = std::make_unique<QTcpServer>();
        QVERIFY(holder->listen(QHostAddress::LocalHost));
        const QString address = u"127.0.0.1:%1"_s.arg(holder->serverPort());
        ServerProcess server;
        QVERIFY2(server.start({u"--metrics"_s, address}), server.log().constData());
        QVERIFY2(server.log().contains("cannot serve metrics on " + address.toLatin1() + ": cannot bind to " +
                                       address.toLatin1() + ": 98 (Address already in use)") &&
                     server.log().contains("lookups are served without metrics until it can be bound"),
                 server.log().constData());
        Client client;
        QVERIFY(client.connect(server.port()));
        QCOMPARE(client.ask("20230001"), kJose);
        const quint16 port = holder->serverPort();
        holder.reset();
        QVERIFY2(server.waitForLog("metrics served at " + address.toLatin1() + " from now on", 10000),
                 server.log().constData());
        QTRY_VERIFY(scrape(port).contains("velmario_lookups_total"));
    }

    void addressThatCannotBeHad_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("IPv6") << u"[::1]:9107"_s << 1 << QByteArray("'[::1]:9107' is not IPV4-ADDRESS:PORT");
        QTest::newRow("no port") << u"127.0.0.1"_s << 1 << QByteArray("is not IPV4-ADDRESS:PORT");
        QTest::newRow("port 0") << u"127.0.0.1:0"_s << 1 << QByteArray("is not IPV4-ADDRESS:PORT");
        QTest::newRow("a name") << u"localhost:9107"_s << 1 << QByteArray("is not IPV4-ADDRESS:PORT");
    }
    void addressThatCannotBeHad()
    {
        QFETCH(QString, address);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, said);
        const Run result = run({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s, u"--metrics"_s, address});
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains(said), result.err.constData());
        QVERIFY(!result.err.contains("started:"));
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
