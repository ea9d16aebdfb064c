#include "filesource.h"

#include "answer.h"
#include "log.h"

#include <cstdio>
#include <optional>

namespace velmario::server {

Loaded openDirectory(const std::string& dbPath, std::size_t maxMemoryEntries)
{
    Loaded opened;
    if (dbPath.empty()) {
        opened.directory = Directory::sample();
        if (!opened.directory)
            opened.error = "cannot build the sample directory";
    } else {
        opened.directory = Directory::open(dbPath, opened.error);
    }
    if (!opened.directory)
        return opened;
    const auto damaged = [&] {
        opened.error = damagedFile(dbPath);
        opened.directory.reset();
        return std::move(opened);
    };
    std::optional<std::size_t> entries;
    std::string how = "looked up in the database file";
    std::string problem;
    Holding holding = Holding::TooLarge;
    if (maxMemoryEntries > 0)
        holding = holdRepliesInMemory(*opened.directory, maxMemoryEntries, problem);
    switch (holding) {
    case Holding::InMemory: {
        const ReplyIndex& replies = *opened.directory->replies();
        entries = replies.size();
        char held[64];
        std::snprintf(held, sizeof held, "held in memory, %.1f MiB", double(replies.memoryBytes()) / (1024.0 * 1024.0));
        how = held;
        break;
    }
    case Holding::TooLarge: {
        // Served from the file: every entry is still checked once.
        const auto checked = checkDirectory(*opened.directory);
        if (!checked)
            return damaged();
        problem = *checked;
        break;
    }
    case Holding::Unreadable:
        return damaged();
    case Holding::Invalid:
        break;
    }
    if (!problem.empty()) {
        opened.error = (dbPath.empty() ? std::string("the sample directory") : dbPath) + ": " + problem;
        opened.rejected = true;
        opened.directory.reset();
        return opened;
    }
    if (!entries)
        entries = opened.directory->size();
    if (!entries)
        return damaged();
    opened.description = std::to_string(*entries) + " entries from " +
                         (dbPath.empty() ? std::string("the sample directory") : dbPath) + " (" + how + ")";
    return opened;
}

Loaded FileSource::load(Wake*, Clock::time_point)
{
    return openDirectory(m_dbPath, m_maxMemoryEntries);
}

std::string FileSource::name() const
{
    return m_dbPath.empty() ? std::string("the sample directory") : m_dbPath;
}

} // namespace velmario::server
