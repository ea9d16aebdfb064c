#include "directory.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <unistd.h>

namespace velmario::server {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE directory ("
    " control_number TEXT PRIMARY KEY NOT NULL,"
    " name TEXT NOT NULL,"
    " telephone TEXT NOT NULL) WITHOUT ROWID";

// SQLite URIs need '%', '?' and '#' escaped in the path.
std::string fileUri(const std::string& path)
{
    std::string uri = "file:";
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    // The file is only ever replaced by renaming a new one over it, never
    // changed in place, so it can be read without any locking.
    return uri + "?mode=ro&immutable=1";
}

std::string text(sqlite3_stmt* statement, int column)
{
    const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return value ? std::string(value, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                 : std::string();
}

bool exec(sqlite3* db, const char* sql, std::string& error)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        error = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        return false;
    }
    return true;
}

} // namespace

Directory::Directory(sqlite3* db)
    : m_db(db)
{
}

Directory::~Directory()
{
    sqlite3_finalize(m_find);
    sqlite3_close(m_db);
}

bool Directory::prepare(std::string& error)
{
    const char* sql = "SELECT name, telephone FROM directory WHERE control_number = ?1";
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_find, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    return true;
}

std::unique_ptr<Directory> Directory::open(const std::string& path, std::string& error)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = path + ": no such database file";
        return nullptr;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        error = path + ": the database file cannot be read (permission denied)";
        return nullptr;
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(fileUri(path).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    std::unique_ptr<Directory> directory(new Directory(db));
    if (rc != SQLITE_OK) {
        error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot open the database");
        return nullptr;
    }
    // Lookups land anywhere in the file: map it rather than read pages
    // through system calls one lookup at a time.
    std::string why;
    exec(db, "PRAGMA mmap_size = 1073741824; PRAGMA cache_size = -16384", why);
    if (!directory->prepare(why)) {
        error = path + ": not a directory database (" + why + ")";
        return nullptr;
    }
    return directory;
}

std::unique_ptr<Directory> Directory::sample()
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<Directory> directory(new Directory(db));
    std::string error;
    if (!exec(db, kSchema, error))
        return nullptr;
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO directory VALUES (?1, ?2, ?3)", -1, &insert, nullptr);
    for (const Entry& e : sampleEntries()) {
        sqlite3_bind_text(insert, 1, e.controlNumber.data(), int(e.controlNumber.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 2, e.name.data(), int(e.name.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 3, e.telephone.data(), int(e.telephone.size()), SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    if (!directory->prepare(error))
        return nullptr;
    return directory;
}

std::optional<Entry> Directory::find(std::string_view controlNumber)
{
    sqlite3_reset(m_find);
    sqlite3_bind_text(m_find, 1, controlNumber.data(), int(controlNumber.size()), SQLITE_STATIC);
    std::optional<Entry> entry;
    if (sqlite3_step(m_find) == SQLITE_ROW)
        entry = Entry{std::string(controlNumber), text(m_find, 0), text(m_find, 1)};
    sqlite3_reset(m_find);
    sqlite3_clear_bindings(m_find);
    return entry;
}

void Directory::setReplies(std::unique_ptr<const ReplyIndex> replies)
{
    m_replies = std::move(replies);
    // Lookups no longer read the file: let its pages go.
    std::string ignored;
    exec(m_db, "PRAGMA mmap_size = 0; PRAGMA shrink_memory", ignored);
}

std::optional<std::size_t> Directory::size()
{
    sqlite3_stmt* count = nullptr;
    std::optional<std::size_t> n;
    if (sqlite3_prepare_v2(m_db, "SELECT count(*) FROM directory", -1, &count, nullptr) == SQLITE_OK
        && sqlite3_step(count) == SQLITE_ROW)
        n = static_cast<std::size_t>(sqlite3_column_int64(count, 0));
    sqlite3_finalize(count);
    return n;
}

std::optional<std::vector<Entry>> Directory::all()
{
    std::vector<Entry> entries;
    const bool complete = forEach([&](const Entry& e) {
        entries.push_back(e);
        return true;
    });
    if (!complete)
        return std::nullopt;
    return entries;
}

bool Directory::forEach(const std::function<bool(const Entry&)>& visit)
{
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT control_number, name, telephone FROM directory ORDER BY control_number",
                           -1, &select, nullptr) != SQLITE_OK)
        return false;
    int rc = SQLITE_ROW;
    Entry entry;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
        entry.controlNumber = text(select, 0);
        entry.name = text(select, 1);
        entry.telephone = text(select, 2);
        if (!visit(entry)) {
            rc = SQLITE_DONE;
            break;
        }
    }
    sqlite3_finalize(select);
    return rc == SQLITE_DONE;
}

bool Directory::write(const std::string& path, const std::vector<Entry>& entries, std::string& error)
{
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about
    // '"." + std::string', wrongly.
    std::string name = ".";
    name += target.filename().string();
    name += ".new-XXXXXX";
    std::string pattern = (dir / name).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        error = "cannot create a new database beside " + path;
        return false;
    }
    ::close(fd);
    const std::string temp = pattern;
    const auto fail = [&](const std::string& why) {
        error = why;
        std::remove(temp.c_str());
        return false;
    };

    sqlite3* db = nullptr;
    if (sqlite3_open_v2(temp.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "cannot open";
        sqlite3_close(db);
        return fail(why);
    }
    std::string why;
    bool ok = exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", why)
              && exec(db, kSchema, why) && exec(db, "BEGIN", why);
    sqlite3_stmt* insert = nullptr;
    if (ok && sqlite3_prepare_v2(db, "INSERT INTO directory VALUES (?1, ?2, ?3)", -1, &insert, nullptr) != SQLITE_OK) {
        why = sqlite3_errmsg(db);
        ok = false;
    }
    for (std::size_t i = 0; ok && i < entries.size(); ++i) {
        const Entry& e = entries[i];
        sqlite3_bind_text(insert, 1, e.controlNumber.data(), int(e.controlNumber.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 2, e.name.data(), int(e.name.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 3, e.telephone.data(), int(e.telephone.size()), SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            why = sqlite3_errmsg(db);
            ok = false;
        }
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ok = ok && exec(db, "COMMIT", why);
    if (sqlite3_close(db) != SQLITE_OK && ok) {
        why = "cannot close the new database";
        ok = false;
    }
    if (!ok)
        return fail(why);
    // The new file is complete on disk before it takes the old one's name.
    const int sync = ::open(temp.c_str(), O_RDONLY);
    if (sync >= 0) {
        ::fsync(sync);
        ::close(sync);
    }
    std::error_code ec;
    fs::permissions(temp, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read
                              | fs::perms::others_read, ec);
    fs::rename(temp, target, ec);
    if (ec)
        return fail("cannot replace " + path + ": " + ec.message());
    return true;
}

} // namespace velmario::server
