// Any CSV text: parsed without fault, and whatever is accepted survives an
// export and a second import unchanged.
#include "csvimport.h"

#include <cstdint>
#include <cstdlib>

using namespace velmario::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const CsvImport first = parseDirectoryCsv(text);
    if (!first.problems.empty())
        return 0;
    const CsvImport second = parseDirectoryCsv(directoryCsv(first.entries));
    if (!second.problems.empty() || second.entries.size() != first.entries.size())
        std::abort();
    for (std::size_t i = 0; i < first.entries.size(); ++i) {
        const Entry& a = first.entries[i];
        const Entry& b = second.entries[i];
        if (a.controlNumber != b.controlNumber || a.name != b.name || a.telephone != b.telephone)
            std::abort();
    }
    return 0;
}
