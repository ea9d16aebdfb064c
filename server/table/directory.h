#pragma once
// The directory as import writes it and export reads it: one SQLite table
// keyed by control number. Text is UTF-8 inside; the wire encoding is the
// caller's business. The server never looks a number up in it: it answers
// from a reply table built from it (replies.h) and checked once.

#include "replyindex.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace velmario::server {

struct Entry {
    std::string controlNumber;
    std::string name;
    std::string telephone;
};

class Directory
{
public:
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // Opens a database file read-only. Nothing, with the reason in `error`,
    // when it is missing, unreadable, not a database or lacks the table.
    static std::unique_ptr<Directory> open(const std::string& path, std::string& error);
    // The sample directory built into the program, held in memory.
    static std::unique_ptr<Directory> sample();

    // How many entries it holds; nothing if the table cannot be counted.
    std::optional<std::size_t> size();
    // Every entry, or nothing if the table could not be read to its end.
    std::optional<std::vector<Entry>> all();
    // Every entry in control-number order, one at a time, until `visit`
    // returns false. False if reading the table failed part way.
    bool forEach(const std::function<bool(const Entry&)>& visit);

    // Writes `entries` as a new database at `path`, replacing any old one
    // only once the new file is complete (written beside it, then renamed
    // over it). False, with the reason in `error`, if anything fails; the old
    // file is then untouched.
    static bool write(const std::string& path, const std::vector<Entry>& entries, std::string& error);

private:
    explicit Directory(sqlite3* db);
    // Whether the database has the directory's table, with its columns.
    bool hasTable(std::string& error);

    sqlite3* m_db = nullptr;
};

// A new database written entry by entry beside the one it will replace.
// Until commit() renames it over that one, nothing of the old file changes;
// a writer dropped before that removes its file. A file that a writer
// killed part way left behind is removed by the next writer for the same
// database.
class DirectoryWriter
{
public:
    DirectoryWriter() = default;
    ~DirectoryWriter();
    DirectoryWriter(const DirectoryWriter&) = delete;
    DirectoryWriter& operator=(const DirectoryWriter&) = delete;

    bool begin(const std::string& path, std::string& error);
    enum class Added { Ok, Duplicate, Failed };
    Added add(const Entry& entry, std::string& error);
    bool commit(std::string& error);
    std::size_t count() const { return m_count; }
    // Which file the new database is (device, inode), to know it again
    // once committed; nothing before begin().
    std::optional<std::pair<std::uint64_t, std::uint64_t>> file() const;
    // Removes the new file; the old database stays as it was.
    void discard();

private:
    std::string m_path;
    std::string m_temp;
    int m_lock = -1; // held on the new file while it is written
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_insert = nullptr;
    std::size_t m_count = 0;
};

// Why `path` is not a regular file one can read as `what` ("database
// file", "CSV file"): missing, a folder, a named pipe...; empty if it is one.
std::string notAFile(const std::string& path, std::string_view what);

// The folder `path` lies in: "." for a bare name.
std::string folderOf(const std::string& path);

// What is said of a database file whose table cannot be read to its end.
std::string damagedFile(const std::string& path);

// The people of the built-in sample directory.
const std::vector<Entry>& sampleEntries();

} // namespace velmario::server
