#pragma once
// A checked copy of a database's replies, kept beside it as "<db>-replies"
// by the import that wrote the database, so that a start or a reload need
// not read and check every entry again: the replies are read back as they
// lay in memory, in well under a second for millions of entries.
//
// The copy names the exact bytes of the database it was made from (their
// length and 128-bit hash). A copy made from other bytes (the database
// changed by hand, replaced, truncated), a damaged or cut-short copy, or a
// file that is not one is never used: the database is then read and checked
// entry by entry, as without a copy.
//
// The copy is trusted as far as the database beside it is: it must belong to
// the database's owner (or root) and be writable by nobody else, so that
// only who may write one may write the other; its hashes catch damage and
// mismatches, not forgery. It never grants more reading than the database:
// a copy that does is given the database's group and mode at each load.

#include "replyindex.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace velmario::server::snapshot {

// Where the copy of the database at dbPath lies.
std::string pathFor(const std::string& dbPath);

// A database file as it was read: its bytes' length and hash, and which
// file it was, so that one put in its place since can be told apart.
struct DatabaseFile {
    std::uint64_t size = 0;
    std::uint64_t hashLow = 0;
    std::uint64_t hashHigh = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t modifiedNs = 0;
};
// Reads the whole database file once. Nothing, with `why`, if it cannot.
// `stopped`, if given, is asked as it goes whether to give up.
std::optional<DatabaseFile> readDatabase(const std::string& dbPath, std::string& why, bool (*stopped)() = nullptr);
// Whether dbPath is still the file `file` describes, unmodified.
bool unchanged(const std::string& dbPath, const DatabaseFile& file);

// Writes the copy for the database `file` describes: its `entries` entries
// and their replies (null only to make, for tests, a copy such as an older
// release's import left for a directory it could not hold, which the server
// no longer uses). The old copy is replaced only once the new one is
// complete. False, with `error`.
bool write(const std::string& dbPath, const DatabaseFile& file, std::size_t entries, const ReplyIndex* replies,
           std::string& error, bool (*stopped)() = nullptr);
// Removes the copy of dbPath, if there is one.
void remove(const std::string& dbPath);
// Removes what a write() killed on a file system without unnamed files
// left; only while no other import may be writing (see ImportLock).
void removeLeftovers(const std::string& dbPath);

// A copy that belongs to the database as it was read.
struct Match {
    DatabaseFile database;
    std::size_t entries = 0;
    bool holdsReplies = false;
};
enum class Found {
    None,    // no copy beside the database
    Matches, // a whole copy made from exactly these bytes
    Other,   // a copy that is damaged, not one, or made from other bytes: `why`
};
// Looks for the copy of the database at dbPath and checks it against the
// database's bytes as they are now, which it reads once.
Found find(const std::string& dbPath, Match& match, std::string& why);

// The replies of a copy find() matched, read again from the copy, which
// must still be the same whole copy. Nothing, with `why`, if it is not.
// Throws std::bad_alloc when there is no memory for them.
std::unique_ptr<const ReplyIndex> readReplies(const std::string& dbPath, const Match& match, std::string& why);

// The replies of a copy find() matched, looked up where they lie in it: the
// whole copy is read once to check it, then kept open. Nothing, with `why`,
// if it is not the same whole copy.
std::unique_ptr<const ReplyFile> openReplies(const std::string& dbPath, const Match& match, std::string& why);

} // namespace velmario::server::snapshot
