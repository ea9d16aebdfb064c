#include "filesource.h"

#include "replies.h"
#include "log.h"
#include "snapshot.h"

#include <array>
#include <cstdio>
#include <cstdint>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmario::server {

namespace {

// Says why the checked copy beside dbPath is not used.
void logCopyRefused(const std::string& dbPath, const std::string& why)
{
    log(snapshot::pathFor(dbPath) + ": " + why + ": not used; every entry of " + dbPath +
            " is checked instead ('velmario-server check --db " + dbPath + "' keeps a new copy)",
        LogPriority::Warning);
}

// How the file open at `fd` stands, to tell whether it was written to
// between two looks.
std::optional<std::array<std::int64_t, 5>> lookAt(int fd)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return std::nullopt;
    return std::array<std::int64_t, 5>{std::int64_t(st.st_dev), std::int64_t(st.st_ino), std::int64_t(st.st_size),
                                       std::int64_t(st.st_mtim.tv_sec), std::int64_t(st.st_mtim.tv_nsec)};
}

// The table of a copy that matches the database: in memory when its
// entries may be held there, otherwise read where it lies in the copy.
// Nothing, with `why`, when the copy turns out not to be usable.
std::unique_ptr<const ReplyTable> fromCopy(const std::string& dbPath, const snapshot::Match& match,
                                           std::size_t maxMemoryEntries, std::string& why, std::string& how)
{
    if (match.entries <= maxMemoryEntries) {
        try {
            auto replies = snapshot::readReplies(dbPath, match, why);
            if (replies)
                how = heldInMemory(*replies) + ", read from the copy checked when imported";
            return replies;
        } catch (const std::bad_alloc&) {
            log("not enough memory to hold the replies of " + dbPath + ": they are looked up on disk",
                LogPriority::Warning);
        }
    }
    auto file = snapshot::openReplies(dbPath, match, why);
    if (file)
        how = "looked up on disk in the copy of its replies checked when imported";
    return file;
}

// Where a table too large to hold in memory is built: beside the database
// when its folder may be written, else in the system's folder for large
// temporary files (the service's own, under systemd).
std::string folderForFiles(const std::string& dbPath)
{
    const std::string folder = folderOf(dbPath);
    return ::access(folder.c_str(), W_OK) == 0 ? folder : "/var/tmp";
}

// The checked copy beside dbPath, if there is one that belongs to exactly
// the database's bytes and holds their replies; why not, said in the log.
std::optional<snapshot::Match> matchingCopy(const std::string& dbPath)
{
    if (!notAFile(dbPath, "database file").empty())
        return std::nullopt;
    snapshot::Match match;
    std::string why;
    switch (snapshot::find(dbPath, match, why)) {
    case snapshot::Found::None:
        log(dbPath + " has no checked copy beside it: every entry is checked at each load; 'velmario-server "
                     "check --db " + dbPath + "' keeps one, as import does",
            LogPriority::Notice);
        return std::nullopt;
    case snapshot::Found::Other: break;
    case snapshot::Found::Matches:
        if (!match.holdsReplies)
            why = "it holds no replies";
        else if (!snapshot::unchanged(dbPath, match.database))
            why = "the database changed while it was read";
        else
            return match;
        break;
    }
    logCopyRefused(dbPath, why);
    return std::nullopt;
}

// Reads and checks every entry of the database at dbPath (empty: the
// sample) into a table: in memory when it may be held there, otherwise in
// files of its own. False, with why in `opened`, when it cannot.
bool build(const std::string& dbPath, std::size_t maxMemoryEntries, Loaded& opened, std::string& how)
{
    std::unique_ptr<Directory> directory = dbPath.empty() ? Directory::sample() : Directory::open(dbPath, opened.error);
    const std::optional<std::size_t> entries = directory ? directory->size() : std::nullopt;
    if (!entries) {
        opened.error = dbPath.empty() ? "cannot build the sample directory"
                       : directory    ? damagedFile(dbPath)
                                      : opened.error;
        return false;
    }
    const bool fits = dbPath.empty() || *entries <= maxMemoryEntries;
    std::unique_ptr<const ReplyIndex> replies;
    std::string problem;
    switch (readReplies(*directory, ReplyIndex::kMaxEntries, problem, replies, nullptr,
                        fits ? std::string() : folderForFiles(dbPath))) {
    case Holding::InMemory: break;
    case Holding::TooLarge:
        opened.error = dbPath + ": cannot be read into a table: " + (problem.empty() ? "not enough memory" : problem);
        return false;
    case Holding::Unreadable: opened.error = damagedFile(dbPath); return false;
    case Holding::Invalid:
        opened.error = (dbPath.empty() ? std::string("the sample directory") : dbPath) + ": " + problem;
        opened.rejected = true;
        return false;
    }
    char held[96];
    std::snprintf(held, sizeof held, "more than --max-memory-entries: looked up in a table of its own on disk, %.1f MiB",
                  double(replies->memoryBytes()) / (1024.0 * 1024.0));
    how = replies->inFiles() ? std::string(held) : heldInMemory(*replies);
    opened.table = std::move(replies);
    return true;
}

// Decides two things: whether a checked copy spares reading every entry,
// and whether the entries may be held in memory (fromCopy, build).
Loaded openOnce(const std::string& dbPath, std::size_t maxMemoryEntries)
{
    Loaded opened;
    std::string how;
    if (const auto match = dbPath.empty() ? std::nullopt : matchingCopy(dbPath)) {
        std::string why;
        opened.table = fromCopy(dbPath, *match, maxMemoryEntries, why, how);
        if (!opened.table)
            logCopyRefused(dbPath, why);
    }
    if (!opened.table && !build(dbPath, maxMemoryEntries, opened, how))
        return opened;
    opened.entries = opened.table->size();
    opened.description = std::to_string(opened.entries) + " entries from " +
                         (dbPath.empty() ? std::string("the sample directory") : dbPath) + " (" + how + ")";
    return opened;
}

} // namespace

Loaded openDirectory(const std::string& dbPath, std::size_t maxMemoryEntries)
{
    // The file read, held open: one renamed over it meanwhile is read at
    // the next reload and does not matter to this one.
    const int fd = dbPath.empty() ? -1 : ::open(dbPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const auto before = lookAt(fd);
    Loaded opened = openOnce(dbPath, maxMemoryEntries);
    const auto after = lookAt(fd);
    if (fd >= 0)
        ::close(fd);
    if (!opened.table || dbPath.empty() || after == before)
        return opened;
    // Written to while it was read: what was read may mix two versions,
    // so none of it is served.
    opened = {};
    opened.error = dbPath + " changed while it was read: not served; it is read again at the next reload";
    return opened;
}

Loaded FileSource::load(Wake*, Clock::time_point)
{
    return openDirectory(m_dbPath, m_maxMemoryEntries);
}

std::string FileSource::name() const
{
    return m_dbPath.empty() ? std::string("the sample directory") : m_dbPath;
}

} // namespace velmario::server
