#include "cp1252.h"

#include <array>

namespace velmario::cp1252 {
namespace {

// 0x80..0x9F are the only bytes that differ from ISO 8859-1.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at `pos`, advancing it; nothing when malformed
// (overlong forms, surrogates and values past U+10FFFF included).
std::optional<char32_t> nextUtf8(std::string_view s, std::size_t& pos)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t lead = byte(pos);
    int length = 0;
    char32_t c = 0;
    if (lead < 0x80) {
        ++pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        c = lead & 0x07;
    } else {
        return std::nullopt;
    }
    if (s.size() - pos < static_cast<std::size_t>(length))
        return std::nullopt;
    for (int i = 1; i < length; ++i) {
        const std::uint8_t b = byte(pos + static_cast<std::size_t>(i));
        if ((b & 0xC0) != 0x80)
            return std::nullopt;
        c = (c << 6) | (b & 0x3F);
    }
    constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return std::nullopt;
    pos += static_cast<std::size_t>(length);
    return c;
}

} // namespace

char16_t decode(std::uint8_t byte)
{
    if (byte >= 0x80 && byte <= 0x9F)
        return kHigh[byte - 0x80];
    return byte;
}

std::optional<std::uint8_t> encode(char32_t codePoint)
{
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF))
        return static_cast<std::uint8_t>(codePoint);
    for (std::size_t i = 0; i < kHigh.size(); ++i) {
        if (kHigh[i] == codePoint)
            return static_cast<std::uint8_t>(0x80 + i);
    }
    return std::nullopt;
}

bool appendFromUtf8(std::string& out, std::string_view utf8)
{
    const std::size_t before = out.size();
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        // Runs of ASCII, most of any name, go over whole.
        std::size_t ascii = pos;
        while (ascii < utf8.size() && static_cast<std::uint8_t>(utf8[ascii]) < 0x80)
            ++ascii;
        out.append(utf8.substr(pos, ascii - pos));
        pos = ascii;
        if (pos == utf8.size())
            break;
        const auto c = nextUtf8(utf8, pos);
        const auto b = c ? encode(*c) : std::nullopt;
        if (!b) {
            out.resize(before);
            return false;
        }
        out.push_back(static_cast<char>(*b));
    }
    return true;
}

std::optional<std::string> fromUtf8(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    if (!appendFromUtf8(out, utf8))
        return std::nullopt;
    return out;
}

std::string toUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (const char ch : bytes)
        appendUtf8(out, decode(static_cast<std::uint8_t>(ch)));
    return out;
}

} // namespace velmario::cp1252
