#include "directory.h"

#include <sqlite3.h>

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// Inserts one entry through `insert` ("INSERT INTO directory VALUES (?1,
// ?2, ?3)"), ready again afterwards; SQLite's result code.
int insertEntry(sqlite3_stmt* insert, const Entry& e)
{
    sqlite3_bind_text(insert, 1, e.controlNumber.data(), int(e.controlNumber.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, e.name.data(), int(e.name.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, e.telephone.data(), int(e.telephone.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(insert);
    sqlite3_reset(insert);
    return rc;
}

constexpr const char* kInsert = "INSERT INTO directory VALUES (?1, ?2, ?3)";

// Creates the table in an empty database and fills it with `entries`, in one
// transaction.
bool fill(sqlite3* db, const std::vector<Entry>& entries, std::string& error)
{
    if (!exec(db, kSchema, error) || !exec(db, "BEGIN", error))
        return false;
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(db, kInsert, -1, &insert, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        return false;
    }
    bool ok = true;
    for (std::size_t i = 0; ok && i < entries.size(); ++i) {
        if (insertEntry(insert, entries[i]) != SQLITE_DONE) {
            error = sqlite3_errmsg(db);
            ok = false;
        }
    }
    sqlite3_finalize(insert);
    return ok && exec(db, "COMMIT", error);
}

} // namespace

std::string damagedFile(const std::string& path)
{
    return path + ": the directory cannot be read to its end; the file is damaged";
}

Directory::Directory(sqlite3* db)
    : m_db(db)
{
}

Directory::~Directory()
{
    sqlite3_close(m_db);
}

bool Directory::hasTable(std::string& error)
{
    const char* sql = "SELECT control_number, name, telephone FROM directory WHERE control_number = ?1";
    sqlite3_stmt* statement = nullptr;
    const bool has = sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) == SQLITE_OK;
    if (!has)
        error = sqlite3_errmsg(m_db);
    sqlite3_finalize(statement);
    return has;
}

std::string notAFile(const std::string& path, std::string_view what)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    std::string kind;
    switch (status.type()) {
    case fs::file_type::regular: return {};
    case fs::file_type::not_found: return path + ": no such " + std::string(what);
    case fs::file_type::directory: kind = "a folder"; break;
    case fs::file_type::fifo: kind = "a named pipe (FIFO)"; break;
    case fs::file_type::socket: kind = "a socket"; break;
    case fs::file_type::character:
    case fs::file_type::block: kind = "a device"; break;
    default:
        return path + ": cannot be examined" + (ec ? " (" + ec.message() + ")" : std::string());
    }
    return path + " is " + kind + ", not a " + std::string(what);
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::unique_ptr<Directory> Directory::open(const std::string& path, std::string& error)
{
    error = notAFile(path, "database file");
    if (!error.empty())
        return nullptr;
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
    // The file is read through read calls, never mapped into memory: a
    // file truncated or rewritten under the server then gives a read error
    // instead of killing the process with SIGBUS.
    std::string why;
    exec(db, "PRAGMA mmap_size = 0; PRAGMA cache_size = -16384", why);
    if (!directory->hasTable(why)) {
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
    if (!fill(db, sampleEntries(), error))
        return nullptr;
    return directory;
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
    if (!m_db)
        return false;
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
    DirectoryWriter writer;
    if (!writer.begin(path, error))
        return false;
    for (const Entry& e : entries) {
        if (writer.add(e, error) != DirectoryWriter::Added::Ok) {
            if (error.empty())
                error = "control number " + e.controlNumber + " appears twice";
            return false;
        }
    }
    return writer.commit(error);
}

DirectoryWriter::~DirectoryWriter()
{
    discard();
}

void DirectoryWriter::discard()
{
    sqlite3_finalize(m_insert);
    m_insert = nullptr;
    sqlite3_close(m_db);
    m_db = nullptr;
    if (!m_temp.empty()) {
        std::remove(m_temp.c_str());
        m_temp.clear();
    }
    if (m_lock >= 0) {
        ::close(m_lock);
        m_lock = -1;
    }
}

bool DirectoryWriter::begin(const std::string& path, std::string& error)
{
    namespace fs = std::filesystem;
    discard();
    m_path = path;
    m_count = 0;
    const fs::path target(path);
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about
    // '"." + std::string', wrongly.
    std::string prefix = ".";
    prefix += target.filename().string();
    prefix += ".new-";

    // A writer holds a lock on its file while it writes: a file of ours
    // that nobody holds was left by a writer that was killed.
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(dir, ec)) {
        const std::string name = item.path().filename().string();
        if (name.rfind(prefix, 0) != 0 || name.size() != prefix.size() + 6)
            continue;
        const int fd = ::open(item.path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            fs::remove(item.path(), ec);
        ::close(fd);
    }

    std::string pattern = (dir / (prefix + "XXXXXX")).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a new database beside " + path;
        return false;
    }
    m_lock = fd;
    m_temp = pattern;
    ::flock(m_lock, LOCK_EX);

    std::string why;
    if (sqlite3_open_v2(m_temp.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        error = m_db ? sqlite3_errmsg(m_db) : "cannot open";
        discard();
        return false;
    }
    if (!exec(m_db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", why) || !exec(m_db, kSchema, why)
        || !exec(m_db, "BEGIN", why)) {
        error = why;
        discard();
        return false;
    }
    if (sqlite3_prepare_v2(m_db, kInsert, -1, &m_insert, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(m_db);
        discard();
        return false;
    }
    return true;
}

DirectoryWriter::Added DirectoryWriter::add(const Entry& e, std::string& error)
{
    if (!m_insert) {
        error = "the new database is not open";
        return Added::Failed;
    }
    const int rc = insertEntry(m_insert, e);
    const int extended = sqlite3_extended_errcode(m_db);
    if (rc == SQLITE_DONE) {
        ++m_count;
        return Added::Ok;
    }
    if (extended == SQLITE_CONSTRAINT_PRIMARYKEY)
        return Added::Duplicate;
    error = sqlite3_errmsg(m_db);
    return Added::Failed;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> DirectoryWriter::file() const
{
    struct stat st {};
    if (m_lock < 0 || ::fstat(m_lock, &st) != 0)
        return std::nullopt;
    return std::pair<std::uint64_t, std::uint64_t>(st.st_dev, st.st_ino);
}

bool DirectoryWriter::commit(std::string& error)
{
    namespace fs = std::filesystem;
    std::string why;
    sqlite3_finalize(m_insert);
    m_insert = nullptr;
    bool ok = m_db && exec(m_db, "COMMIT", why);
    if (m_db && sqlite3_close(m_db) != SQLITE_OK && ok) {
        why = "cannot close the new database";
        ok = false;
    }
    m_db = nullptr;
    if (!ok) {
        error = why;
        discard();
        return false;
    }
    // The new file is complete on disk before it takes the old one's name.
    ::fsync(m_lock);
    // Made private, then given what the umask allows, as any new file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(m_lock, 0666 & ~mask) != 0) {
        error = "cannot give " + m_temp + " its permissions: " + std::strerror(errno);
        discard();
        return false;
    }
    std::error_code ec;
    fs::rename(m_temp, m_path, ec);
    if (ec) {
        error = "cannot replace " + m_path + ": " + ec.message();
        discard();
        return false;
    }
    m_temp.clear();
    discard();
    return true;
}

} // namespace velmario::server
