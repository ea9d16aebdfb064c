// Any bytes as a row of COPY's text format: parsed without fault, with as
// many fields as tabs plus one; and any three fields written the way
// PostgreSQL writes them come back unchanged.
#include "pgcopy.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace velmario::server;

namespace {

// A field as COPY TO STDOUT writes it in text format.
std::string escaped(const std::string& field)
{
    std::string out;
    for (const char c : field) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    std::array<std::string, 3> fields;
    // Fields end at tabs that no backslash escapes (PostgreSQL takes the
    // character after a backslash as data, a tab too).
    const std::string_view body = !line.empty() && line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
    std::size_t tabs = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\\')
            ++i;
        else if (body[i] == '\t')
            ++tabs;
    }
    if (parseCopyRow(line, fields) != tabs + 1)
        std::abort();

    // The same bytes cut in three as the fields themselves.
    std::array<std::string, 3> original;
    std::size_t part = 0;
    for (const char c : line) {
        if (c == '\x01' && part < 2)
            ++part;
        else
            original[part] += c;
    }
    const std::string row = escaped(original[0]) + '\t' + escaped(original[1]) + '\t' + escaped(original[2]) + '\n';
    std::array<std::string, 3> back;
    if (parseCopyRow(row, back) != 3 || back != original)
        std::abort();
    return 0;
}
