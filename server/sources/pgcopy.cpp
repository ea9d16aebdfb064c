#include "pgcopy.h"

#include <cctype>

namespace velmario::server {
namespace {

bool isOctal(char c) { return c >= '0' && c <= '7'; }

int hexValue(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10;
}

// The character an escape stands for; `i` is at the backslash and ends on
// the escape's last character.
char unescape(std::string_view line, std::size_t& i)
{
    const char e = line[++i];
    switch (e) {
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    case 'x': {
        int value = 0;
        for (int digits = 0; digits < 2 && i + 1 < line.size()
                             && std::isxdigit(static_cast<unsigned char>(line[i + 1])); ++digits)
            value = value * 16 + hexValue(line[++i]);
        return static_cast<char>(value);
    }
    default:
        if (isOctal(e)) {
            int value = e - '0';
            for (int digits = 1; digits < 3 && i + 1 < line.size() && isOctal(line[i + 1]); ++digits)
                value = value * 8 + (line[++i] - '0');
            return static_cast<char>(value);
        }
        return e; // \\ and any other escaped character stand for themselves
    }
}

} // namespace

std::size_t parseCopyRow(std::string_view line, std::array<std::string, 3>& fields)
{
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    std::size_t count = 0;
    std::string field;
    bool escaped = false; // the field held an escape: "\\N" is text, not NULL
    for (std::size_t i = 0;; ++i) {
        if (i == line.size() || line[i] == '\t') {
            if (count < fields.size())
                fields[count] = (field == "\\N" && !escaped) ? std::string() : field;
            ++count;
            field.clear();
            escaped = false;
            if (i == line.size())
                break;
            continue;
        }
        if (line[i] == '\\' && i + 1 < line.size()) {
            if (line[i + 1] == 'N') { // kept as written: alone it is NULL
                field += "\\N";
                ++i;
                continue;
            }
            escaped = true;
            field += unescape(line, i);
            continue;
        }
        field += line[i];
    }
    return count;
}

std::string subquery(std::string_view query)
{
    while (!query.empty() && (query.back() == ';' || std::isspace(static_cast<unsigned char>(query.back()))))
        query.remove_suffix(1);
    std::string text = "(";
    text.append(query);
    text.append("\n)");
    return text;
}

} // namespace velmario::server
