#pragma once
// The commands that work on a database file rather than serve it. Each
// returns the process's exit code and logs what went wrong.

#include <string>

namespace velmario::server {

// Replaces the database at dbPath with the directory in a CSV file, or,
// if any row is bad, lists the bad lines and leaves it untouched; a CSV of
// no entries too, unless allowEmpty.
int runImport(const std::string& csvPath, const std::string& dbPath, bool allowEmpty);
// Writes the database as CSV to standard output, all of it or nothing.
int runExport(const std::string& dbPath);
// Checks every entry of the database at dbPath, as a load does, and keeps
// its checked copy beside it (what an import of the same entries would
// leave), so that the server starts from the copy. 3 when an entry breaks
// the rules, 2 when no copy could be kept.
int runCheck(const std::string& dbPath);

} // namespace velmario::server
