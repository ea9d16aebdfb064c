#pragma once
// The directory from a database file written by import, or the sample
// built into the program.

#include "source.h"

#include <cstddef>
#include <memory>
#include <string>

namespace velmario::server {

// The table of replies of the directory at dbPath (empty: the built-in
// sample), every entry checked: read from its checked copy when one
// matches the database, otherwise from the database. Held in memory up to
// maxMemoryEntries entries; a larger one is looked up on disk, in its copy
// or in a table built in files of its own.
Loaded openDirectory(const std::string& dbPath, std::size_t maxMemoryEntries);

// Opens the file again at each load. Reading a local file is not waited
// on: a stop that comes meanwhile leaves the load to itself.
class FileSource final : public Source
{
public:
    FileSource(std::string dbPath, std::size_t maxMemoryEntries)
        : m_dbPath(std::move(dbPath)), m_maxMemoryEntries(maxMemoryEntries)
    {
    }

    Loaded load(Wake* wake, Clock::time_point deadline) override;
    std::string name() const override;
    bool reloadable() const override { return !m_dbPath.empty(); }

private:
    const std::string m_dbPath;
    const std::size_t m_maxMemoryEntries;
};

} // namespace velmario::server
