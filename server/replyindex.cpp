#include "replyindex.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

namespace velmario::server {
namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;
constexpr std::size_t kHeader = 4; // key length, reply length: 2 bytes each

// One record: kind, a byte of the key's hash, then for an inline entry its
// key length, reply length, key and reply; for a far one the entry's offset
// in the far text.
constexpr std::size_t kRecord = 64;
constexpr std::size_t kInlineHeader = 4;
constexpr std::size_t kInlineRoom = kRecord - kInlineHeader;
enum Kind : unsigned char { Empty = 0, Inline = 1, Far = 2 };

std::uint16_t load16(const char* p)
{
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store16(char* p, std::size_t v)
{
    const auto narrow = static_cast<std::uint16_t>(v);
    std::memcpy(p, &narrow, sizeof narrow);
}

std::uint32_t load32(const char* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

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
    const bool huge = bytes >= kHugePage;
    const std::size_t length = huge ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
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

void ReplyIndex::Region::release()
{
    if (data)
        ::munmap(data, size);
    data = nullptr;
    size = 0;
}

ReplyIndex::~ReplyIndex()
{
    m_records.release();
    m_far.release();
}

std::uint64_t ReplyIndex::hashOf(std::string_view key)
{
    return std::hash<std::string_view>{}(key);
}

bool ReplyIndex::reserve(std::size_t entries)
{
    if (m_entries > 0 || entries >= (std::size_t(1) << 30))
        return false;
    m_recordCount = std::max<std::size_t>(entries + entries / 3 + 1, 8);
    // Fresh anonymous memory reads as zeros: every record starts empty.
    if (!m_records.allocate(m_recordCount * kRecord)) {
        m_recordCount = 0;
        return false;
    }
    m_reserved = entries;
    return true;
}

bool ReplyIndex::add(std::string_view key, std::string_view reply)
{
    constexpr std::size_t kMaxField = std::numeric_limits<std::uint16_t>::max();
    constexpr std::size_t kMaxText = std::numeric_limits<std::uint32_t>::max();
    const std::size_t bytes = kHeader + key.size() + reply.size();
    if (key.size() > kMaxField || reply.size() > kMaxField || bytes > kMaxText - m_building.size()
        || m_entries >= (std::size_t(1) << 30) || (m_reserved > 0 && m_entries >= m_reserved))
        return false;
    const bool toText = m_reserved == 0 || key.size() + reply.size() > kInlineRoom;
    const std::size_t at = m_building.size();
    if (toText) {
        m_building.resize(at + kHeader);
        store16(m_building.data() + at, key.size());
        store16(m_building.data() + at + 2, reply.size());
        m_building.append(key).append(reply);
    }
    ++m_entries;
    if (m_reserved > 0 && !place(key, reply, at) && toText)
        m_building.resize(at); // a repeated key keeps nothing
    return true;
}

bool ReplyIndex::place(std::string_view key, std::string_view reply, std::size_t far)
{
    auto* records = static_cast<char*>(m_records.data);
    const std::uint64_t hash = hashOf(key);
    char* record = nullptr;
    for (std::size_t r = hash % m_recordCount;; r = r + 1 == m_recordCount ? 0 : r + 1) {
        record = records + r * kRecord;
        if (record[0] == Empty)
            break;
        if (static_cast<unsigned char>(record[1]) == tagOf(hash) && recordKey(record) == key)
            return false; // the first one added stays
    }
    record[1] = static_cast<char>(tagOf(hash));
    if (key.size() + reply.size() <= kInlineRoom) {
        record[0] = Inline;
        record[2] = static_cast<char>(key.size());
        record[3] = static_cast<char>(reply.size());
        std::memcpy(record + kInlineHeader, key.data(), key.size());
        std::memcpy(record + kInlineHeader + key.size(), reply.data(), reply.size());
    } else {
        record[0] = Far;
        const auto at = static_cast<std::uint32_t>(far);
        std::memcpy(record + kInlineHeader, &at, sizeof at);
    }
    ++m_size;
    return true;
}

void ReplyIndex::finish()
{
    if (m_reserved > 0) {
        // The table is built: only the far text moves to its region.
        if (!m_far.allocate(m_building.size()))
            throw std::bad_alloc();
        if (!m_building.empty() && m_far.data)
            std::memcpy(m_far.data, m_building.data(), m_building.size());
        std::string().swap(m_building);
        return;
    }
    const std::string text = std::move(m_building);
    m_building.clear();
    const auto entryAt = [&](std::size_t offset, std::string_view& key, std::string_view& reply) {
        const std::size_t keyLength = load16(text.data() + offset);
        const std::size_t replyLength = load16(text.data() + offset + 2);
        key = {text.data() + offset + kHeader, keyLength};
        reply = {text.data() + offset + kHeader + keyLength, replyLength};
        return kHeader + keyLength + replyLength;
    };

    std::size_t farBytes = 0;
    std::string_view key;
    std::string_view reply;
    for (std::size_t offset = 0; offset < text.size();) {
        const std::size_t length = entryAt(offset, key, reply);
        if (key.size() + reply.size() > kInlineRoom)
            farBytes += length;
        offset += length;
    }
    m_recordCount = std::max<std::size_t>(m_entries + m_entries / 3 + 1, 8);
    // Fresh anonymous memory reads as zeros: every record starts empty.
    if (!m_records.allocate(m_recordCount * kRecord) || !m_far.allocate(farBytes))
        throw std::bad_alloc();
    auto* far = static_cast<char*>(m_far.data);
    std::size_t farUsed = 0;
    for (std::size_t offset = 0; offset < text.size();) {
        const std::size_t length = entryAt(offset, key, reply);
        const bool isFar = key.size() + reply.size() > kInlineRoom;
        if (isFar)
            std::memcpy(far + farUsed, text.data() + offset, length);
        if (place(key, reply, farUsed) && isFar)
            farUsed += length;
        offset += length;
    }
}

const char* ReplyIndex::farText() const
{
    return m_far.data ? static_cast<const char*>(m_far.data) : m_building.data();
}

std::string_view ReplyIndex::recordKey(const char* record) const
{
    if (record[0] == Inline)
        return {record + kInlineHeader, static_cast<unsigned char>(record[2])};
    const char* entry = farText() + load32(record + kInlineHeader);
    return {entry + kHeader, load16(entry)};
}

std::optional<std::string_view> ReplyIndex::find(std::string_view key) const
{
    if (m_recordCount == 0)
        return std::nullopt;
    const auto* records = static_cast<const char*>(m_records.data);
    const std::uint64_t hash = hashOf(key);
    const unsigned char tag = tagOf(hash);
    for (std::size_t r = hash % m_recordCount;; r = r + 1 == m_recordCount ? 0 : r + 1) {
        const char* record = records + r * kRecord;
        if (record[0] == Empty)
            return std::nullopt;
        if (static_cast<unsigned char>(record[1]) != tag)
            continue;
        if (record[0] == Inline) {
            const std::size_t keyLength = static_cast<unsigned char>(record[2]);
            if (keyLength == key.size() && std::memcmp(record + kInlineHeader, key.data(), keyLength) == 0)
                return std::string_view(record + kInlineHeader + keyLength, static_cast<unsigned char>(record[3]));
            continue;
        }
        const char* entry = static_cast<const char*>(m_far.data) + load32(record + kInlineHeader);
        const std::size_t keyLength = load16(entry);
        if (keyLength == key.size() && std::memcmp(entry + kHeader, key.data(), keyLength) == 0)
            return std::string_view(entry + kHeader + keyLength, load16(entry + 2));
    }
}

} // namespace velmario::server
