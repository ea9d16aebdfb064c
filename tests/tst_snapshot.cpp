// The checked copy of the replies that an import keeps beside its database:
// used only while it belongs to exactly the database's bytes, and then
// answering as the database does; otherwise every entry is checked again.
#include "answer.h"
#include "commands.h"
#include "csvimport.h"
#include "filesource.h"
#include "snapshot.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>
#include <xxhash.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace velmario::server;
using namespace Qt::StringLiterals;

namespace {

constexpr int kEntries = 300;

std::string number(int i)
{
    return std::to_string(20'000'000 + i);
}

// A CSV of kEntries people; `tag` tells two directories apart.
std::string writeCsv(const QTemporaryDir& dir, const std::string& name, const std::string& tag)
{
    const std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
    std::ofstream out(path);
    out << "control_number,name,telephone\n";
    for (int i = 0; i < kEntries; ++i)
        out << number(i) << ",Íñigo Peña " << tag << i << " Œuvre,961-" << 100 + i << "-00" << i % 100 << "\n";
    return path;
}

bool execute(const std::string& db, const std::string& sql)
{
    sqlite3* handle = nullptr;
    const bool done = sqlite3_open(db.c_str(), &handle) == SQLITE_OK &&
                      sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(handle);
    return done;
}

// Turns every bit of the byte at `offset` (from the end when negative).
bool flipByte(const QString& path, qint64 offset)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    const qint64 at = offset < 0 ? f.size() + offset : offset;
    char c = 0;
    if (!f.seek(at) || !f.getChar(&c) || !f.seek(at))
        return false;
    return f.putChar(static_cast<char>(~c));
}

// What a table answers to every number, and to one it lacks.
std::string answers(const ReplyTable& table)
{
    std::string all;
    for (int i = 0; i <= kEntries; ++i) {
        answer(table, number(i), 256, all);
        all += '\n';
    }
    return all;
}

// The answers of the database file itself, its entries read one by one
// into a table of their own.
std::string truth(const std::string& db)
{
    std::string error;
    const auto directory = Directory::open(db, error);
    std::unique_ptr<const ReplyIndex> table;
    if (!directory || readReplies(*directory, kEntries, error, table) != Holding::InMemory)
        return "(" + error + ")";
    return answers(*table);
}

// How a table serves: "memory", "copy" (read where it lies in the checked
// copy) or "files" (built in files of its own).
std::string servedFrom(const ReplyTable& table)
{
    if (dynamic_cast<const ReplyFile*>(&table))
        return "copy";
    return static_cast<const ReplyIndex&>(table).inFiles() ? "files" : "memory";
}

// Puts in place of `copy` another directory's copy whose header claims the
// database `copy` belongs to, as someone who may write to the folder but
// not to the database could make one, owned by that someone (nobody).
bool plant(const QTemporaryDir& dir, const QString& copy)
{
    const std::string other = dir.filePath(u"planted.db"_s).toStdString();
    if (runImport(writeCsv(dir, "planted.csv", "P"), other, false) != 0)
        return false;
    QFile real(copy);
    QFile forged(QString::fromStdString(snapshot::pathFor(other)));
    if (!real.open(QIODevice::ReadOnly) || !forged.open(QIODevice::ReadWrite))
        return false;
    // The database's length and hash (bytes 64 to 88), then the header's own hash.
    QByteArray header = forged.read(112);
    header.replace(64, 24, real.read(112).mid(64, 24));
    const std::uint64_t hash = XXH3_64bits(header.constData(), 104);
    std::memcpy(header.data() + 104, &hash, sizeof hash);
    if (!forged.seek(0) || forged.write(header) != 112)
        return false;
    forged.close();
    return QFile::remove(copy) && forged.rename(copy) && ::chown(qPrintable(copy), 65534, 65534) == 0;
}

} // namespace

class TestSnapshot : public QObject
{
    Q_OBJECT

private slots:
    void copyIsUsedOnlyWhileItBelongs_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("maxMemory");
        QTest::addColumn<bool>("used");
        QTest::addColumn<bool>("refused");
        for (const int maxMemory : {1000, 0}) {
            const char* mode = maxMemory ? "memory" : "file";
            const auto row = [&](const char* name) -> QTestData& { return QTest::addRow("%s, %s", name, mode); };
            row("as imported") << u"none"_s << maxMemory << true << false;
            row("an entry edited by hand") << u"edit"_s << maxMemory << false << false;
            row("an entry edited to break the rules") << u"break"_s << maxMemory << false << true;
            row("the copy of another database") << u"other"_s << maxMemory << false << false;
            row("the copy's header damaged") << u"header"_s << maxMemory << false << false;
            row("no copy") << u"remove"_s << maxMemory << false << false;
            row("the copy cut short") << u"cut"_s << maxMemory << false << false;
            row("a reply in the copy damaged") << u"reply"_s << maxMemory << false << false;
            // What an older import that could not hold the replies left.
            row("a copy without replies") << u"no replies"_s << maxMemory << false << false;
            row("a copy made under other rules") << u"rules"_s << maxMemory << false << false;
            row("an entry edited keeping the file's length and time") << u"same length"_s << maxMemory << false << false;
            row("a copy its group may write to") << u"group writable"_s << maxMemory << false << false;
            row("a copy anyone may write to") << u"writable"_s << maxMemory << false << false;
            if (::geteuid() == 0)
                row("another directory's copy planted by another user") << u"planted"_s << maxMemory << false << false;
        }
        QTest::newRow("more entries than memory may hold") << u"none"_s << kEntries - 1 << true << false;
    }
    void copyIsUsedOnlyWhileItBelongs()
    {
        QFETCH(QString, change);
        QFETCH(int, maxMemory);
        QFETCH(bool, used);
        QFETCH(bool, refused);
        QTemporaryDir dir;
        const std::string db = dir.filePath(u"people.db"_s).toStdString();
        const QString copy = QString::fromStdString(snapshot::pathFor(db));
        QCOMPARE(runImport(writeCsv(dir, "people.csv", "A"), db, false), 0);
        QVERIFY(QFile::exists(copy));

        if (change == u"edit"_s) {
            QVERIFY(execute(db, "UPDATE directory SET name = 'Otra Persona' WHERE control_number = '" + number(7) + "'"));
        } else if (change == u"break"_s) {
            QVERIFY(execute(db, "UPDATE directory SET telephone = '1*2' WHERE control_number = '" + number(7) + "'"));
        } else if (change == u"other"_s) {
            const std::string other = dir.filePath(u"other.db"_s).toStdString();
            QCOMPARE(runImport(writeCsv(dir, "other.csv", "B"), other, false), 0);
            QVERIFY(QFile::remove(copy));
            QVERIFY(QFile::copy(QString::fromStdString(snapshot::pathFor(other)), copy));
        } else if (change == u"header"_s) {
            QVERIFY(flipByte(copy, 30));
        } else if (change == u"cut"_s) {
            QVERIFY(QFile::resize(copy, QFile(copy).size() / 2));
        } else if (change == u"reply"_s) {
            // The text's last bytes: the last reply's telephone.
            const qint64 tableBytes = 5 * qint64(ReplyIndex::slotCountFor(kEntries));
            QVERIFY(flipByte(copy, -tableBytes - 2));
        } else if (change == u"remove"_s) {
            QVERIFY(QFile::remove(copy));
        } else if (change == u"rules"_s) {
            // A whole header of another version of the rules for entries.
            QFile f(copy);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QByteArray header = f.read(112);
            QCOMPARE(header.size(), 112);
            std::uint64_t rules;
            std::memcpy(&rules, header.constData() + 24, sizeof rules);
            QCOMPARE(rules, std::uint64_t(kEntryRulesVersion));
            ++rules;
            std::memcpy(header.data() + 24, &rules, sizeof rules);
            const std::uint64_t hash = XXH3_64bits(header.constData(), 104);
            std::memcpy(header.data() + 104, &hash, sizeof hash);
            QVERIFY(f.seek(0));
            QCOMPARE(f.write(header), qint64(112));
        } else if (change == u"same length"_s) {
            struct stat before {};
            QCOMPARE(::stat(db.c_str(), &before), 0);
            QVERIFY(execute(db, "UPDATE directory SET name = replace(name, 'A7 ', 'Z7 ') WHERE control_number = '" +
                                    number(7) + "'"));
            struct stat after {};
            QCOMPARE(::stat(db.c_str(), &after), 0);
            QCOMPARE(after.st_size, before.st_size);
            const timespec times[2] = {before.st_atim, before.st_mtim};
            QCOMPARE(::utimensat(AT_FDCWD, db.c_str(), times, 0), 0);
        } else if (change == u"group writable"_s) {
            QVERIFY(QFile::setPermissions(copy, QFile::permissions(copy) | QFile::WriteGroup));
        } else if (change == u"writable"_s) {
            QVERIFY(QFile::setPermissions(copy, QFile::permissions(copy) | QFile::WriteOther));
        } else if (change == u"planted"_s) {
            QVERIFY(plant(dir, copy));
        } else if (change == u"no replies"_s) {
            std::string why;
            const auto file = snapshot::readDatabase(db, why);
            QVERIFY2(file, why.c_str());
            QVERIFY2(snapshot::write(db, *file, kEntries, nullptr, why), why.c_str());
        }

        const Loaded loaded = openDirectory(db, std::size_t(maxMemory));
        if (refused) {
            QVERIFY(!loaded.table);
            QVERIFY(loaded.rejected);
            QVERIFY2(QString::fromStdString(loaded.error).contains(QString::fromStdString(number(7))),
                     loaded.error.c_str());
            return;
        }
        QVERIFY2(loaded.table, loaded.error.c_str());
        QCOMPARE(QString::fromStdString(loaded.description).contains(u"checked when imported"_s), used);
        // Too many to hold: looked up in the copy itself, or, without a copy
        // that belongs, in a table built in files of its own.
        QCOMPARE(servedFrom(*loaded.table), maxMemory >= kEntries ? "memory" : used ? "copy" : "files");
        QCOMPARE(answers(*loaded.table), truth(db));
        if (change == u"edit"_s)
            QVERIFY(answers(*loaded.table).find("Otra Persona") != std::string::npos);
        if (change == u"same length"_s)
            QVERIFY(answers(*loaded.table).find("Z7 ") != std::string::npos);
    }

    // A database without a copy (written by an older release, say) gets
    // one from check, used from then on; one with a bad entry gets none.
    void checkKeepsACopy_data()
    {
        QTest::addColumn<bool>("broken");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("a good database") << false << 0;
        QTest::newRow("an entry breaking the rules") << true << 3;
    }
    void checkKeepsACopy()
    {
        QFETCH(bool, broken);
        QFETCH(int, exitCode);
        QTemporaryDir dir;
        const std::string db = dir.filePath(u"people.db"_s).toStdString();
        QCOMPARE(runImport(writeCsv(dir, "people.csv", "A"), db, false), 0);
        snapshot::remove(db);
        if (broken)
            QVERIFY(execute(db, "UPDATE directory SET telephone = '1*2' WHERE control_number = '" + number(7) + "'"));
        QCOMPARE(runCheck(db), exitCode);
        QCOMPARE(QFile::exists(QString::fromStdString(snapshot::pathFor(db))), !broken);
        if (broken)
            return;
        const Loaded loaded = openDirectory(db, 1000);
        QVERIFY2(loaded.table, loaded.error.c_str());
        QVERIFY2(QString::fromStdString(loaded.description).contains(u"checked when imported"_s),
                 loaded.description.c_str());
        QCOMPARE(answers(*loaded.table), truth(db));
    }

    // Import makes the database as the umask says, and the copy never
    // lets more users read than the database does, also once the database's
    // mode or group is changed after the import.
    void copyNeverGrantsMoreThanTheDatabase_data()
    {
        QTest::addColumn<int>("umask");
        QTest::addColumn<int>("dbMode");  // after import; -1: as imported
        QTest::addColumn<int>("dbGroup"); // after import; -1: as imported
        QTest::addColumn<int>("imported");
        QTest::newRow("imported under umask 027") << 027 << -1 << -1 << 0640;
        QTest::newRow("imported under umask 077") << 077 << -1 << -1 << 0600;
        QTest::newRow("the database made private later") << 022 << 0600 << -1 << 0644;
        if (::geteuid() == 0)
            QTest::newRow("the database given to another group later") << 027 << -1 << 65534 << 0640;
    }
    void copyNeverGrantsMoreThanTheDatabase()
    {
        QFETCH(int, umask);
        QFETCH(int, dbMode);
        QFETCH(int, dbGroup);
        QFETCH(int, imported);
        QTemporaryDir dir;
        const std::string db = dir.filePath(u"people.db"_s).toStdString();
        const std::string copy = snapshot::pathFor(db);
        const std::string csv = writeCsv(dir, "people.csv", "A");
        const mode_t before = ::umask(mode_t(umask));
        const int rc = runImport(csv, db, false);
        ::umask(before);
        QCOMPARE(rc, 0);
        struct stat st {};
        QCOMPARE(::stat(db.c_str(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), imported);
        QCOMPARE(::stat(copy.c_str(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), imported);
        if (dbMode >= 0)
            QCOMPARE(::chmod(db.c_str(), mode_t(dbMode)), 0);
        if (dbGroup >= 0)
            QCOMPARE(::chown(db.c_str(), uid_t(-1), gid_t(dbGroup)), 0);

        const Loaded loaded = openDirectory(db, 1000);
        QVERIFY2(loaded.table, loaded.error.c_str());
        QVERIFY2(QString::fromStdString(loaded.description).contains(u"checked when imported"_s),
                 loaded.description.c_str());
        struct stat database {};
        QCOMPARE(::stat(db.c_str(), &database), 0);
        QCOMPARE(::stat(copy.c_str(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), int(database.st_mode & 0777));
        QCOMPARE(st.st_gid, database.st_gid);
    }

    // Looked up where they lie, the replies must stay the bytes checked: a
    // copy written over or touched while it serves answers no more (the
    // server error, never another directory's reply) until a load checks it
    // again; one only unlinked, by another renamed over it, keeps its bytes
    // and serves on.
    void copyChangedWhileServed_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("left alone") << u"none"_s;
        QTest::newRow("another database's copy written over it") << u"written over"_s;
        QTest::newRow("touched") << u"touched"_s;
        QTest::newRow("another file renamed over it") << u"replaced"_s;
    }
    void copyChangedWhileServed()
    {
        QFETCH(QString, change);
        QTemporaryDir dir;
        const std::string db = dir.filePath(u"people.db"_s).toStdString();
        const QString copy = QString::fromStdString(snapshot::pathFor(db));
        QCOMPARE(runImport(writeCsv(dir, "people.csv", "A"), db, false), 0);
        const std::string other = dir.filePath(u"other.db"_s).toStdString();
        QCOMPARE(runImport(writeCsv(dir, "other.csv", "B"), other, false), 0);
        const QString otherCopy = QString::fromStdString(snapshot::pathFor(other));

        const Loaded loaded = openDirectory(db, 0);
        QVERIFY2(loaded.table, loaded.error.c_str());
        QCOMPARE(servedFrom(*loaded.table), "copy");
        const std::string served = truth(db);
        QCOMPARE(answers(*loaded.table), served);
        if (change == u"written over"_s) {
            QFile source(otherCopy);
            QVERIFY(source.open(QIODevice::ReadOnly));
            QFile target(copy);
            QVERIFY(target.open(QIODevice::ReadWrite)); // the same file, its bytes replaced
            QCOMPARE(target.write(source.readAll()), source.size());
        } else if (change == u"touched"_s) {
            QCOMPARE(::utimensat(AT_FDCWD, qPrintable(copy), nullptr, 0), 0);
        } else if (change == u"replaced"_s) {
            QCOMPARE(::rename(qPrintable(otherCopy), qPrintable(copy)), 0);
        }
        std::string failed;
        for (int i = 0; i <= kEntries; ++i)
            failed += std::string(fixedReply(kServerError)) + '\n';
        const bool stillServes = change == u"none"_s || change == u"replaced"_s;
        QCOMPARE(answers(*loaded.table), stillServes ? served : failed);
    }

    // A database written to while it is read is not served: what was read
    // may mix two versions of it.
    void databaseChangedWhileRead()
    {
        QTemporaryDir dir;
        const std::string db = dir.filePath(u"people.db"_s).toStdString();
        QCOMPARE(runImport(writeCsv(dir, "people.csv", "A"), db, false), 0);
        std::atomic<bool> done = false;
        std::atomic<long> turns = 0;
        // A new modification time at every turn, as a writer would leave.
        std::thread writer([&] {
            for (long turn = 1; !done; ++turn) {
                const timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000 + turn / 1'000'000'000, turn % 1'000'000'000}};
                ::utimensat(AT_FDCWD, db.c_str(), times, 0);
                turns = turn;
            }
        });
        while (turns == 0)
            std::this_thread::yield();
        // A load the writer happened not to overlap (a busy machine may not
        // run it for a while) is served, rightly: loaded again until one is.
        Loaded loaded;
        for (int attempt = 0; attempt < 2000; ++attempt) {
            loaded = openDirectory(db, 1000);
            if (!loaded.table)
                break;
        }
        done = true;
        writer.join();
        QVERIFY(!loaded.table);
        QVERIFY2(QString::fromStdString(loaded.error).contains(u"changed while it was read"_s), loaded.error.c_str());
    }
};

QTEST_APPLESS_MAIN(TestSnapshot)
#include "tst_snapshot.moc"
