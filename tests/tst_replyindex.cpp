// The in-memory reply table the server answers from.
#include "replyindex.h"

#include <QTest>

#include <string>

using velmario::server::ReplyIndex;

namespace {

std::string key(int i) { return "K" + std::to_string(i); }
std::string reply(int i) { return "Nombre " + std::to_string(i) + "*555-" + std::to_string(i % 1000); }

} // namespace

class TestReplyIndex : public QObject
{
    Q_OBJECT

private slots:
    void emptyIndexFindsNothing()
    {
        ReplyIndex index;
        QVERIFY(!index.find("K1"));
        index.finish();
        QCOMPARE(index.size(), std::size_t(0));
        QVERIFY(!index.find("K1"));
        QVERIFY(!index.find(""));
    }

    // Enough entries for the table and the text to pass 2 MiB, where they
    // move to huge pages, and for many probe chains to be long.
    void manyEntriesAllFound()
    {
        constexpr int kEntries = 200'000;
        ReplyIndex index;
        for (int i = 0; i < kEntries; ++i)
            QVERIFY(index.add(key(i), reply(i)));
        index.finish();
        QCOMPARE(index.size(), std::size_t(kEntries));
        QVERIFY(index.memoryBytes() >= std::size_t(2 * kEntries * 8));
        for (int i = 0; i < kEntries; ++i) {
            const auto found = index.find(key(i));
            if (!found || *found != reply(i))
                QFAIL(qPrintable(QString::fromStdString("wrong reply for " + key(i))));
        }
        for (int i = kEntries; i < kEntries + 20'000; ++i)
            QVERIFY(!index.find(key(i)));
    }

    void lookalikeKeys_data()
    {
        QTest::addColumn<QByteArray>("asked");
        QTest::addColumn<bool>("held");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("exact") << QByteArray("2023") << true << QByteArray("a*1");
        QTest::newRow("prefix") << QByteArray("202") << false << QByteArray();
        QTest::newRow("longer") << QByteArray("20230") << true << QByteArray("b*2");
        QTest::newRow("longer still") << QByteArray("202300") << false << QByteArray();
        QTest::newRow("with NUL") << QByteArray("2023\0", 5) << true << QByteArray("c*3");
        QTest::newRow("other case") << QByteArray("ab") << false << QByteArray();
        QTest::newRow("high bytes") << QByteArray("\xf1\xe9") << true << QByteArray("d*4");
        QTest::newRow("empty key is a key") << QByteArray("") << true << QByteArray("e*5");
        QTest::newRow("added twice keeps the first") << QByteArray("AB") << true << QByteArray("first*1");
        QTest::newRow("empty reply") << QByteArray("nada") << true << QByteArray("");
        // Entries too long to sit in their record whole.
        QTest::newRow("long reply") << QByteArray("L") << true << QByteArray(70, 'r');
        QTest::newRow("long key") << QByteArray(61, 'k') << true << QByteArray("k*61");
        QTest::newRow("long key, one byte short") << QByteArray(60, 'k') << false << QByteArray();
        QTest::newRow("just fits its record") << QByteArray(30, 'j') << true << QByteArray(30, 'J');
    }
    void lookalikeKeys()
    {
        QFETCH(QByteArray, asked);
        QFETCH(bool, held);
        QFETCH(QByteArray, expected);
        ReplyIndex index;
        const std::pair<std::string, std::string> entries[] = {
            {"2023", "a*1"}, {"20230", "b*2"}, {std::string("2023\0", 5), "c*3"}, {"\xf1\xe9", "d*4"},
            {"", "e*5"}, {"AB", "first*1"}, {"AB", "second*2"}, {"nada", ""},
            {"L", std::string(70, 'r')}, {std::string(61, 'k'), "k*61"}, {std::string(30, 'j'), std::string(30, 'J')},
        };
        for (const auto& [k, r] : entries)
            QVERIFY(index.add(k, r));
        index.finish();
        QCOMPARE(index.size(), std::size(entries) - 1); // "AB" once
        const auto found = index.find(std::string_view(asked.constData(), std::size_t(asked.size())));
        QCOMPARE(found.has_value(), held);
        if (found)
            QCOMPARE(QByteArray(found->data(), qsizetype(found->size())), expected);
    }

    void fieldLengthBounds()
    {
        ReplyIndex index;
        const std::string longest(65535, 'x');
        QVERIFY(index.add("long", longest));
        QVERIFY(index.add(longest, "k*1"));
        QVERIFY(!index.add("too long", longest + 'x'));
        QVERIFY(!index.add(longest + 'x', "k*1"));
        index.finish();
        QCOMPARE(index.size(), std::size_t(2));
        QCOMPARE(index.find("long")->size(), longest.size());
        QCOMPARE(*index.find(longest), std::string_view("k*1"));
        QVERIFY(!index.find("too long"));
    }
};

QTEST_APPLESS_MAIN(TestReplyIndex)
#include "tst_replyindex.moc"
