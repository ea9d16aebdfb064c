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

    // Sizes the table for `entries` up front, so that each add() goes
    // straight into it and building needs no second copy of the text.
    // add() then refuses entries past that many.
    bool reserve(std::size_t entries);
    // Adds one entry; a key added twice keeps its first reply. False, with
    // nothing added, once the index would pass 4 GiB of text or 2^30
    // entries (or what was reserved), or for a key or reply longer than
    // 65 535 bytes.
    bool add(std::string_view key, std::string_view reply);
    // Builds the table; call once after the last add and before any find.
    void finish();

    std::optional<std::string_view> find(std::string_view key) const;
    std::size_t size() const { return m_size; }
    // Bytes the index holds.
    std::size_t memoryBytes() const { return m_records.size + m_far.size; }

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
    std::string_view recordKey(const char* record) const;
    const char* farText() const;
    // Puts an entry in the table; `far` is its offset in the far text when
    // it does not fit in a record. False for a key that is already there.
    bool place(std::string_view key, std::string_view reply, std::size_t far);

    // While building: each entry as key length (2 bytes), reply length
    // (2 bytes), key, reply. With a reserved table, only the entries that
    // do not fit in a record (the far text).
    std::string m_building;
    std::size_t m_entries = 0;
    std::size_t m_reserved = 0; // entries the table was sized for up front

    // Once built: an open-addressing table of 64-byte records, one cache
    // line each, at most three quarters full. A record holds its entry
    // whole when key and reply fit in it, which is nearly always, so a
    // lookup touches one line; otherwise it points into m_far, which holds
    // such entries laid out as while building.
    Region m_records;
    Region m_far;
    std::size_t m_recordCount = 0;
    std::size_t m_size = 0;
};

} // namespace velmario::server
