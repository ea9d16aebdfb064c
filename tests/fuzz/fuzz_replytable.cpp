// Any bytes taken for the image of a reply table, as a damaged copy on disk
// could hold them: read back into memory or looked up where they lie in a
// file, a table is refused or answers, and no lookup reads outside it or
// runs forever.
#include "replyindex.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace velmario::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // [entries][text length, two bytes][text][table]: the table is what
    // follows, cut or padded with zeros to the size the entries call for.
    if (size < 3)
        return 0;
    const std::size_t entries = data[0] % 64;
    const std::size_t textBytes = std::min<std::size_t>(std::size_t(data[1]) | std::size_t(data[2]) << 8, size - 3);
    const std::string text(reinterpret_cast<const char*>(data) + 3, textBytes);
    const std::size_t slotCount = entries == 0 && (data[0] & 0x40) ? 0 : ReplyIndex::slotCountFor(entries);
    std::string table(reinterpret_cast<const char*>(data) + 3 + textBytes, size - 3 - textBytes);
    table.resize(slotCount * 5, '\0');

    // Keys to look up: pieces of the text, and a few of no entry.
    std::vector<std::string> keys = {"", "1", "20230001", std::string(300, 'K')};
    for (std::size_t at = 0; at + 1 < text.size() && keys.size() < 40; at += 7)
        keys.emplace_back(text.substr(at + 1, std::size_t(static_cast<unsigned char>(text[at])) % 32));

    int fills = 0;
    std::string why;
    const auto index = ReplyIndex::fromImage(entries, text.size(), slotCount,
                                             [&](char* into, std::size_t bytes) {
                                                 const std::string& from = fills++ == 0 && !text.empty() ? text : table;
                                                 if (bytes != from.size())
                                                     std::abort();
                                                 std::memcpy(into, from.data(), bytes);
                                                 return true;
                                             },
                                             why);
    if (index) {
        for (const std::string& key : keys)
            if (const auto reply = index->find(key); reply && reply->size() > text.size())
                std::abort();
    } else if (why.empty()) {
        std::abort();
    }

    // The same bytes on disk, after a header, looked up without any check.
    const int fd = ::memfd_create("table", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    const std::string header = "header";
    if (::write(fd, header.data(), header.size()) != ssize_t(header.size()) ||
        ::write(fd, text.data(), text.size()) != ssize_t(text.size()) ||
        ::write(fd, table.data(), table.size()) != ssize_t(table.size())) {
        ::close(fd);
        return 0;
    }
    const ReplyFile file(fd, header.size(), entries, text.size(), slotCount);
    for (const std::string& key : keys) {
        std::string out;
        if (file.find(key, out) == ReplyFile::Found::Yes && out.size() > text.size())
            std::abort();
    }
    return 0;
}
