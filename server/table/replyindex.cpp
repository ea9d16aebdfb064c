#include "replyindex.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <xxhash.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

namespace velmario::server {
namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;
// A slot: the entry's offset in the text plus one (0: empty), 4 bytes, then
// a byte of its key's hash.
constexpr std::size_t kSlot = 5;
// Slots read 8 bytes at a time: the last one's reading runs this far past it.
constexpr std::size_t kSlotTail = 8 - kSlot;
// The text grows a chunk at a time; its pages are touched only when written.
constexpr std::size_t kTextChunk = 64 * 1024 * 1024;

std::size_t roundUp(std::size_t bytes, std::size_t to)
{
    return (bytes + to - 1) / to * to;
}

// Lengths as LEB128: seven bits a byte, low bits first.
char* putLength(char* p, std::size_t n)
{
    while (n >= 0x80) {
        *p++ = static_cast<char>(0x80 | (n & 0x7F));
        n >>= 7;
    }
    *p++ = static_cast<char>(n);
    return p;
}

const char* getLength(const char* p, std::size_t& n)
{
    n = 0;
    for (unsigned shift = 0;; shift += 7) {
        const auto b = static_cast<unsigned char>(*p++);
        n |= std::size_t(b & 0x7F) << shift;
        if (b < 0x80)
            return p;
    }
}

std::size_t lengthBytes(std::size_t n)
{
    return n < 0x80 ? 1 : n < 0x4000 ? 2 : 3;
}

// The key and reply lengths of the entry at `at` in `text`, each at most
// three bytes, read no further than `end`: false when they are not there.
// `at` moves to the key. Any bytes are safe to read this way.
bool readLengths(const char* text, std::size_t end, std::size_t& at, std::size_t& keyLength,
                 std::size_t& replyLength)
{
    std::size_t* const lengths[2] = {&keyLength, &replyLength};
    for (std::size_t* n : lengths) {
        *n = 0;
        for (unsigned shift = 0;; shift += 7) {
            if (at == end || shift > 14)
                return false;
            const auto b = static_cast<unsigned char>(text[at++]);
            *n |= std::size_t(b & 0x7F) << shift;
            if (b < 0x80)
                break;
        }
    }
    return true;
}

std::uint64_t load64(const char* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The hash of a key, in memory and in a file alike. XXH3 gives the same
// values on every machine and in every release of the library: a table
// kept in a file stays valid for every build that reads it.
std::uint64_t hashOf(std::string_view key)
{
    return XXH3_64bits(key.data(), key.size());
}

// The slot a key's probe starts at, in a table of slotCount slots.
std::size_t firstSlot(std::uint64_t hash, std::size_t slotCount)
{
    return static_cast<std::size_t>(hash % slotCount);
}

// The hash's top byte: the slot comes from the whole hash.
unsigned char tagOf(std::uint64_t hash)
{
    return static_cast<unsigned char>(hash >> 56);
}

} // namespace

bool ReplyIndex::Region::allocate(std::size_t bytes)
{
    release();
    if (bytes == 0)
        return true;
    if (fd >= 0) {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t length = roundUp(bytes, page);
        // A file grown by ftruncate reads as zeros, as fresh memory does.
        if (::ftruncate(fd, static_cast<off_t>(length)) != 0)
            return false;
        void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED)
            return false;
        data = p;
        size = bytes;
        return true;
    }
    const bool huge = bytes >= kHugePage;
    const std::size_t length = huge ? roundUp(bytes, kHugePage) : bytes;
    // Map a huge page more than needed so the region can start on a huge
    // page boundary, then give back what lies outside it.
    const std::size_t mapped = huge ? length + kHugePage : length;
    void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    auto* start = static_cast<char*>(p);
    if (huge) {
        const auto address = reinterpret_cast<std::uintptr_t>(start);
        auto* aligned = reinterpret_cast<char*>((address + kHugePage - 1) & ~(kHugePage - 1));
        if (aligned != start)
            ::munmap(start, static_cast<std::size_t>(aligned - start));
        const std::size_t tail = mapped - static_cast<std::size_t>(aligned - start) - length;
        if (tail > 0)
            ::munmap(aligned + length, tail);
        start = aligned;
        // Only advice: without transparent huge pages it is small pages.
        ::madvise(start, length, MADV_HUGEPAGE);
    }
    data = start;
    size = length;
    return true;
}

bool ReplyIndex::Region::resize(std::size_t bytes)
{
    if (!data)
        return allocate(bytes);
    if (bytes == 0) {
        release();
        return true;
    }
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t length = roundUp(bytes, page);
    if (length == roundUp(size, page)) {
        size = bytes;
        return true;
    }
    const bool grows = length > roundUp(size, page);
    if (fd >= 0 && grows && ::ftruncate(fd, static_cast<off_t>(length)) != 0)
        return false;
    // The pages move with their contents, nothing is copied; a shrink stays
    // in place.
    void* moved = ::mremap(data, roundUp(size, page), length, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED)
        return length < size; // a shrink that failed leaves it larger, still whole
    data = moved;
    size = bytes;
    if (fd >= 0) {
        if (!grows) {
            // Gives the file back its tail; failing that, it only keeps
            // room it does not use.
            [[maybe_unused]] const int shrunk = ::ftruncate(fd, static_cast<off_t>(length));
        }
        return true;
    }
    if (length >= kHugePage)
        ::madvise(data, length, MADV_HUGEPAGE);
    return true;
}

void ReplyIndex::Region::release()
{
    if (data) {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        ::munmap(data, roundUp(size, page));
    }
    data = nullptr;
    size = 0;
}

ReplyIndex::ReplyIndex(std::size_t maxTextBytes)
    : m_maxText(std::min(maxTextBytes, kMaxTextBytes))
{
}

std::unique_ptr<ReplyIndex> ReplyIndex::inFiles(const std::string& folder, std::string& why)
{
    auto index = std::make_unique<ReplyIndex>();
    for (Region* region : {&index->m_text, &index->m_slots}) {
        region->fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (region->fd < 0) {
            why = "cannot make a file in " + folder + ": " + std::strerror(errno);
            return nullptr;
        }
    }
    return index;
}

ReplyIndex::~ReplyIndex()
{
    m_text.release();
    m_slots.release();
    for (const int fd : {m_text.fd, m_slots.fd})
        if (fd >= 0)
            ::close(fd);
}

std::size_t ReplyIndex::slotCountFor(std::size_t entries)
{
    return std::max<std::size_t>(entries + entries / 4 + 1, 8);
}

std::size_t ReplyIndex::slotOf(std::uint64_t hash) const
{
    return firstSlot(hash, m_slotCount);
}

bool ReplyIndex::allocateSlots(std::size_t entries)
{
    m_slotCount = slotCountFor(entries);
    // Fresh anonymous memory reads as zeros: every slot starts empty.
    if (!m_slots.allocate(m_slotCount * kSlot + kSlotTail)) {
        m_slotCount = 0;
        return false;
    }
    return true;
}

bool ReplyIndex::reserve(std::size_t entries, Keys keys)
{
    if (m_entries > 0 || entries >= kMaxEntries || !allocateSlots(entries))
        return false;
    m_sized = true;
    m_reserved = entries;
    m_distinct = keys == Keys::Distinct;
    return true;
}

bool ReplyIndex::add(std::string_view key, std::string_view reply)
{
    if (key.size() > kMaxField || reply.size() > kMaxField) {
        m_fullReason = "a control number or reply longer than 65 535 bytes";
        return false;
    }
    if (m_entries >= kMaxEntries || (m_sized && m_entries >= m_reserved)) {
        m_fullReason = m_sized && m_entries >= m_reserved ? "more entries than counted" : "more than 2^30 entries";
        return false;
    }
    const std::size_t bytes = lengthBytes(key.size()) + lengthBytes(reply.size()) + key.size() + reply.size();
    if (bytes > m_maxText - m_textUsed) {
        m_fullReason = "more text than the 4 GiB an in-memory directory can hold";
        return false;
    }
    if (m_textUsed + bytes > m_text.size) {
        const std::size_t wanted = std::min(std::max(m_text.size * 2, roundUp(m_textUsed + bytes, kTextChunk)),
                                            roundUp(m_maxText, kHugePage));
        if (!m_text.resize(std::max(wanted, m_textUsed + bytes)))
            throw std::bad_alloc();
    }
    const std::size_t offset = m_textUsed;
    char* p = static_cast<char*>(m_text.data) + offset;
    p = putLength(p, key.size());
    p = putLength(p, reply.size());
    std::memcpy(p, key.data(), key.size());
    std::memcpy(p + key.size(), reply.data(), reply.size());
    ++m_entries;
    if (m_distinct) {
        const std::uint64_t hash = hashOf(key);
        __builtin_prefetch(static_cast<const char*>(m_slots.data) + slotOf(hash) * kSlot, 1);
        Pending& pending = m_pending[m_entries % kAhead];
        if (m_pendingCount == kAhead)
            placeDistinct(pending.hash, pending.offset);
        else
            ++m_pendingCount;
        pending = {hash, offset};
        m_textUsed += bytes;
    } else if (!m_sized || place(key, hashOf(key), offset)) {
        m_textUsed += bytes; // a repeated key keeps nothing
    }
    return true;
}

void ReplyIndex::placeDistinct(std::uint64_t hash, std::size_t offset)
{
    auto* slots = static_cast<char*>(m_slots.data);
    for (std::size_t s = slotOf(hash);; s = s + 1 == m_slotCount ? 0 : s + 1) {
        char* slot = slots + s * kSlot;
        if (static_cast<std::uint32_t>(load64(slot)) == 0) {
            const auto stored = static_cast<std::uint32_t>(offset + 1);
            std::memcpy(slot, &stored, sizeof stored);
            slot[4] = static_cast<char>(tagOf(hash));
            ++m_size;
            return;
        }
    }
}

bool ReplyIndex::place(std::string_view key, std::uint64_t hash, std::size_t offset)
{
    auto* slots = static_cast<char*>(m_slots.data);
    const unsigned char tag = tagOf(hash);
    for (std::size_t s = slotOf(hash);; s = s + 1 == m_slotCount ? 0 : s + 1) {
        char* slot = slots + s * kSlot;
        const std::uint64_t word = load64(slot);
        const auto at = static_cast<std::uint32_t>(word);
        if (at == 0) {
            const auto stored = static_cast<std::uint32_t>(offset + 1);
            std::memcpy(slot, &stored, sizeof stored);
            slot[4] = static_cast<char>(tag);
            ++m_size;
            return true;
        }
        if (static_cast<unsigned char>(word >> 32) == tag) {
            std::string_view heldKey, heldReply;
            entryAt(at - 1, heldKey, heldReply);
            if (heldKey == key)
                return false; // the first one added stays
        }
    }
}

void ReplyIndex::finish()
{
    // The oldest waiting first, as they came.
    for (std::size_t i = m_entries - m_pendingCount + 1; m_pendingCount > 0; ++i, --m_pendingCount)
        placeDistinct(m_pending[i % kAhead].hash, m_pending[i % kAhead].offset);
    if (!m_sized && m_entries > 0) {
        if (!allocateSlots(m_entries))
            throw std::bad_alloc();
        // Entries whose key came before stay in the text unused.
        std::string_view key, reply;
        for (std::size_t offset = 0; offset < m_textUsed;) {
            entryAt(offset, key, reply);
            place(key, hashOf(key), offset);
            offset = static_cast<std::size_t>(reply.data() + reply.size() - static_cast<const char*>(m_text.data));
        }
    }
    // What the text was given to grow into goes back.
    if (m_text.data && !m_text.resize(m_textUsed))
        throw std::bad_alloc();
}

void ReplyIndex::entryAt(std::size_t offset, std::string_view& key, std::string_view& reply) const
{
    const char* p = static_cast<const char*>(m_text.data) + offset;
    std::size_t keyLength = 0, replyLength = 0;
    p = getLength(p, keyLength);
    p = getLength(p, replyLength);
    key = {p, keyLength};
    reply = {p + keyLength, replyLength};
}

ReplyTable::Found ReplyIndex::find(std::string_view key, std::string& out) const
{
    const auto reply = find(key);
    if (!reply)
        return Found::No;
    out += *reply;
    return Found::Yes;
}

std::optional<std::string_view> ReplyIndex::find(std::string_view key) const
{
    if (m_size == 0)
        return std::nullopt;
    const auto* slots = static_cast<const char*>(m_slots.data);
    const auto* text = static_cast<const char*>(m_text.data);
    const std::uint64_t hash = hashOf(key);
    const unsigned char tag = tagOf(hash);
    for (std::size_t s = slotOf(hash);; s = s + 1 == m_slotCount ? 0 : s + 1) {
        const std::uint64_t word = load64(slots + s * kSlot);
        const auto at = static_cast<std::uint32_t>(word);
        if (at == 0)
            return std::nullopt;
        if (static_cast<unsigned char>(word >> 32) != tag)
            continue;
        std::size_t offset = at - 1;
        const auto first = static_cast<unsigned char>(text[offset]);
        if (first < 0x80 && first != key.size())
            continue;
        // Every read stays inside the text, whatever bytes a table read
        // back from a file holds.
        std::size_t keyLength = 0, replyLength = 0;
        if (!readLengths(text, m_textUsed, offset, keyLength, replyLength) || keyLength != key.size() ||
            m_textUsed - offset < keyLength + replyLength)
            continue;
        if (std::memcmp(text + offset, key.data(), keyLength) == 0)
            return std::string_view(text + offset + keyLength, replyLength);
    }
}

ReplyIndex::Image ReplyIndex::image() const
{
    return {m_size, {static_cast<const char*>(m_text.data), m_textUsed}, m_slotCount,
            {static_cast<const char*>(m_slots.data), m_slotCount * kSlot}};
}

std::unique_ptr<ReplyIndex> ReplyIndex::fromImage(std::size_t entries, std::size_t textBytes, std::size_t slotCount,
                                                  const Fill& fill, std::string& why)
{
    const bool emptyTable = entries == 0 && slotCount == 0;
    if (entries >= kMaxEntries || textBytes > kMaxTextBytes || (!emptyTable && slotCount != slotCountFor(entries))) {
        why = "sizes that do not make a table of replies";
        return nullptr;
    }
    auto index = std::make_unique<ReplyIndex>();
    // The text's region is sized to the text, as finish() leaves it.
    if (!index->m_text.allocate(textBytes) || !index->m_text.resize(textBytes) ||
        (slotCount > 0 && !index->m_slots.allocate(slotCount * kSlot + kSlotTail)))
        throw std::bad_alloc();
    auto* text = static_cast<char*>(index->m_text.data);
    if ((textBytes > 0 && !fill(text, textBytes)) ||
        (slotCount > 0 && !fill(static_cast<char*>(index->m_slots.data), slotCount * kSlot))) {
        why = "cannot be read";
        return nullptr;
    }
    // The text: entries one after another, each inside it, to its last byte.
    std::size_t textEntries = 0;
    for (std::size_t at = 0; at < textBytes; ++textEntries) {
        std::size_t keyLength = 0, replyLength = 0;
        if (!readLengths(text, textBytes, at, keyLength, replyLength) || keyLength > kMaxField ||
            replyLength > kMaxField || keyLength + replyLength > textBytes - at) {
            why = "an entry that runs past the text";
            return nullptr;
        }
        at += keyLength + replyLength;
    }
    // The table: one slot for each entry, each within the text.
    const auto* slots = static_cast<const char*>(index->m_slots.data);
    std::size_t used = 0;
    for (std::size_t s = 0; s < slotCount; ++s) {
        std::uint32_t at;
        std::memcpy(&at, slots + s * kSlot, sizeof at);
        if (at == 0)
            continue;
        if (at - 1 >= textBytes) {
            why = "an entry outside the text";
            return nullptr;
        }
        ++used;
    }
    if (used != entries || textEntries < entries) {
        why = "a count of entries that differs from the table's";
        return nullptr;
    }
    index->m_textUsed = textBytes;
    index->m_slotCount = slotCount;
    index->m_entries = textEntries;
    index->m_size = entries;
    return index;
}

ReplyFile::ReplyFile(int fd, std::uint64_t offset, std::size_t entries, std::size_t textBytes, std::size_t slotCount)
    : m_fd(fd), m_identity(identityOf(fd)), m_text(offset), m_slots(offset + textBytes), m_entries(entries),
      m_textBytes(textBytes), m_slotCount(slotCount)
{
}

ReplyFile::Identity ReplyFile::identityOf(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return {};
    return {std::int64_t(st.st_size), std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            std::int64_t(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec, std::uint64_t(st.st_nlink)};
}

bool ReplyFile::changed() const
{
    const Identity now = identityOf(m_fd);
    if (now.size < 0)
        return true;
    // Unlinking changes the inode's time of change and its links, not its
    // bytes.
    if (now.links == 0)
        return now.size != m_identity.size || now.modifiedNs != m_identity.modifiedNs;
    return !(now == m_identity);
}

ReplyFile::~ReplyFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ReplyFile::readAt(std::uint64_t at, char* into, std::size_t bytes) const
{
    while (bytes > 0) {
        const ssize_t n = ::pread(m_fd, into, bytes, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        into += n;
        at += static_cast<std::uint64_t>(n);
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}

ReplyFile::Found ReplyFile::find(std::string_view key, std::string& out) const
{
    const std::size_t before = out.size();
    const Found found = search(key, out);
    // Checked after the reads: a write begun before any of them shows.
    if (changed()) {
        out.resize(before);
        return Found::Changed;
    }
    return found;
}

ReplyFile::Found ReplyFile::search(std::string_view key, std::string& out) const
{
    if (m_entries == 0 || m_slotCount == 0)
        return Found::No;
    // Slots a read at a time: a probe rarely runs past the first few.
    constexpr std::size_t kWindow = 12;
    // Most entries fit in one read of this much; a longer one takes two.
    constexpr std::size_t kEntryRead = 256;
    char window[kWindow * kSlot];
    char entry[kEntryRead];
    const std::uint64_t hash = hashOf(key);
    const unsigned char tag = tagOf(hash);
    std::size_t s = firstSlot(hash, m_slotCount);
    for (std::size_t probed = 0; probed < m_slotCount;) {
        const std::size_t count = std::min(kWindow, m_slotCount - s);
        if (!readAt(m_slots + s * kSlot, window, count * kSlot))
            return Found::Failed;
        for (std::size_t i = 0; i < count; ++i, ++probed) {
            std::uint32_t at;
            std::memcpy(&at, window + i * kSlot, sizeof at);
            if (at == 0)
                return Found::No;
            if (static_cast<unsigned char>(window[i * kSlot + 4]) != tag || at - 1 >= m_textBytes)
                continue;
            const std::size_t offset = at - 1;
            const std::size_t got = std::min(kEntryRead, m_textBytes - offset);
            if (!readAt(m_text + offset, entry, got))
                return Found::Failed;
            // The two lengths, inside what was read.
            std::size_t lengths[2] = {0, 0};
            std::size_t p = 0;
            if (!readLengths(entry, got, p, lengths[0], lengths[1]) || lengths[0] != key.size() ||
                lengths[0] + lengths[1] > m_textBytes - offset - p)
                continue;
            if (p + lengths[0] + lengths[1] <= got) {
                if (std::memcmp(entry + p, key.data(), key.size()) != 0)
                    continue;
                out.append(entry + p + lengths[0], lengths[1]);
                return Found::Yes;
            }
            // A long entry: read it whole.
            std::string rest(lengths[0] + lengths[1], '\0');
            if (!readAt(m_text + offset + p, rest.data(), rest.size()))
                return Found::Failed;
            if (std::string_view(rest).substr(0, key.size()) != key)
                continue;
            out.append(rest, lengths[0], lengths[1]);
            return Found::Yes;
        }
        s = (s + count) % m_slotCount;
    }
    return Found::No;
}

} // namespace velmario::server
