// The request framer on its own: bytes in, requests out, with every way the
// network can cut them into reads.
#include "framing.h"

#include <QTest>

#include <string>
#include <vector>

using velmario::server::RequestFramer;
using Verdict = RequestFramer::Verdict;
Q_DECLARE_METATYPE(Verdict)

namespace {

using Requests = QList<QByteArray>;

constexpr std::size_t kMax = 256;
constexpr std::size_t kSlack = 4096; // white space allowed beyond the longest request

struct Fed {
    Requests requests;
    Verdict verdict = Verdict::Ok;
};

// Feeds `reads` in order, none filling the read buffer, and stops at the
// first verdict that is not Ok.
Fed feedAll(RequestFramer& framer, const QList<QByteArray>& reads)
{
    Fed fed;
    for (const QByteArray& read : reads) {
        fed.verdict = framer.feed(std::string_view(read.constData(), std::size_t(read.size())), false,
                                  [&](std::string_view r) { fed.requests << QByteArray(r.data(), qsizetype(r.size())); });
        if (fed.verdict != Verdict::Ok)
            break;
    }
    return fed;
}

Fed feedAll(const QList<QByteArray>& reads, std::size_t max = kMax)
{
    RequestFramer framer(max);
    return feedAll(framer, reads);
}

} // namespace

class TestFraming : public QObject
{
    Q_OBJECT

private slots:
    // Until a line end comes, each read is one request, whatever it holds.
    void eachReadIsOneRequest_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<Requests>("requests");
        QTest::addColumn<bool>("lineMode");
        QTest::newRow("one number") << QList<QByteArray>{"20230001"} << Requests{"20230001"} << false;
        QTest::newRow("two reads, two requests") << QList<QByteArray>{"2023", "0001"} << Requests{"2023", "0001"} << false;
        QTest::newRow("white space around is not part of it")
            << QList<QByteArray>{" \t20230001 \r\x0b\x0c"} << Requests{"20230001"} << false;
        QTest::newRow("inner space is") << QList<QByteArray>{"2023 0001"} << Requests{"2023 0001"} << false;
        QTest::newRow("white space alone is no request") << QList<QByteArray>{"  \t", "7"} << Requests{"7"} << false;
        QTest::newRow("a CR alone does not end a line") << QList<QByteArray>{"1\r2\r"} << Requests{"1\r2"} << false;
        QTest::newRow("a NUL is a byte like any other")
            << QList<QByteArray>{QByteArray("\0" "1", 2)} << Requests{QByteArray("\0" "1", 2)} << false;
        QTest::newRow("a line end in the first read: lines from then on")
            << QList<QByteArray>{"1\n2", "3\n"} << Requests{"1", "23"} << true;
        QTest::newRow("a line end in a later read: lines from that read on")
            << QList<QByteArray>{"1", "2", "3\n4", "5\n"} << Requests{"1", "2", "3", "45"} << true;
    }
    void eachReadIsOneRequest()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(Requests, requests);
        QFETCH(bool, lineMode);
        RequestFramer framer(kMax);
        const Fed fed = feedAll(framer, reads);
        QCOMPARE(fed.verdict, Verdict::Ok);
        QCOMPARE(fed.requests, requests);
        QCOMPARE(framer.lineMode(), lineMode);
    }

    // Once in line mode, the requests are the same however the rest is cut:
    // in two reads anywhere, in three anywhere, a byte at a time.
    void linesCutAnywhere_data()
    {
        QTest::addColumn<QByteArray>("rest");
        QTest::addColumn<Requests>("requests");
        QTest::newRow("LF lines") << QByteArray("20230001\n20230002\n") << Requests{"20230001", "20230002"};
        QTest::newRow("CR LF lines, space around")
            << QByteArray(" 20230002 \r\n\t99\r\n") << Requests{"20230002", "99"};
        QTest::newRow("blank lines between") << QByteArray("\n\r\n \n7\n\n8\n") << Requests{"7", "8"};
        QTest::newRow("a line not yet ended waits") << QByteArray("5\n6") << Requests{"5"};
        QTest::newRow("the longest request")
            << QByteArray(256, '9') + "\n" << Requests{QByteArray(256, '9')};
    }
    void linesCutAnywhere()
    {
        QFETCH(QByteArray, rest);
        QFETCH(Requests, requests);
        const QByteArray first = "0\n"; // puts the connection in line mode
        const Requests expected = Requests{"0"} + requests;
        QCOMPARE(feedAll({first + rest}).requests, expected);
        for (qsizetype i = 0; i <= rest.size(); ++i) {
            for (qsizetype j = i; j <= rest.size(); ++j) {
                const Fed fed = feedAll({first, rest.left(i), rest.mid(i, j - i), rest.mid(j)});
                QCOMPARE(fed.verdict, Verdict::Ok);
                QVERIFY2(fed.requests == expected, ("cut at " + QByteArray::number(i) + " and " + QByteArray::number(j)).constData());
            }
        }
        QList<QByteArray> bytes{first};
        for (char c : rest)
            bytes << QByteArray(1, c);
        QCOMPARE(feedAll(bytes).requests, expected);
    }

    // The longest request is the limit, white space around not counted; a
    // read, a line or an unfinished line past it ends the connection.
    void limits_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<Requests>("requests");
        QTest::addColumn<Verdict>("verdict");
        const QByteArray longest(kMax, '7');
        QTest::newRow("a read of the longest request") << QList<QByteArray>{longest} << Requests{QByteArray(kMax, '7')} << Verdict::Ok;
        QTest::newRow("a read one byte longer") << QList<QByteArray>{longest + "7"} << Requests{} << Verdict::TooLong;
        QTest::newRow("white space around the longest")
            << QList<QByteArray>{"   " + longest + " \r\n"} << Requests{QByteArray(kMax, '7')} << Verdict::Ok;
        QTest::newRow("a line one byte longer, after a good one")
            << QList<QByteArray>{"1\n" + longest + "7\n2\n"} << Requests{"1"} << Verdict::TooLong;
        // Unfinished lines: the limit plus the slack may wait, no more.
        QTest::newRow("an unfinished line at the bound")
            << QList<QByteArray>{"1\n", QByteArray(kMax + kSlack - 10, 'x'), QByteArray(10, 'x')} << Requests{"1"} << Verdict::Ok;
        QTest::newRow("an unfinished line past the bound")
            << QList<QByteArray>{"1\n", QByteArray(kMax + kSlack - 10, 'x'), QByteArray(11, 'x')} << Requests{"1"}
            << Verdict::TooLong;
        QTest::newRow("an unfinished line past the bound in one read")
            << QList<QByteArray>{"1\n" + QByteArray(kMax + kSlack + 1, ' ')} << Requests{"1"} << Verdict::TooLong;
        // White space between requests: each stretch is bounded, not the sum.
        QByteArray stretches = "0\n";
        for (int i = 0; i < 5; ++i)
            stretches += QByteArray(3000, '\n') + QByteArray::number(i + 1) + "\n";
        QTest::newRow("stretches of blank lines, each below the bound")
            << QList<QByteArray>{stretches} << Requests{"0", "1", "2", "3", "4", "5"} << Verdict::Ok;
        QTest::newRow("one stretch of blank lines past the bound")
            << QList<QByteArray>{"0\n" + QByteArray(kMax + kSlack + 1, '\n') + "1\n"} << Requests{"0"} << Verdict::TooLong;
        QTest::newRow("blank reads, each below the bound")
            << QList<QByteArray>{QByteArray(3000, ' '), "1", QByteArray(3000, ' '), "2"} << Requests{"1", "2"} << Verdict::Ok;
    }
    void limits()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(Requests, requests);
        QFETCH(Verdict, verdict);
        const Fed fed = feedAll(reads);
        QCOMPARE(fed.requests, requests);
        QCOMPARE(fed.verdict, verdict);
    }

    // A read that fills the whole read buffer without a line end may be
    // cut from a longer request: it is too long.
    void filledReadWithoutLineEnd()
    {
        RequestFramer framer(kMax);
        Requests got;
        const auto take = [&](std::string_view r) { got << QByteArray(r.data(), qsizetype(r.size())); };
        QCOMPARE(framer.feed("12", true, take), Verdict::TooLong);
        RequestFramer lines(kMax);
        QCOMPARE(lines.feed("1\n2", true, take), Verdict::Ok);
        QCOMPARE(got, Requests{"1"});
    }

    // The one taking requests may stop the framer between two; the rest of
    // the read waits for resume().
    void stoppedAndResumed()
    {
        RequestFramer framer(kMax);
        Requests got;
        int allowed = 2;
        const auto take = [&](std::string_view r) {
            got << QByteArray(r.data(), qsizetype(r.size()));
            return --allowed > 0;
        };
        QCOMPARE(framer.feed("a\nb\nc\nd\ne", false, take), Verdict::Held);
        QCOMPARE(got, (Requests{"a", "b"}));
        QVERIFY(framer.holding());
        allowed = 1;
        QCOMPARE(framer.resume(take), Verdict::Held);
        QCOMPARE(got, (Requests{"a", "b", "c"}));
        allowed = 100;
        QCOMPARE(framer.resume(take), Verdict::Ok);
        QVERIFY(!framer.holding());
        QCOMPARE(got, (Requests{"a", "b", "c", "d"}));
        QCOMPARE(framer.feed("\n", false, take), Verdict::Ok); // "e" was kept as the line not yet ended
        QCOMPARE(got, (Requests{"a", "b", "c", "d", "e"}));
        // Stopped at a read's last line: nothing is held.
        allowed = 1;
        QCOMPARE(framer.feed("f\n", false, take), Verdict::Ok);
        QVERIFY(!framer.holding());
        // A line too long in what was held still ends it.
        allowed = 1;
        QCOMPARE(framer.feed("g\n" + std::string(kMax + 1, '1') + "\nh\n", false, take), Verdict::Held);
        allowed = 100;
        QCOMPARE(framer.resume(take), Verdict::TooLong);
        QCOMPARE(got.last(), QByteArray("g"));
    }
};

QTEST_APPLESS_MAIN(TestFraming)
#include "tst_framing.moc"
