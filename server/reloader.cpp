#include "reloader.h"

#include "answer.h"
#include "log.h"
#include "lookupserver.h"
#include "reloadstatus.h"
#include "systemd.h"

#include <cstdio>
#include <optional>

namespace velmario::server {

OpenedDirectory openDirectory(const std::string& dbPath, std::size_t maxMemoryEntries)
{
    OpenedDirectory opened;
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

Reloader::Reloader(uv_loop_t& loop, LookupServer& server, std::string dbPath, std::size_t maxMemoryEntries)
    : m_server(server), m_dbPath(std::move(dbPath)), m_maxMemoryEntries(maxMemoryEntries)
{
    uv_async_init(&loop, &m_done, [](uv_async_t* done) { static_cast<Reloader*>(done->data)->finished(); });
    m_done.data = this;
}

Reloader::~Reloader()
{
    if (m_worker.joinable())
        m_worker.join();
}

void Reloader::request()
{
    if (m_busy) {
        m_again = true; // the file may have changed since this one began
        return;
    }
    m_busy = true;
    loadBegins();
    if (m_worker.joinable())
        m_worker.join();
    m_worker = std::thread([this] {
        OpenedDirectory opened = openDirectory(m_dbPath, m_maxMemoryEntries);
        const std::lock_guard lock(m_mutex);
        m_result = std::move(opened);
        if (!m_closing)
            uv_async_send(&m_done);
    });
}

void Reloader::close()
{
    const std::lock_guard lock(m_mutex);
    m_closing = true;
    uv_close(reinterpret_cast<uv_handle_t*>(&m_done), nullptr);
}

void Reloader::finished()
{
    OpenedDirectory opened;
    {
        const std::lock_guard lock(m_mutex);
        opened = std::move(m_result);
    }
    std::string status;
    if (opened.directory) {
        m_server.setDirectory(std::move(opened.directory));
        status = "serving " + opened.description;
        log("reloaded: " + status);
        loadServed(opened.description);
    } else {
        status = "reload failed, still serving the previous directory: " + opened.error;
        log(status, LogPriority::Error);
        loadRefused(opened.error);
    }
    m_busy = false;
    if (m_again) {
        m_again = false;
        request();
        return;
    }
}

} // namespace velmario::server
