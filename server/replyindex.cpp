#include "replyindex.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

namespace velmario::server {
namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;
constexpr std::size_t kHeader = 4; // key length, reply length: 2 bytes each

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
    m_text.release();
    m_slots.release();
}

std::uint64_t ReplyIndex::hashOf(std::string_view key)
{
    return std::hash<std::string_view>{}(key);
}

bool ReplyIndex::add(std::string_view key, std::string_view reply)
{
    constexpr std::size_t kMaxField = std::numeric_limits<std::uint16_t>::max();
    // Offsets are stored as 1 + offset in 32 bits.
    constexpr std::size_t kMaxText = std::numeric_limits<std::uint32_t>::max() - 1;
    const std::size_t bytes = kHeader + key.size() + reply.size();
    if (key.size() > kMaxField || reply.size() > kMaxField || bytes > kMaxText - m_building.size()
        || m_entries >= (std::size_t(1) << 30))
        return false;
    const std::size_t at = m_building.size();
    m_building.resize(at + kHeader);
    store16(m_building.data() + at, key.size());
    store16(m_building.data() + at + 2, reply.size());
    m_building.append(key).append(reply);
    ++m_entries;
    return true;
}

void ReplyIndex::finish()
{
    if (!m_text.allocate(m_building.size()))
        throw std::bad_alloc();
    if (m_text.data != nullptr)
        std::memcpy(m_text.data, m_building.data(), m_building.size());
    const std::size_t textSize = m_building.size();
    std::string().swap(m_building);

    const std::size_t slots = std::bit_ceil(std::max<std::size_t>(2 * m_entries, 16));
    // Fresh anonymous memory reads as zeros: every slot starts empty.
    if (!m_slots.allocate(slots * sizeof(std::uint64_t)))
        throw std::bad_alloc();
    m_mask = slots - 1;
    auto* table = static_cast<std::uint64_t*>(m_slots.data);
    const char* text = static_cast<const char*>(m_text.data);
    for (std::size_t offset = 0; offset < textSize;) {
        const std::size_t keyLength = load16(text + offset);
        const std::size_t replyLength = load16(text + offset + 2);
        const std::string_view key(text + offset + kHeader, keyLength);
        const std::uint64_t hash = hashOf(key);
        const std::uint64_t slot = (hash & 0xFFFF'FFFF'0000'0000u) | (offset + 1);
        for (std::uint64_t s = hash & m_mask;; s = (s + 1) & m_mask) {
            if (table[s] == 0) {
                table[s] = slot;
                ++m_size;
                break;
            }
            if ((table[s] >> 32) == (hash >> 32)) {
                const char* other = text + (table[s] & 0xFFFF'FFFFu) - 1;
                if (std::string_view(other + kHeader, load16(other)) == key)
                    break; // the first one added stays
            }
        }
        offset += kHeader + keyLength + replyLength;
    }
}

std::optional<std::string_view> ReplyIndex::find(std::string_view key) const
{
    if (!m_slots.data)
        return std::nullopt;
    const auto* table = static_cast<const std::uint64_t*>(m_slots.data);
    const char* text = static_cast<const char*>(m_text.data);
    const std::uint64_t hash = hashOf(key);
    for (std::uint64_t s = hash & m_mask;; s = (s + 1) & m_mask) {
        const std::uint64_t slot = table[s];
        if (slot == 0)
            return std::nullopt;
        if ((slot >> 32) != (hash >> 32))
            continue;
        const char* entry = text + (slot & 0xFFFF'FFFFu) - 1;
        const std::size_t keyLength = load16(entry);
        if (keyLength == key.size() && std::memcmp(entry + kHeader, key.data(), keyLength) == 0)
            return std::string_view(entry + kHeader + keyLength, load16(entry + 2));
    }
}

} // namespace velmario::server
