#include "snapshot.h"

#include "csvimport.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

namespace velmario::server::snapshot {

namespace {

constexpr char kMagic[8] = {'V', 'E', 'L', 'M', 'R', 'E', 'P', 'L'};
// Read back as written only on a machine of the same byte order.
constexpr std::uint64_t kByteOrder = 0x0102030405060708ULL;
// The layout of the copy and of the table in it, its hash included.
constexpr std::uint64_t kVersion = 1;
constexpr std::size_t kBlock = 1 << 20;

struct Header {
    char magic[8];
    std::uint64_t byteOrder;
    std::uint64_t version;
    std::uint64_t rules; // kEntryRulesVersion
    std::uint64_t entries;
    std::uint64_t holdsReplies;
    std::uint64_t textBytes;
    std::uint64_t slotCount;
    std::uint64_t databaseSize;
    std::uint64_t databaseLow;
    std::uint64_t databaseHigh;
    std::uint64_t bodyLow;
    std::uint64_t bodyHigh;
    std::uint64_t headerHash; // of every field above
};
static_assert(sizeof(Header) == 8 + 13 * 8, "a header without padding");

constexpr std::size_t kSlotBytes = 5;

std::uint64_t headerHash(const Header& h)
{
    return XXH3_64bits(&h, offsetof(Header, headerHash));
}

// XXH3's 128-bit hash, fed piece by piece.
class Hash128
{
public:
    Hash128() : m_state(XXH3_createState())
    {
        if (!m_state)
            throw std::bad_alloc();
        XXH3_128bits_reset(m_state);
    }
    ~Hash128() { XXH3_freeState(m_state); }
    Hash128(const Hash128&) = delete;
    Hash128& operator=(const Hash128&) = delete;
    void add(const void* data, std::size_t bytes) { XXH3_128bits_update(m_state, data, bytes); }
    XXH128_hash_t digest() const { return XXH3_128bits_digest(m_state); }

private:
    XXH3_state_t* m_state;
};

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// Reads or writes exactly `bytes` with `io`; false at an error or the
// file's end before them.
template <class Io, class Byte>
bool whole(Io io, int fd, Byte* at, std::size_t bytes)
{
    while (bytes > 0) {
        const ssize_t n = io(fd, at, std::min(bytes, kBlock * 64));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(int fd, char* into, std::size_t bytes) { return whole(::read, fd, into, bytes); }
bool writeAll(int fd, const char* from, std::size_t bytes) { return whole(::write, fd, from, bytes); }

std::int64_t modifiedNs(const struct stat& st)
{
    return std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

std::size_t bodyBytes(const Header& h)
{
    return h.holdsReplies ? h.textBytes + h.slotCount * kSlotBytes : 0;
}

// The header of the copy open at `fd`, if it is one whole and made here.
bool readHeader(int fd, Header& h, std::string& why)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    if (!readAll(fd, reinterpret_cast<char*>(&h), sizeof h) || std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) {
        why = "not a copy of replies";
        return false;
    }
    if (h.byteOrder != kByteOrder) {
        why = "made on a machine of another byte order";
        return false;
    }
    if (h.version != kVersion || h.rules != kEntryRulesVersion) {
        why = "made by another version of velmario-server";
        return false;
    }
    if (h.headerHash != headerHash(h) || h.holdsReplies > 1 || h.textBytes > ReplyIndex::kMaxTextBytes ||
        h.slotCount > (std::uint64_t(1) << 32)) {
        why = "damaged";
        return false;
    }
    if (std::uint64_t(st.st_size) != sizeof h + bodyBytes(h)) {
        why = "cut short or damaged";
        return false;
    }
    return true;
}

// Whether the copy open at `fd` could only have been written by whoever may
// write the database `db` (its owner, or root), and grants no more reading
// than the database: a copy readable by more is given the database's group
// and mode (dropping execute bits), when this process may. False, with `why`.
bool trusted(int fd, const struct stat& db, std::string& why)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (st.st_uid != db.st_uid && st.st_uid != 0) {
        why = "owned by user " + std::to_string(st.st_uid) + ", not by the database's owner (user " +
              std::to_string(db.st_uid) + ") or root";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "other users may write to it";
        return false;
    }
    const mode_t wanted = db.st_mode & 0666;
    const bool wider = (st.st_mode & 0777 & ~wanted) != 0;
    const bool otherGroup = st.st_gid != db.st_gid && (st.st_mode & S_IRWXG) != 0;
    if (!wider && !otherGroup)
        return true;
    // The group first: a change of group may drop set-id bits, never add reading.
    if ((otherGroup && ::fchown(fd, static_cast<uid_t>(-1), db.st_gid) != 0) || ::fchmod(fd, wanted) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        why = std::string("readable by more users than the database (mode ") + mode +
              ") and cannot be given its permissions: " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

std::string pathFor(const std::string& dbPath)
{
    return dbPath + "-replies";
}

std::optional<DatabaseFile> readDatabase(const std::string& dbPath, std::string& why, bool (*stopped)())
{
    const Fd fd(::open(dbPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return std::nullopt;
    }
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    Hash128 hash;
    std::unique_ptr<char[]> block(new char[kBlock]);
    std::uint64_t size = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), block.get(), kBlock);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0)
            break;
        if (stopped && stopped()) {
            why = "stopped";
            return std::nullopt;
        }
        hash.add(block.get(), static_cast<std::size_t>(n));
        size += static_cast<std::uint64_t>(n);
    }
    const XXH128_hash_t digest = hash.digest();
    DatabaseFile file;
    file.size = size;
    file.hashLow = digest.low64;
    file.hashHigh = digest.high64;
    file.device = st.st_dev;
    file.inode = st.st_ino;
    file.modifiedNs = modifiedNs(st);
    return file;
}

bool unchanged(const std::string& dbPath, const DatabaseFile& file)
{
    struct stat st {};
    return ::stat(dbPath.c_str(), &st) == 0 && st.st_dev == file.device && st.st_ino == file.inode &&
           std::uint64_t(st.st_size) == file.size && modifiedNs(st) == file.modifiedNs;
}

bool write(const std::string& dbPath, const DatabaseFile& file, std::size_t entries, const ReplyIndex* replies,
           std::string& error, bool (*stopped)())
{
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.byteOrder = kByteOrder;
    h.version = kVersion;
    h.rules = kEntryRulesVersion;
    h.entries = entries;
    h.databaseSize = file.size;
    h.databaseLow = file.hashLow;
    h.databaseHigh = file.hashHigh;
    ReplyIndex::Image image{};
    if (replies) {
        image = replies->image();
        h.holdsReplies = 1;
        h.entries = image.entries;
        h.textBytes = image.text.size();
        h.slotCount = image.slotCount;
        Hash128 hash;
        hash.add(image.text.data(), image.text.size());
        hash.add(image.table.data(), image.table.size());
        const XXH128_hash_t body = hash.digest();
        h.bodyLow = body.low64;
        h.bodyHigh = body.high64;
    }
    h.headerHash = headerHash(h);

    namespace fs = std::filesystem;
    const std::string target = pathFor(dbPath);
    const fs::path folder = fs::path(target).has_parent_path() ? fs::path(target).parent_path() : fs::path(".");
    // Written as a file with no name, so that an import killed meanwhile
    // leaves nothing behind; named only once complete.
    Fd fd(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    std::string temp;
    if (fd.get() < 0) {
        // A file system without unnamed files: a named one, removed on failure.
        temp = target + ".new-XXXXXX";
        fd.reset(::mkostemp(temp.data(), O_CLOEXEC));
    }
    if (fd.get() < 0) {
        error = "cannot create a file in " + folder.string() + ": " + std::strerror(errno);
        return false;
    }
    std::error_code ec;
    const auto fail = [&](const std::string& why) {
        error = "cannot write " + target + ": " + why;
        if (!temp.empty())
            fs::remove(temp, ec);
        return false;
    };
    // Readable by whoever may read the database, and by nobody else.
    struct stat st {};
    if (::stat(dbPath.c_str(), &st) != 0 || ::fchown(fd.get(), static_cast<uid_t>(-1), st.st_gid) != 0 ||
        ::fchmod(fd.get(), st.st_mode & 0666) != 0)
        return fail(std::string("cannot give it the database's permissions: ") + std::strerror(errno));
    const std::string_view parts[] = {{reinterpret_cast<const char*>(&h), sizeof h}, image.text, image.table};
    for (std::string_view part : parts) {
        while (!part.empty()) {
            if (stopped && stopped())
                return fail("stopped");
            const std::size_t n = std::min(part.size(), kBlock * 64);
            if (!writeAll(fd.get(), part.data(), n))
                return fail(std::strerror(errno));
            part.remove_prefix(n);
        }
    }
    if (::fsync(fd.get()) != 0)
        return fail(std::strerror(errno));
    if (temp.empty()) {
        temp = target + ".new-XXXXXX";
        const Fd placeholder(::mkostemp(temp.data(), O_CLOEXEC));
        if (placeholder.get() < 0 || ::unlink(temp.c_str()) != 0)
            return fail(std::strerror(errno));
        // By the descriptor itself where allowed, else through /proc.
        const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
        if (::linkat(fd.get(), "", AT_FDCWD, temp.c_str(), AT_EMPTY_PATH) != 0 &&
            ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            temp.clear();
            return fail(std::strerror(errno));
        }
    }
    fs::rename(temp, target, ec);
    if (ec)
        return fail(ec.message());
    return true;
}

void remove(const std::string& dbPath)
{
    std::error_code ec;
    std::filesystem::remove(pathFor(dbPath), ec);
}

void removeLeftovers(const std::string& dbPath)
{
    namespace fs = std::filesystem;
    const fs::path target(pathFor(dbPath));
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string prefix = target.filename().string() + ".new-";
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(folder, ec)) {
        const std::string name = item.path().filename().string();
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
            fs::remove(item.path(), ec);
    }
}

Found find(const std::string& dbPath, Match& match, std::string& why)
{
    const Fd fd(::open(pathFor(dbPath).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return Found::None;
        why = std::strerror(errno);
        return Found::Other;
    }
    struct stat db {};
    if (::stat(dbPath.c_str(), &db) != 0) {
        why = std::string("the database cannot be read to check it against (") + std::strerror(errno) + ")";
        return Found::Other;
    }
    if (!trusted(fd.get(), db, why))
        return Found::Other;
    Header h{};
    if (!readHeader(fd.get(), h, why))
        return Found::Other;
    const auto database = readDatabase(dbPath, why);
    if (!database) {
        why = "the database cannot be read to check it against (" + why + ")";
        return Found::Other;
    }
    if (database->size != h.databaseSize || database->hashLow != h.databaseLow ||
        database->hashHigh != h.databaseHigh) {
        why = "made from another version of the database";
        return Found::Other;
    }
    match.database = *database;
    match.entries = h.entries;
    match.holdsReplies = h.holdsReplies != 0;
    return Found::Matches;
}

namespace {

// Opens the copy again and reads its header, which must still be the one
// find() matched.
bool reopen(const std::string& dbPath, const Match& match, Fd& fd, Header& h, std::string& why)
{
    fd.reset(::open(pathFor(dbPath).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat db {};
    if (fd.get() < 0 || ::stat(dbPath.c_str(), &db) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!trusted(fd.get(), db, why) || !readHeader(fd.get(), h, why))
        return false;
    if (!h.holdsReplies || h.entries != match.entries || h.databaseSize != match.database.size ||
        h.databaseLow != match.database.hashLow || h.databaseHigh != match.database.hashHigh) {
        why = "replaced since it was checked";
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<const ReplyIndex> readReplies(const std::string& dbPath, const Match& match, std::string& why)
{
    Fd fd;
    Header h{};
    if (!reopen(dbPath, match, fd, h, why))
        return nullptr;
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    Hash128 hash;
    const auto fill = [&](char* into, std::size_t bytes) {
        // Hashed a block at a time, while the block is still in the cache.
        for (std::size_t done = 0; done < bytes;) {
            const std::size_t n = std::min(bytes - done, kBlock);
            if (!readAll(fd.get(), into + done, n))
                return false;
            hash.add(into + done, n);
            done += n;
        }
        return true;
    };
    auto replies = ReplyIndex::fromImage(h.entries, h.textBytes, h.slotCount, fill, why);
    const XXH128_hash_t body = hash.digest();
    if (!replies)
        return nullptr;
    if (body.low64 != h.bodyLow || body.high64 != h.bodyHigh) {
        why = "damaged";
        return nullptr;
    }
    return replies;
}

std::unique_ptr<const ReplyFile> openReplies(const std::string& dbPath, const Match& match, std::string& why)
{
    Fd fd;
    Header h{};
    if (!reopen(dbPath, match, fd, h, why))
        return nullptr;
    Hash128 hash;
    std::unique_ptr<char[]> block(new char[kBlock]);
    for (std::uint64_t left = bodyBytes(h); left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kBlock));
        if (!readAll(fd.get(), block.get(), n)) {
            why = "cannot be read";
            return nullptr;
        }
        hash.add(block.get(), n);
        left -= n;
    }
    const XXH128_hash_t body = hash.digest();
    if (body.low64 != h.bodyLow || body.high64 != h.bodyHigh) {
        why = "damaged";
        return nullptr;
    }
    return std::make_unique<const ReplyFile>(fd.release(), sizeof h, h.entries, h.textBytes, h.slotCount);
}

} // namespace velmario::server::snapshot
