// The in-memory reply table the server answers from, and the answers of a
// directory held in memory against the same directory looked up in its file.
#include "answer.h"
#include "replyindex.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <fcntl.h>
#include <vector>
#include <string>

using velmario::server::ReplyIndex;
using namespace velmario::server;
using namespace Qt::StringLiterals;

namespace {

// Appended piece by piece: GCC 12 at -O3 misreads '"K" + std::string' (-Wrestrict).
std::string key(int i)
{
    std::string k = "K";
    return k.append(std::to_string(i));
}
std::string reply(int i)
{
    std::string r = "Nombre ";
    return r.append(std::to_string(i)).append("*555-").append(std::to_string(i % 1000));
}

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
        // Lengths stored in one, two and three bytes, either side of where
        // one more is needed.
        QTest::newRow("127-byte key") << QByteArray(127, 'k') << true << QByteArray("k*127");
        QTest::newRow("128-byte key") << QByteArray(128, 'k') << true << QByteArray("k*128");
        QTest::newRow("its 127-byte prefix is not it") << QByteArray(126, 'k') << false << QByteArray();
        QTest::newRow("128-byte reply") << QByteArray("L") << true << QByteArray(128, 'r');
        QTest::newRow("16 384-byte reply") << QByteArray("M") << true << QByteArray(16384, 'm');
        QTest::newRow("16 383-byte key") << QByteArray(16383, 'q') << true << QByteArray(16383, 'Q');
    }
    void lookalikeKeys()
    {
        QFETCH(QByteArray, asked);
        QFETCH(bool, held);
        QFETCH(QByteArray, expected);
        const std::pair<std::string, std::string> entries[] = {
            {"2023", "a*1"}, {"20230", "b*2"}, {std::string("2023\0", 5), "c*3"}, {"\xf1\xe9", "d*4"},
            {"", "e*5"}, {"AB", "first*1"}, {"AB", "second*2"}, {"nada", ""},
            {std::string(127, 'k'), "k*127"}, {std::string(128, 'k'), "k*128"}, {"L", std::string(128, 'r')},
            {"M", std::string(16384, 'm')}, {std::string(16383, 'q'), std::string(16383, 'Q')},
            {"L", "second long"},
        };
        // Built after the last entry, and into a table sized up front.
        for (const bool reserved : {false, true}) {
            ReplyIndex index;
            if (reserved)
                QVERIFY(index.reserve(std::size(entries)));
            for (const auto& [k, r] : entries)
                QVERIFY(index.add(k, r));
            index.finish();
            QCOMPARE(index.size(), std::size(entries) - 2); // "AB" and "L" once
            const auto found = index.find(std::string_view(asked.constData(), std::size_t(asked.size())));
            QCOMPARE(found.has_value(), held);
            if (found)
                QCOMPARE(QByteArray(found->data(), qsizetype(found->size())), expected);
        }
    }

    // Keys that are a proper prefix or an extension of a held key, at
    // lengths around the record's inline limit, answered from a table in
    // memory and from one built in files alike.
    void prefixAndExtension_data()
    {
        QTest::addColumn<bool>("inMemory");
        QTest::addColumn<int>("length");
        for (const bool inMemory : {true, false}) {
            for (const int length : {1, 8, 29, 30, 31, 59, 60, 61}) {
                const QByteArray row = (inMemory ? "memory, " : "files, ") + QByteArray::number(length);
                QTest::newRow(row.constData()) << inMemory << length;
            }
        }
    }
    void prefixAndExtension()
    {
        QFETCH(bool, inMemory);
        QFETCH(int, length);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        std::string key;
        for (int i = 0; i < length; ++i)
            key += char('1' + i % 9);
        const std::string db = dir.filePath(QStringLiteral("d.db")).toStdString();
        std::string error;
        QVERIFY2(Directory::write(db, {{key, "Base", "1"}, {key + "5", "Extendida", "2"}, {"0", "Cero", "3"}}, error),
                 error.c_str());
        auto directory = Directory::open(db, error);
        QVERIFY2(directory, error.c_str());
        std::string problem;
        std::unique_ptr<const ReplyIndex> table;
        QCOMPARE(readReplies(*directory, 10, problem, table, nullptr,
                             inMemory ? std::string() : dir.path().toStdString()),
                 Holding::InMemory);
        QCOMPARE(table->inFiles(), !inMemory);

        const auto reply = [&](const std::string& request) {
            std::string out;
            if (answer(*table, request, 256, out) == Outcome::Nothing)
                return std::string("(no reply)");
            return out;
        };
        const std::string notRegistered = "N\xfamero de control no registrado*";
        QCOMPARE(reply(key), std::string("Base*1"));
        QCOMPARE(reply(key + "5"), std::string("Extendida*2"));
        QCOMPARE(reply(key + "55"), notRegistered);
        QCOMPARE(reply(key + "6"), notRegistered);
        if (length > 1)
            QCOMPARE(reply(key.substr(0, std::size_t(length - 1))), notRegistered);
        QCOMPARE(reply("0" + key), notRegistered);
    }

    // Distinct keys placed behind the adds: every one is found once
    // finished, wherever its slot was still on its way.
    void distinctKeysPlacedBehind()
    {
        for (const int entries : {0, 1, 15, 16, 17, 100'000}) {
            ReplyIndex index;
            QVERIFY(index.reserve(std::size_t(entries), ReplyIndex::Keys::Distinct));
            for (int i = 0; i < entries; ++i)
                QVERIFY(index.add(key(i), reply(i)));
            QVERIFY(!index.add("over", "the count"));
            index.finish();
            QCOMPARE(index.size(), std::size_t(entries));
            for (int i = 0; i < entries; ++i) {
                const auto found = index.find(key(i));
                if (!found || *found != reply(i))
                    QFAIL(qPrintable(QString::fromStdString("wrong reply for " + key(i))));
            }
            QVERIFY(!index.find(key(entries)));
        }
    }

    // The text the layout can address, with a bound small enough to reach:
    // an entry that would pass it is refused, with why, and the rest serve.
    void textAsLargeAsAddressable()
    {
        // Each entry: a byte of key length, one of reply length, 8 of key
        // and 10 of reply.
        constexpr std::size_t kEntry = 20;
        for (const bool reserved : {false, true}) {
            ReplyIndex index(10 * kEntry + 2);
            if (reserved)
                QVERIFY(index.reserve(12));
            for (int i = 0; i < 10; ++i)
                QVERIFY(index.add(std::string("K").append(std::to_string(1000000 + i)),
                                  std::string("R").append(std::to_string(100000000 + i))));
            QVERIFY(!index.add("K2000000", "R200000000"));
            QCOMPARE(std::string(index.fullReason()), std::string("more text than the 4 GiB an in-memory directory can hold"));
            QVERIFY(index.add("", "")); // the last two bytes
            QVERIFY(!index.add("", ""));
            index.finish();
            QCOMPARE(index.size(), std::size_t(11));
            QCOMPARE(*index.find("K1000009"), std::string_view("R100000009"));
            QVERIFY(!index.find("K2000000"));
        }
        // The largest offset the table stores is the last byte of that text.
        QCOMPARE(ReplyIndex::kMaxTextBytes, std::size_t(0xFFFFFFFFu) - 1);
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
    // An index read back from its image answers as the one it was taken
    // from; bytes that are not an index's are refused, never served.
    void imageReadBack_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("why");
        QTest::newRow("as taken") << QString() << QString();
        QTest::newRow("one entry fewer counted") << u"count-1"_s << u"sizes that do not"_s;
        QTest::newRow("a table sized for other entries") << u"slots+1"_s << u"sizes that do not"_s;
        QTest::newRow("text cut inside its last entry") << u"text-1"_s << u"runs past the text"_s;
        QTest::newRow("a length running past the text") << u"length"_s << u"runs past the text"_s;
        QTest::newRow("an offset past the text") << u"offset"_s << u"outside the text"_s;
        QTest::newRow("a slot emptied") << u"empty slot"_s << u"a count of entries"_s;
        QTest::newRow("the reader fails") << u"read"_s << u"cannot be read"_s;
    }
    void imageReadBack()
    {
        QFETCH(QString, damage);
        QFETCH(QString, why);
        ReplyIndex index;
        constexpr int kEntries = 1000;
        for (int i = 0; i < kEntries; ++i)
            QVERIFY(index.add(key(i), reply(i)));
        QVERIFY(index.add(std::string(300, 'L'), std::string(20'000, 'r'))); // two-byte lengths
        index.finish();
        const ReplyIndex::Image image = index.image();
        QCOMPARE(image.entries, std::size_t(kEntries + 1));
        std::string text(image.text), table(image.table);
        std::size_t entries = image.entries, slotCount = image.slotCount;
        const auto slotAt = [&](std::size_t s) {
            std::uint32_t at;
            std::memcpy(&at, table.data() + s * 5, sizeof at);
            return at;
        };
        std::size_t used = 0;
        while (slotAt(used) == 0)
            ++used;
        if (damage == u"count-1"_s)
            entries -= 1;
        else if (damage == u"slots+1"_s)
            slotCount += 1, table.append(5, '\0');
        else if (damage == u"text-1"_s)
            text.pop_back();
        else if (damage == u"length"_s)
            text[text.size() - 20'000 - 300 - 1] = char(0x7F); // the last reply's length, now 2 MiB
        else if (damage == u"offset"_s) {
            const auto past = static_cast<std::uint32_t>(text.size() + 1);
            std::memcpy(table.data() + used * 5, &past, sizeof past);
        } else if (damage == u"empty slot"_s)
            std::memset(table.data() + used * 5, 0, 4);
        int fills = 0;
        const auto fill = [&](char* into, std::size_t bytes) {
            const std::string& from = fills++ == 0 ? text : table;
            if (damage == u"read"_s || bytes != from.size())
                return false;
            std::memcpy(into, from.data(), bytes);
            return true;
        };
        std::string refused;
        const auto back = ReplyIndex::fromImage(entries, text.size(), slotCount, fill, refused);
        if (!why.isEmpty()) {
            QVERIFY(!back);
            QVERIFY2(QString::fromStdString(refused).contains(why), refused.c_str());
            return;
        }
        QVERIFY(back);
        QCOMPARE(back->size(), index.size());
        QCOMPARE(back->memoryBytes(), index.memoryBytes());
        for (int i = 0; i < kEntries; ++i)
            QCOMPARE(back->find(key(i)), index.find(key(i)));
        QCOMPARE(back->find(std::string(300, 'L'))->size(), std::size_t(20'000));
        QVERIFY(!back->find(key(kEntries)));
    }

    // A copy kept in a file outlives the build that made it: the slots a
    // key lands in (its hash, the table's size, the probe) are the same in
    // every build. Were they to change, a copy made by the old build would
    // answer "not registered" to every number; the layout's version must
    // change with them.
    void imageLastsAcrossBuilds()
    {
        ReplyIndex index;
        QVERIFY(index.add("20230001", "Ana*961"));
        QVERIFY(index.add("20230002", "Luis*962"));
        QVERIFY(index.add("20230003", "Eva*963"));
        index.finish();
        const ReplyIndex::Image image = index.image();
        QCOMPARE(image.slotCount, std::size_t(8));
        QCOMPARE(QByteArray(image.table.data(), qsizetype(image.table.size())).toHex(), QByteArray("24000000e80000000000000000000000000000000000000000120000006e000000000001000000fe"));
    }

    void emptyImageReadBack()
    {
        ReplyIndex empty;
        empty.finish();
        const ReplyIndex::Image image = empty.image();
        std::string why;
        const auto back = ReplyIndex::fromImage(image.entries, image.text.size(), image.slotCount,
                                                [](char*, std::size_t) { return false; }, why);
        QVERIFY2(back, why.c_str());
        QCOMPARE(back->size(), std::size_t(0));
        QVERIFY(!back->find("K1"));
    }
    // The table read where it lies in a file answers as in memory, long
    // entries and probes that wrap around included; a file cut short
    // under it fails lookups instead of answering wrongly.
    void replyFileAnswersAsTheIndex_data()
    {
        QTest::addColumn<int>("entries");
        QTest::addColumn<bool>("cut");
        QTest::newRow("empty") << 0 << false;
        QTest::newRow("one") << 1 << false;
        QTest::newRow("many") << 5000 << false;
        QTest::newRow("many, file cut short") << 5000 << true;
    }
    void replyFileAnswersAsTheIndex()
    {
        QFETCH(int, entries);
        QFETCH(bool, cut);
        ReplyIndex index;
        for (int i = 0; i < entries; ++i)
            QVERIFY(index.add(key(i), i % 7 == 3 ? std::string(300 + i % 500, char('a' + i % 26)) : reply(i)));
        if (entries > 0) {
            QVERIFY(index.add("K", "a key that is a prefix of every other"));
            QVERIFY(index.add(std::string(1000, 'L'), "a key longer than one read"));
        }
        index.finish();
        const ReplyIndex::Image image = index.image();
        QTemporaryDir dir;
        const QString path = dir.filePath(u"table"_s);
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("header!");
            f.write(image.text.data(), qint64(image.text.size()));
            f.write(image.table.data(), qint64(image.table.size()));
        }
        if (cut)
            QVERIFY(QFile::resize(path, 7 + qint64(image.text.size()) / 2));
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const ReplyFile file(fd, 7, image.entries, image.text.size(), image.slotCount);
        QCOMPARE(file.size(), index.size());
        std::vector<std::string> keys = {"K", std::string(1000, 'L'), "K-1", "", std::string(1000, 'M'), key(entries)};
        for (int i = 0; i < entries; ++i)
            keys.push_back(key(i));
        int failed = 0;
        for (const std::string& k : keys) {
            std::string out = "before:";
            const auto found = file.find(k, out);
            const auto expected = index.find(k);
            if (found == ReplyFile::Found::Failed) {
                ++failed;
                QCOMPARE(out, std::string("before:"));
                continue;
            }
            QCOMPARE(found == ReplyFile::Found::Yes, expected.has_value());
            QCOMPARE(out, "before:" + std::string(expected.value_or("")));
        }
        if (cut)
            QVERIFY(failed > 0);
        else
            QCOMPARE(failed, 0);
    }
};

QTEST_APPLESS_MAIN(TestReplyIndex)
#include "tst_replyindex.moc"
