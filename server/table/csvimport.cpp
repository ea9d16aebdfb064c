#include "csvimport.h"

#include "cp1252.h"

#include <algorithm>
#include <utility>
#include <unordered_map>

namespace velmario::server {
namespace {

struct Record {
    std::size_t line;
    std::vector<std::string> fields;
};

// RFC 4180 records, one at a time, from bytes that arrive in blocks.
// Accepts LF as well as CRLF line ends; a quote inside an unquoted field,
// or text after a closing quote, is an error of that record. A field or a
// record past its bound ends the reading: whatever the input, what is held
// at once stays small.
class RecordReader
{
public:
    explicit RecordReader(CsvInput& input) : m_input(input) {}

    enum class Read { Record, End, Overlong };
    // The next record. `why` is set for a bad record, and for Overlong.
    Read next(Record& record, std::string& why)
    {
        if (peek() < 0)
            return Read::End;
        record.line = m_line;
        record.fields.clear();
        why.clear();
        bool recordBad = false;
        std::string field;
        for (;;) {
            field.clear();
            if (peek() == '"') {
                take();
                bool closed = false;
                for (int c = peek(); c >= 0; c = peek()) {
                    take();
                    if (c == '"') {
                        if (peek() == '"') {
                            field += '"';
                            take();
                        } else {
                            closed = true;
                            break;
                        }
                    } else {
                        if (c == '\n')
                            ++m_line;
                        field += static_cast<char>(c);
                        if (field.size() > kMaxFieldBytes)
                            return overlong(why, "a field is longer than " + std::to_string(kMaxFieldBytes) + " bytes");
                    }
                }
                if (!closed) {
                    recordBad = true;
                    why = "a quoted field is never closed";
                }
                if (peek() >= 0 && peek() != ',' && peek() != '\n' && peek() != '\r') {
                    recordBad = true;
                    why = "text after a closing quote";
                    while (peek() >= 0 && peek() != ',' && peek() != '\n')
                        take();
                }
            } else {
                for (int c = peek(); c >= 0 && c != ',' && c != '\n' && c != '\r'; c = peek()) {
                    if (c == '"' && !recordBad) {
                        recordBad = true;
                        why = "a quote inside an unquoted field";
                    }
                    field += static_cast<char>(c);
                    take();
                    if (field.size() > kMaxFieldBytes)
                        return overlong(why, "a field is longer than " + std::to_string(kMaxFieldBytes) + " bytes");
                }
            }
            record.fields.push_back(field);
            if (peek() == ',') {
                take();
                if (record.fields.size() >= kMaxFields)
                    return overlong(why, "a line has more than " + std::to_string(kMaxFields) + " fields");
                continue;
            }
            break;
        }
        if (peek() == '\r')
            take();
        if (peek() == '\n') {
            take();
            ++m_line;
        } else if (peek() >= 0) {
            // A stray CR in the middle of a line.
            why = "a carriage return inside an unquoted field";
            std::size_t skipped = 0;
            while (peek() >= 0 && peek() != '\n') {
                take();
                if (++skipped > kMaxFieldBytes)
                    return overlong(why, "a line is longer than " + std::to_string(kMaxFieldBytes) + " bytes");
            }
        }
        return Read::Record;
    }

    std::size_t line() const { return m_line; }

private:
    int peek()
    {
        if (m_pos == m_block.size()) {
            m_block = m_first ? head() : m_input.more();
            m_pos = 0;
            if (m_block.empty())
                return -1;
        }
        return static_cast<unsigned char>(m_block[m_pos]);
    }
    // The first bytes, without the byte order mark they may start with.
    std::string_view head()
    {
        m_first = false;
        for (std::string_view block = m_input.more(); !block.empty(); block = m_input.more()) {
            m_head.append(block);
            if (m_head.size() >= 3)
                break;
        }
        if (m_head.compare(0, 3, "\xEF\xBB\xBF") == 0)
            m_head.erase(0, 3);
        return m_head.empty() ? m_input.more() : std::string_view(m_head);
    }
    void take() { ++m_pos; }

    static Read overlong(std::string& why, std::string text)
    {
        why = std::move(text) + ": the rest of the file is not read";
        return Read::Overlong;
    }

    CsvInput& m_input;
    std::string_view m_block;
    std::size_t m_pos = 0;
    std::size_t m_line = 1;
    std::string m_head;
    bool m_first = true;
};

// A text held whole, as one block.
class TextInput final : public CsvInput
{
public:
    explicit TextInput(std::string_view text) : m_text(text) {}
    std::string_view more() override { return std::exchange(m_text, std::string_view()); }

private:
    std::string_view m_text;
};

std::size_t characters(std::string_view utf8)
{
    std::size_t count = 0;
    for (const char c : utf8)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

bool hasControl(std::string_view s)
{
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F)
            return true;
    }
    return false;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::string checkField(std::string_view what, std::string_view value, std::size_t maxChars)
{
    if (value.empty())
        return std::string(what) + " is empty";
    const auto encoded = cp1252::fromUtf8(value);
    if (!encoded)
        return std::string(what) + " is not UTF-8 text that Windows-1252 can carry";
    if (characters(value) > maxChars)
        return std::string(what) + " is longer than " + std::to_string(maxChars) + " characters";
    if (hasControl(value))
        return std::string(what) + " holds a control character";
    return {};
}

std::string quoted(const std::string& field)
{
    const bool needsQuotes = field.find_first_of(",\"\r\n") != std::string::npos
                             || (!field.empty() && (isSpace(field.front()) || isSpace(field.back())));
    if (!needsQuotes)
        return field;
    std::string out = "\"";
    for (const char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

} // namespace

std::string checkEntry(const Entry& entry)
{
    const std::string& number = entry.controlNumber;
    std::string why = checkField("the control number", number, kMaxControlNumber);
    if (why.empty() && (isSpace(number.front()) || isSpace(number.back())))
        why = "the control number starts or ends with a space";
    if (why.empty())
        why = checkField("the name", entry.name, kMaxName);
    if (why.empty())
        why = checkField("the telephone", entry.telephone, kMaxTelephone);
    if (why.empty() && entry.telephone.find('*') != std::string::npos)
        why = "the telephone holds a \"*\"";
    return why;
}

std::vector<CsvProblem> readDirectoryCsv(CsvInput& input, const AcceptEntry& accept)
{
    std::vector<CsvProblem> problems;
    RecordReader reader(input);
    Record record;
    std::string why;
    bool header = true;
    const std::vector<std::string> expected = {"control_number", "name", "telephone"};
    const auto sorted = [&] {
        std::stable_sort(problems.begin(), problems.end(),
                         [](const CsvProblem& a, const CsvProblem& b) { return a.line < b.line; });
        return std::move(problems);
    };
    for (;;) {
        const RecordReader::Read read = reader.next(record, why);
        if (read == RecordReader::Read::End)
            break;
        if (read == RecordReader::Read::Overlong) {
            problems.push_back({reader.line(), why});
            return sorted();
        }
        if (header) {
            header = false;
            if (!why.empty() || record.fields != expected)
                problems.push_back({1, "the first line must be the header control_number,name,telephone"});
            if (record.line != 1 || (record.fields.size() == 1 && record.fields[0].empty()))
                return problems; // nothing that could be the directory
            continue;
        }
        if (why.empty() && record.fields.size() == 1 && record.fields[0].empty())
            continue; // blank lines are skipped
        if (why.empty() && record.fields.size() != 3)
            why = "expected 3 fields, found " + std::to_string(record.fields.size());
        Entry entry;
        if (why.empty()) {
            entry = {std::move(record.fields[0]), std::move(record.fields[1]), std::move(record.fields[2])};
            why = checkEntry(entry);
        }
        if (why.empty() && !accept(std::move(entry), record.line, why))
            break;
        if (!why.empty())
            problems.push_back({record.line, why});
    }
    if (header)
        problems.push_back({1, "the first line must be the header control_number,name,telephone"});
    return sorted();
}

std::vector<CsvProblem> readDirectoryCsv(std::string_view text, const AcceptEntry& accept)
{
    TextInput input(text);
    return readDirectoryCsv(input, accept);
}

CsvImport parseDirectoryCsv(std::string_view text)
{
    CsvImport result;
    std::unordered_map<std::string, std::size_t> seen;
    result.problems = readDirectoryCsv(text, [&](Entry&& entry, std::size_t line, std::string& why) {
        const auto [it, inserted] = seen.emplace(entry.controlNumber, line);
        if (!inserted)
            why = "control number " + entry.controlNumber + " already appears on line " + std::to_string(it->second);
        else
            result.entries.push_back(std::move(entry));
        return true;
    });
    return result;
}

std::string directoryCsv(const std::vector<Entry>& entries)
{
    std::string out = "control_number,name,telephone\r\n";
    for (const Entry& e : entries)
        out += quoted(e.controlNumber) + ',' + quoted(e.name) + ',' + quoted(e.telephone) + "\r\n";
    return out;
}

} // namespace velmario::server
