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

// RFC 4180 records. Accepts LF as well as CRLF line ends; a quote inside an
// unquoted field, or text after a closing quote, is an error of that record.
std::vector<Record> parseRecords(std::string_view text, std::vector<CsvProblem>& problems)
{
    std::vector<Record> records;
    std::size_t i = 0;
    std::size_t line = 1;
    const std::size_t n = text.size();
    while (i < n) {
        Record record{line, {}};
        std::string field;
        bool recordBad = false;
        std::string why;
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
                            ++line;
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
            ++line;
        } else if (i < n) {
            // A stray CR in the middle of a line.
            recordBad = true;
            why = "a carriage return inside an unquoted field";
            while (i < n && text[i] != '\n')
                ++i;
        }
        if (recordBad)
            problems.push_back({record.line, why});
        else if (!(record.fields.size() == 1 && record.fields[0].empty()))
            records.push_back(std::move(record)); // blank lines are skipped
    }
    return records;
}

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

CsvImport parseDirectoryCsv(std::string_view text)
{
    CsvImport result;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::vector<Record> records = parseRecords(text, result.problems);
    if (records.empty() || records.front().line != 1) {
        result.problems.insert(result.problems.begin(),
                               {1, "the first line must be the header control_number,name,telephone"});
        return result;
    }
    const std::vector<std::string> header = {"control_number", "name", "telephone"};
    if (records.front().fields != header)
        result.problems.insert(result.problems.begin(),
                               {1, "the first line must be the header control_number,name,telephone"});

    std::unordered_map<std::string, std::size_t> seen;
    for (std::size_t r = 1; r < records.size(); ++r) {
        Record& record = records[r];
        const auto problem = [&](const std::string& message) {
            result.problems.push_back({record.line, message});
        };
        if (record.fields.size() != 3) {
            problem("expected 3 fields, found " + std::to_string(record.fields.size()));
            continue;
        }
        const std::string& number = record.fields[0];
        std::string why = checkField("the control number", number, kMaxControlNumber);
        if (why.empty() && (isSpace(number.front()) || isSpace(number.back())))
            why = "the control number starts or ends with a space";
        if (why.empty())
            why = checkField("the name", record.fields[1], kMaxName);
        if (why.empty())
            why = checkField("the telephone", record.fields[2], kMaxTelephone);
        if (why.empty() && record.fields[2].find('*') != std::string::npos)
            why = "the telephone holds a \"*\"";
        if (why.empty()) {
            const auto [it, inserted] = seen.emplace(number, record.line);
            if (!inserted)
                why = "control number " + number + " already appears on line " + std::to_string(it->second);
        }
        if (!why.empty()) {
            problem(why);
            continue;
        }
        result.entries.push_back({number, std::move(record.fields[1]), std::move(record.fields[2])});
    }
    std::stable_sort(result.problems.begin(), result.problems.end(),
                     [](const CsvProblem& a, const CsvProblem& b) { return a.line < b.line; });
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
