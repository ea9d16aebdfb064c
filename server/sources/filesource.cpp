#include "filesource.h"

#include "replies.h"
#include "log.h"
#include "snapshot.h"

#include <array>
#include <cstdint>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmario::server {

namespace {

// Reads the replies of a directory already checked and serving.
std::unique_ptr<const ReplyIndex> readHeld(Directory& directory, const std::string& dbPath,
                                           std::size_t maxMemoryEntries, std::string& why)
{
    std::unique_ptr<const ReplyIndex> replies;
    std::string problem;
    switch (readReplies(directory, maxMemoryEntries, problem, replies)) {
    case Holding::InMemory: return replies;
    case Holding::TooLarge: why = "not enough memory"; break;
    case Holding::Unreadable: why = damagedFile(dbPath); break;
    case Holding::Invalid: why = problem; break;
    }
    return nullptr;
}

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

Loaded openOnce(const std::string& dbPath, std::size_t maxMemoryEntries, bool later)
{
    Loaded opened;
    // A checked copy of the replies, if import left one that belongs to
    // exactly these bytes, spares reading and checking every entry.
    snapshot::Found copy = snapshot::Found::None;
    snapshot::Match match;
    std::string copyProblem;
    if (dbPath.empty()) {
        opened.directory = Directory::sample();
        if (!opened.directory)
            opened.error = "cannot build the sample directory";
    } else {
        if (notAFile(dbPath, "database file").empty())
            copy = snapshot::find(dbPath, match, copyProblem);
        opened.directory = Directory::open(dbPath, opened.error);
        if (copy == snapshot::Found::Matches && opened.directory && !snapshot::unchanged(dbPath, match.database)) {
            copy = snapshot::Found::Other;
            copyProblem = "the database changed while it was read";
        }
    }
    if (!opened.directory)
        return opened;
    const auto damaged = [&] {
        opened.error = damagedFile(dbPath);
        opened.directory.reset();
        return std::move(opened);
    };
    const auto copyRefused = [&] {
        logCopyRefused(dbPath, copyProblem);
        copy = snapshot::Found::Other;
    };
    if (copy == snapshot::Found::Other)
        copyRefused();
    else if (copy == snapshot::Found::None && !dbPath.empty())
        log(dbPath + " has no checked copy beside it: every entry is checked at each load; 'velmario-server check "
                     "--db " + dbPath + "' keeps one, as import does",
            LogPriority::Notice);
    const bool fits = maxMemoryEntries > 0 && (copy != snapshot::Found::Matches || match.entries <= maxMemoryEntries);
    // A copy without replies (the import could not hold them) vouches only
    // for serving from the file: one that fits is read as without a copy.
    if (copy == snapshot::Found::Matches && fits && !match.holdsReplies)
        copy = snapshot::Found::None;
    std::optional<std::size_t> entries;
    std::string how = "looked up in the database file";
    std::string problem;
    Holding holding = Holding::TooLarge;
    bool holdLater = false;
    if (copy == snapshot::Found::Matches) {
        entries = match.entries;
        how = "looked up in the database file, checked when imported";
        bool onDisk = !fits;
        if (fits && later) {
            holdLater = true;
        } else if (fits) {
            try {
                if (auto replies = snapshot::readReplies(dbPath, match, copyProblem)) {
                    opened.directory->setReplies(std::move(replies));
                    holding = Holding::InMemory;
                } else {
                    copyRefused();
                }
            } catch (const std::bad_alloc&) {
                log("not enough memory to hold the replies of " + dbPath + ": they are looked up on disk",
                    LogPriority::Warning);
                onDisk = true;
            }
        }
        if (copy == snapshot::Found::Matches && onDisk && match.holdsReplies) {
            // Too many to hold: looked up where they lie in the copy, a
            // slot and an entry read for each, rather than through the
            // database's B-tree.
            if (auto file = snapshot::openReplies(dbPath, match, copyProblem)) {
                opened.directory->setReplyFile(std::move(file), snapshot::pathFor(dbPath));
                how = "looked up on disk in the copy of its replies checked when imported";
            } else {
                copyRefused();
            }
        }
    }
    if (copy != snapshot::Found::Matches) {
        entries.reset();
        how = "looked up in the database file";
        if (maxMemoryEntries > 0 && later) {
            entries = opened.directory->size();
            if (!entries)
                return damaged();
            holdLater = *entries <= maxMemoryEntries;
        } else if (maxMemoryEntries > 0) {
            holding = holdRepliesInMemory(*opened.directory, maxMemoryEntries, problem);
        }
    }
    if (holdLater) {
        how = "looked up in the database file until its replies are held in memory";
        const bool fromCopy = copy == snapshot::Found::Matches;
        opened.holdLater = [dbPath, maxMemoryEntries, fromCopy, match](Directory& directory, std::string& why) {
            if (fromCopy) {
                std::string refused;
                if (auto replies = snapshot::readReplies(dbPath, match, refused))
                    return replies;
                logCopyRefused(dbPath, refused);
            }
            return readHeld(directory, dbPath, maxMemoryEntries, why);
        };
    }
    switch (holding) {
    case Holding::InMemory: {
        const ReplyIndex& replies = *opened.directory->replies();
        entries = replies.size();
        how = heldInMemory(replies);
        if (copy == snapshot::Found::Matches)
            how += ", read from the copy checked when imported";
        break;
    }
    case Holding::TooLarge: {
        if (copy == snapshot::Found::Matches)
            break; // checked when imported, and the bytes are the same
        // Served from the file: every entry is still checked once.
        const auto checked = checkDirectory(*opened.directory);
        if (!checked)
            return damaged();
        problem = *checked;
        break;
    }
    case Holding::Unreadable:
        return damaged();
    case Holding::Invalid:
        break;
    }
    if (!problem.empty()) {
        opened.error = (dbPath.empty() ? std::string("the sample directory") : dbPath) + ": " + problem;
        opened.rejected = true;
        opened.directory.reset();
        return opened;
    }
    if (!entries)
        entries = opened.directory->size();
    if (!entries)
        return damaged();
    opened.entries = *entries;
    opened.description = std::to_string(*entries) + " entries from " +
                         (dbPath.empty() ? std::string("the sample directory") : dbPath) + " (" + how + ")";
    return opened;
}

} // namespace

Loaded openDirectory(const std::string& dbPath, std::size_t maxMemoryEntries, bool later)
{
    // The file read, held open: one renamed over it meanwhile is read at
    // the next reload and does not matter to this one.
    const int fd = dbPath.empty() ? -1 : ::open(dbPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const auto before = lookAt(fd);
    Loaded opened = openOnce(dbPath, maxMemoryEntries, later);
    const auto after = lookAt(fd);
    if (fd >= 0)
        ::close(fd);
    if (!opened.directory || dbPath.empty() || after == before)
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

Loaded FileSource::loadAgain(Wake*, Clock::time_point)
{
    return openDirectory(m_dbPath, m_maxMemoryEntries, true);
}

std::string FileSource::name() const
{
    return m_dbPath.empty() ? std::string("the sample directory") : m_dbPath;
}

} // namespace velmario::server
