#pragma once
// Replies held in memory: every entry's reply bytes, keyed by its control
// number as it arrives on the wire, so that a lookup is one hash probe with
// no allocation and no database call. Built once, then only read.
//
// The layout keeps close to the size of the data: the entries lie one after
// another in one block of text, each as its key length and reply length (a
// byte each below 128), key and reply; a table of 5-byte slots, at most four
// fifths full, holds each entry's offset in the text and a byte of its key's
// hash, so that a probe reads the text only for a likely match. Offsets are
// 32 bits: the text holds at most 4 GiB, a little over 70 million entries
// like "Persona Número 1234567 Apellido*961-123-4567".

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmario::server {

// What the server answers from: a table of replies keyed by control number
// as it arrives on the wire, in memory (ReplyIndex) or read where it lies
// in a file (ReplyFile). Built and checked before it serves; then only read.
class ReplyTable
{
public:
    virtual ~ReplyTable() = default;
    enum class Found {
        Yes,
        No,
        Failed,  // the table could not be read
        Changed, // its file was written to since it was checked: not to be used again
    };
    // Appends the reply for `key` to `out` when found (Yes); nothing
    // otherwise.
    virtual Found find(std::string_view key, std::string& out) const = 0;
    // Its entries.
    virtual std::size_t size() const = 0;
    // Bytes it holds in memory.
    virtual std::size_t memoryBytes() const = 0;
};

class ReplyIndex final : public ReplyTable
{
public:
    // What the layout can address; a smaller bound only for tests.
    static constexpr std::size_t kMaxTextBytes = 0xFFFFFFFEu; // the last offset + 1 marks an empty slot
    static constexpr std::size_t kMaxEntries = std::size_t(1) << 30;
    static constexpr std::size_t kMaxField = 65535; // bytes of a key or a reply

    explicit ReplyIndex(std::size_t maxTextBytes = kMaxTextBytes);
    // An index whose text and table lie in two unnamed files made in
    // `folder`, mapped shared: the kernel writes their pages out and reads
    // them back as memory runs short, so a directory larger than memory
    // may be built and served. Nothing, with `why`, when the files cannot
    // be made there.
    static std::unique_ptr<ReplyIndex> inFiles(const std::string& folder, std::string& why);
    ~ReplyIndex() override;
    ReplyIndex(const ReplyIndex&) = delete;
    ReplyIndex& operator=(const ReplyIndex&) = delete;

    // Sizes the table for `entries` up front, so that each add() goes
    // straight into it; add() then refuses entries past that many.
    // Keys known to be distinct (a table's primary key) are not compared:
    // they go into the table a few adds behind, their slots fetched ahead,
    // and size() counts them only once finish() has placed the last.
    enum class Keys { MayRepeat, Distinct };
    bool reserve(std::size_t entries, Keys keys = Keys::MayRepeat);
    // Adds one entry; a key added twice keeps its first reply. False, with
    // nothing added and fullReason() saying why, once the text would pass
    // what the layout addresses or the entries kMaxEntries (or what was
    // reserved), or for a key or reply longer than kMaxField bytes.
    bool add(std::string_view key, std::string_view reply);
    // Builds the table; call once after the last add and before any find.
    // Throws std::bad_alloc when there is no memory for it.
    void finish();
    // Why the last add() was refused.
    const char* fullReason() const { return m_fullReason; }

    std::optional<std::string_view> find(std::string_view key) const;
    Found find(std::string_view key, std::string& out) const override;
    std::size_t size() const override { return m_size; }
    // Bytes the index holds (in its files, for one made inFiles).
    std::size_t memoryBytes() const override { return m_textUsed + m_slots.size; }
    bool inFiles() const { return m_text.fd >= 0; }

    // The index as it lies in memory, to be kept in a file and read back
    // with fromImage(): its text, then its table of slotCount slots. Only
    // once finished.
    struct Image {
        std::size_t entries;
        std::string_view text;
        std::size_t slotCount;
        std::string_view table;
    };
    Image image() const;
    // An index read back from an image of `entries` entries, `textBytes` of
    // text and `slotCount` slots: `fill` is asked for the text's bytes, then
    // the table's, in pieces, straight into the index's memory. Nothing,
    // with `why`, when fill fails or the bytes are not an index's (sizes
    // that do not go together, an entry running past the text, an offset
    // outside it, a count that differs). The bytes are trusted to be what
    // image() gave: the caller checks that they are.
    using Fill = std::function<bool(char* into, std::size_t bytes)>;
    static std::unique_ptr<ReplyIndex> fromImage(std::size_t entries, std::size_t textBytes, std::size_t slotCount,
                                                 const Fill& fill, std::string& why);
    // The table's size for a number of entries: at most four fifths full.
    static std::size_t slotCountFor(std::size_t entries);

private:
    // Anonymous memory, on huge pages where it is large enough: lookups land
    // anywhere in hundreds of megabytes, and small pages would make nearly
    // every one miss the TLB.
    struct Region {
        void* data = nullptr;
        std::size_t size = 0;
        int fd = -1; // the file it is mapped from, if any
        bool allocate(std::size_t bytes);
        // Grows or shrinks, keeping the contents; never copies them.
        bool resize(std::size_t bytes);
        void release();
    };

    std::size_t slotOf(std::uint64_t hash) const;
    bool allocateSlots(std::size_t entries);
    // Puts the entry at `offset` of the text in the table. False for a key
    // that is already there.
    bool place(std::string_view key, std::uint64_t hash, std::size_t offset);
    void placeDistinct(std::uint64_t hash, std::size_t offset);
    // The key and reply of the entry at `offset`.
    void entryAt(std::size_t offset, std::string_view& key, std::string_view& reply) const;

    std::size_t m_maxText;
    Region m_text;
    std::size_t m_textUsed = 0;
    Region m_slots;
    std::size_t m_slotCount = 0;
    std::size_t m_entries = 0;  // added, repeated keys among them until finish()
    bool m_sized = false;       // the table was sized up front...
    std::size_t m_reserved = 0; // ...for this many entries
    std::size_t m_size = 0;     // distinct keys in the table
    const char* m_fullReason = "";
    // Distinct keys waiting for their slots to arrive in the cache.
    struct Pending {
        std::uint64_t hash;
        std::size_t offset;
    };
    static constexpr std::size_t kAhead = 16;
    bool m_distinct = false;
    Pending m_pending[kAhead] = {};
    std::size_t m_pendingCount = 0;
};

// The same table read where it lies in a file, at `offset`: the image()
// of an index, its text then its slots. A lookup reads a few slots and the
// entry they point at, so it holds almost nothing in memory whatever the
// size of the table. The file is read, never mapped: one cut short under
// the server gives a failed lookup, not a signal.
//
// The file must stay the one checked: after each lookup its size and times
// are compared with those it had when opened. Whoever writes to a file
// changes its modification time before its bytes, so a lookup that read
// bytes written since is always told Changed, never given them. A file
// only unlinked (a new copy renamed over it) keeps its bytes, and serves
// on until the next load.
class ReplyFile final : public ReplyTable
{
public:
    // Takes `fd` and closes it. The image is trusted to be what image()
    // gave (the caller checked it); every read is still kept inside it.
    ReplyFile(int fd, std::uint64_t offset, std::size_t entries, std::size_t textBytes, std::size_t slotCount);
    ~ReplyFile() override;
    ReplyFile(const ReplyFile&) = delete;
    ReplyFile& operator=(const ReplyFile&) = delete;

    // Appends the reply for `key` to `out` when found; Failed when the
    // file could not be read, Changed (and nothing appended) when it was
    // written to or touched since it was opened.
    Found find(std::string_view key, std::string& out) const override;
    std::size_t size() const override { return m_entries; }
    std::size_t memoryBytes() const override { return 0; }

private:
    Found search(std::string_view key, std::string& out) const;
    bool readAt(std::uint64_t at, char* into, std::size_t bytes) const;
    bool changed() const;

    struct Identity {
        std::int64_t size = -1;
        std::int64_t modifiedNs = 0;
        std::int64_t changedNs = 0;
        std::uint64_t links = 0;
        bool operator==(const Identity&) const = default;
    };
    static Identity identityOf(int fd);

    int m_fd;
    Identity m_identity;
    std::uint64_t m_text;
    std::uint64_t m_slots;
    std::size_t m_entries;
    std::size_t m_textBytes;
    std::size_t m_slotCount;
};

} // namespace velmario::server
