#include "csvimport.h"

#include "cp1252.h"

#include <algorithm>
#include <unordered_map>

namespace velmario::server {
namespace {

struct Record {
    std::size_t line;
    std::vector<std::string> fields;
};

// RFC 4180 records, one at a time. Accepts LF as well as CRLF line ends; a
// quote inside an unquoted field, or text after a closing quote, is an
// error of that record.
class RecordReader
{
public:
    explicit RecordReader(std::string_view text) : m_text(text) {}

    // The next record; false at the end. `why` is set for a bad record.
    bool next(Record& record, std::string& why)
    {
        const std::string_view text = m_text;
        const std::size_t n = text.size();
        std::size_t& i = m_pos;
        if (i >= n)
            return false;
        record.line = m_line;
        record.fields.clear();
        why.clear();
        bool recordBad = false;
        std::string field;
        for (;;) {
            field.clear();
            if (i < n && text[i] == '"') {
                ++i;
                bool closed = false;
                while (i < n) {
                    const char c = text[i++];
                    if (c == '"') {
                        if (i < n && text[i] == '"') {
                            field += '"';
                            ++i;
                        } else {
                            closed = true;
                            break;
                        }
                    } else {
                        if (c == '\n')
                            ++m_line;
                        field += c;
                    }
                }
                if (!closed) {
                    recordBad = true;
                    why = "a quoted field is never closed";
                }
                if (i < n && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
                    recordBad = true;
                    why = "text after a closing quote";
                    while (i < n && text[i] != ',' && text[i] != '\n')
                        ++i;
                }
            } else {
                while (i < n && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
                    if (text[i] == '"' && !recordBad) {
                        recordBad = true;
                        why = "a quote inside an unquoted field";
                    }
                    field += text[i++];
                }
            }
            record.fields.push_back(field);
            if (i < n && text[i] == ',') {
                ++i;
                continue;
            }
            break;
        }
        if (i < n && text[i] == '\r')
            ++i;
        if (i < n && text[i] == '\n') {
            ++i;
            ++m_line;
        } else if (i < n) {
            // A stray CR in the middle of a line.
            why = "a carriage return inside an unquoted field";
            while (i < n && text[i] != '\n')
                ++i;
        }
        return true;
    }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
    std::size_t m_line = 1;
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

std::vector<CsvProblem> readDirectoryCsv(std::string_view text, const AcceptEntry& accept)
{
    std::vector<CsvProblem> problems;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    RecordReader reader(text);
    Record record;
    std::string why;
    bool header = true;
    const std::vector<std::string> expected = {"control_number", "name", "telephone"};
    while (reader.next(record, why)) {
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
    std::stable_sort(problems.begin(), problems.end(),
                     [](const CsvProblem& a, const CsvProblem& b) { return a.line < b.line; });
    return problems;
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
