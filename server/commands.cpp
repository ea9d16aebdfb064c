#include "commands.h"

#include "csvimport.h"
#include "directory.h"
#include "exitcodes.h"
#include "log.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace velmario::server {

int runImport(const std::string& csvPath, const std::string& dbPath)
{
    std::ifstream in(csvPath, std::ios::binary);
    if (!in) {
        log("cannot read " + csvPath);
        return kExitFailure;
    }
    std::stringstream content;
    content << in.rdbuf();
    const CsvImport parsed = parseDirectoryCsv(content.str());
    if (!parsed.problems.empty()) {
        for (const CsvProblem& p : parsed.problems)
            std::fprintf(stderr, "%s:%zu: %s\n", csvPath.c_str(), p.line, p.message.c_str());
        log(std::to_string(parsed.problems.size()) + " bad line(s): nothing imported, " + dbPath + " unchanged");
        return kExitRejected;
    }
    std::string error;
    if (!Directory::write(dbPath, parsed.entries, error)) {
        log("import failed: " + error);
        return kExitFailure;
    }
    log("imported " + std::to_string(parsed.entries.size()) + " entries into " + dbPath);
    return kExitOk;
}

int runExport(const std::string& dbPath)
{
    std::string error;
    auto directory = Directory::open(dbPath, error);
    if (!directory) {
        log(error);
        return kExitFailure;
    }
    const auto entries = directory->all();
    if (!entries) {
        log(damagedFile(dbPath) + ". Nothing exported.");
        return kExitFailure;
    }
    const std::string csv = directoryCsv(*entries);
    std::fwrite(csv.data(), 1, csv.size(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

} // namespace velmario::server
