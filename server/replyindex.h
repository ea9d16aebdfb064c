#pragma once
// Replies held in memory: every entry's reply bytes, keyed by its control
// number as it arrives on the wire, so that a lookup is one hash probe with
// no allocation and no database call. Built once, then only read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmario::server {

class ReplyIndex
{
public:
    ReplyIndex() = default;
    ~ReplyIndex();
    ReplyIndex(const ReplyIndex&) = delete;
    ReplyIndex& operator=(const ReplyIndex&) = delete;

    // Adds one entry; a key added twice keeps its first reply. False, with
    // nothing added, once the index would pass 4 GiB of text or 2^30
    // entries, or for a key or reply longer than 65 535 bytes.
    bool add(std::string_view key, std::string_view reply);
    // Builds the table; call once after the last add and before any find.
    void finish();

    std::optional<std::string_view> find(std::string_view key) const;
    std::size_t size() const { return m_size; }
    // Bytes the index holds.
    std::size_t memoryBytes() const { return m_text.size + m_slots.size; }

private:
    // Anonymous memory, on huge pages where it is large enough: lookups land
    // anywhere in tens of megabytes, and small pages would make nearly
    // every one miss the TLB.
    struct Region {
        void* data = nullptr;
        std::size_t size = 0;
        bool allocate(std::size_t bytes);
        void release();
    };

    static std::uint64_t hashOf(std::string_view key);

    // While building: each entry as key length (2 bytes), reply length
    // (2 bytes), key, reply.
    std::string m_building;
    std::size_t m_entries = 0;

    // Once built: the same text, and one slot per 8 bytes in a table at most
    // half full. A slot is 0 when empty, else the key's hash in its top 32
    // bits and 1 + the entry's offset in the text in its low 32 bits.
    Region m_text;
    Region m_slots;
    std::uint64_t m_mask = 0;
    std::size_t m_size = 0;
};

} // namespace velmario::server
