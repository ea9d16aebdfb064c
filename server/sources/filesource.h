#pragma once
// The directory from a database file written by import, or the sample
// built into the program.

#include "source.h"

#include <cstddef>
#include <memory>
#include <string>

namespace velmario::server {

// Opens the directory at dbPath (empty: the built-in sample) and, if it has
// no more than maxMemoryEntries entries, holds its replies in memory: at
// once, or with `later` only once it serves (Loaded::holdLater), every entry
// checked before it does.
Loaded openDirectory(const std::string& dbPath, std::size_t maxMemoryEntries, bool later = false);

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
    // Served from its file until its replies are held in memory, so that a
    // reload never needs room for two directories.
    Loaded loadAgain(Wake* wake, Clock::time_point deadline) override;
    std::string name() const override;
    bool reloadable() const override { return !m_dbPath.empty(); }

private:
    const std::string m_dbPath;
    const std::size_t m_maxMemoryEntries;
};

} // namespace velmario::server
