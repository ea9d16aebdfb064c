#pragma once
// Loading the directory again while the loop goes on serving the one it
// has: a thread of its own per source, which waits for a reason to load
// (SIGHUP, the source's own word that its data changed, the refresh), loads
// as the reload schedule allows and hands each outcome to the loop.

#include "reloadschedule.h"
#include "reloadstatus.h"
#include "source.h"

#include <uv.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace velmario::server {

// What signals see of the source: SIGHUP asks for a load, SIGTERM closes it.
class DirectorySource
{
public:
    // Loads the directory again (SIGHUP).
    virtual void request() = 0;
    // Lets the loop end at once: never waits for a load that is running.
    virtual void close() = 0;

protected:
    ~DirectorySource() = default;
};

struct SourceTiming {
    std::chrono::seconds refresh{};                 // 0: only when asked or told
    std::chrono::seconds loadTimeout{};             // one load, connecting included
    std::chrono::seconds startupTimeout{};          // the first load of a source that retries
    ReloadSchedule::Gaps gaps{};
};

// At start, before serving: loads once, or, for a source that retries at
// start, until the start-up timeout, with the reload schedule's backoff.
Loaded loadAtStart(Source& source, const SourceTiming& timing);

// The outcome of one load, handed to the loop: a directory to serve, or
// why the old one still serves.
struct Reloaded {
    std::shared_ptr<const ReplyTable> table;
    std::string description;
    std::size_t entries = 0;
    std::string error;
};

class SourceThread final : public DirectorySource
{
public:
    using Deliver = std::function<void(Reloaded&&)>;

    // `deliver` runs on the loop once for every load that ended; each load
    // is reported to `status` as it begins and ends.
    SourceThread(uv_loop_t& loop, std::unique_ptr<Source> source, SourceTiming timing,
                 std::shared_ptr<ReloadStatus> status, Deliver deliver);
    // Waits briefly for the thread; a load that does not end by then is
    // left to itself (see abandonedLoads()).
    ~SourceThread();
    SourceThread(const SourceThread&) = delete;
    SourceThread& operator=(const SourceThread&) = delete;

    void request() override;
    void close() override;

    // Whether a stop left a load running: the process then ends without
    // running its static destructors, which that load might still use.
    static bool abandonedLoads();

private:
    struct Shared;
    void deliverAll();

    std::shared_ptr<Shared> m_shared;
    Deliver m_deliver;
    uv_async_t m_done{};
    std::thread m_thread;
    bool m_closed = false;
};

} // namespace velmario::server
