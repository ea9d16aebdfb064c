#pragma once
// Opening the directory to serve, at start and again on each reload.

#include "directory.h"

#include <uv.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace velmario::server {

class LookupServer;

struct OpenedDirectory {
    std::shared_ptr<Directory> directory; // nothing on failure
    std::string error;
    std::string description; // "N entries from WHERE (how it is served)"
    bool rejected = false;   // its entries break the rules: loading again will not mend it
};

// Opens the directory at dbPath (empty: the built-in sample) and, if it has
// no more than maxMemoryEntries entries, holds its replies in memory.
OpenedDirectory openDirectory(const std::string& dbPath, std::size_t maxMemoryEntries);

// Where the served directory comes from, as signals see it.
class DirectorySource
{
public:
    // Loads the directory again (SIGHUP).
    virtual void request() = 0;
    // Lets the loop end; a load still running is dropped when it finishes.
    virtual void close() = 0;

protected:
    ~DirectorySource() = default;
};

// Reopens the database on request. Opening and loading a large directory
// takes a while, so it runs on a thread of its own while the loop keeps
// serving the old one; the swap happens on the loop.
class Reloader final : public DirectorySource
{
public:
    Reloader(uv_loop_t& loop, LookupServer& server, std::string dbPath, std::size_t maxMemoryEntries);
    Reloader(const Reloader&) = delete;
    Reloader& operator=(const Reloader&) = delete;
    // The loop must have run the close callback (see close()) by now.
    ~Reloader();

    void request() override;
    void close() override;

private:
    void finished();

    LookupServer& m_server;
    const std::string m_dbPath;
    const std::size_t m_maxMemoryEntries;
    uv_async_t m_done{};
    std::thread m_worker;
    std::mutex m_mutex;
    OpenedDirectory m_result; // guarded by m_mutex
    bool m_closing = false;
    bool m_busy = false;
    bool m_again = false;
};

} // namespace velmario::server
