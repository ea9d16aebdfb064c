#pragma once
// Reading and writing the directory as CSV (RFC 4180, UTF-8).

#include "directory.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmario::server {

// Bounds on what an imported directory may hold, in characters.
inline constexpr std::size_t kMaxControlNumber = 64;
inline constexpr std::size_t kMaxName = 200;
inline constexpr std::size_t kMaxTelephone = 64;
// Bounds of the reading itself, in bytes and fields: past them the input
// cannot be a directory, and it is not read further. A field of the
// longest name, four bytes a character, fits.
inline constexpr std::size_t kMaxFieldBytes = 4 * kMaxName + 256;
inline constexpr std::size_t kMaxFields = 16;

// Where a CSV's bytes come from, a block at a time.
class CsvInput
{
public:
    virtual ~CsvInput() = default;
    // The next block; empty at the end (or when the reading must stop).
    virtual std::string_view more() = 0;
};

struct CsvProblem {
    std::size_t line; // where the record starts, counting from 1
    std::string message;
};

struct CsvImport {
    std::vector<Entry> entries;
    std::vector<CsvProblem> problems; // empty when every row is good
};

// The rules every entry of a directory keeps, wherever it comes from: the
// reason an entry breaks them, or nothing.
std::string checkEntry(const Entry& entry);
// Changes whenever checkEntry()'s rules or the replies' encoding change: a
// checked copy of replies made under other rules is not used.
inline constexpr unsigned kEntryRulesVersion = 1;

// Takes each good entry of a CSV in turn, with the line it starts on. It
// may refuse one by setting `why`, and stop the reading by returning false.
using AcceptEntry = std::function<bool(Entry&& entry, std::size_t line, std::string& why)>;

// Reads a CSV record by record: the header
// "control_number,name,telephone", then one record per person. Every bad
// record, and every one `accept` refuses, is reported, in line order. A
// field past kMaxFieldBytes or a record past kMaxFields ends the reading,
// reported as a problem of its line.
std::vector<CsvProblem> readDirectoryCsv(CsvInput& input, const AcceptEntry& accept);
std::vector<CsvProblem> readDirectoryCsv(std::string_view text, const AcceptEntry& accept);

// Parses and validates a whole CSV text: the header
// "control_number,name,telephone", then one record per person. Every bad
// record is reported; entries are meaningful only without problems.
CsvImport parseDirectoryCsv(std::string_view text);

// The directory as CSV, as parseDirectoryCsv reads it back.
std::string directoryCsv(const std::vector<Entry>& entries);

} // namespace velmario::server
