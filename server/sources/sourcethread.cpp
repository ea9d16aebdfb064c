#include "sourcethread.h"

#include "log.h"
#include "reloadstatus.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

namespace velmario::server {
namespace {

// How long a stop waits for a load to notice it before leaving it.
constexpr std::chrono::milliseconds kStopGrace{500};
// At start, waits between tries double from the first to the last.
constexpr std::chrono::milliseconds kStartRetryFirst{250};
constexpr std::chrono::milliseconds kStartRetryLast{5000};

std::atomic<bool> g_abandoned{false};

std::string seconds(std::chrono::seconds s)
{
    return std::to_string(s.count()) + " s";
}

} // namespace

Loaded loadAtStart(Source& source, const SourceTiming& timing)
{
    const auto start = Clock::now();
    const bool retries = source.retriesAtStart() && timing.startupTimeout.count() > 0;
    const auto deadline = start + (retries ? timing.startupTimeout : timing.loadTimeout);
    auto wait = kStartRetryFirst;
    bool said = false;
    for (;;) {
        Loaded loaded = source.load(nullptr, std::min(deadline, Clock::now() + timing.loadTimeout));
        if (loaded.table || !loaded.unreachable || !retries)
            return loaded;
        if (Clock::now() + wait >= deadline) {
            loaded.error = "cannot reach " + source.name() + " within " + seconds(timing.startupTimeout) + ": " +
                           loaded.error;
            return loaded;
        }
        if (!said)
            log("waiting for " + source.name() + ": " + loaded.error);
        said = true;
        // SIGTERM before serving ends the process by itself.
        std::this_thread::sleep_for(wait);
        wait = std::min(wait * 2, kStartRetryLast);
    }
}

struct SourceThread::Shared {
    Shared(std::unique_ptr<Source> s, SourceTiming t, std::shared_ptr<ReloadStatus> st)
        : source(std::move(s)), name(source->name()), timing(t), status(std::move(st))
    {
    }

    void run();
    void hand(Reloaded&& outcome);

    std::unique_ptr<Source> source;
    const std::string name; // for the log, read on any thread
    const SourceTiming timing;
    const std::shared_ptr<ReloadStatus> status; // held, as a load left running may still report
    Wake wake;
    std::atomic<std::uint64_t> requests{0};
    std::mutex mutex;
    std::condition_variable endedChanged;
    std::deque<Reloaded> outcomes; // guarded by mutex
    uv_async_t* done = nullptr;    // guarded by mutex; null once closed
    bool ended = false;            // guarded by mutex
};

void SourceThread::Shared::hand(Reloaded&& outcome)
{
    const std::lock_guard lock(mutex);
    if (!done)
        return;
    outcomes.push_back(std::move(outcome));
    uv_async_send(done);
}

void SourceThread::Shared::run()
{
    ReloadSchedule schedule(timing.gaps);
    std::uint64_t seen = 0; // a request made before the thread ran counts too
    const auto never = Clock::time_point::max();
    auto nextRefresh = timing.refresh.count() > 0 ? Clock::now() + timing.refresh : never;
    bool down = false;
    while (!wake.stopping()) {
        const auto now = Clock::now();
        if (const std::uint64_t asked = requests.load(); asked != seen) {
            seen = asked;
            schedule.request();
        }
        if (now >= nextRefresh)
            schedule.request();
        if (schedule.dueBy(now)) {
            schedule.started(now);
            if (timing.refresh.count() > 0)
                nextRefresh = now + timing.refresh;
            status->begins();
            log("loading " + name + " again");
            Loaded loaded;
            try {
                loaded = source->load(&wake, now + timing.loadTimeout);
            } catch (const std::bad_alloc&) {
                loaded.error = "out of memory";
            }
            if (wake.stopping())
                break;
            Reloaded outcome;
            outcome.error = std::move(loaded.error);
            if (loaded.table) {
                schedule.finished();
                if (down) {
                    log(name + " is back");
                    status->retrying(false);
                }
                down = false;
                outcome.table = std::move(loaded.table);
                outcome.description = std::move(loaded.description);
                outcome.entries = loaded.entries;
                status->handedOver();
            } else if (loaded.unreachable) {
                schedule.unreachable(Clock::now());
                // Each change of state is logged once.
                if (!down) {
                    log("lost " + name + ", still serving the last directory; trying again: " + outcome.error,
                        LogPriority::Error);
                    status->retrying(true);
                }
                down = true;
                status->refused("lost " + name + ": " + outcome.error, LoadFailure::Unreachable);
            } else if (loaded.denied) {
                schedule.denied(Clock::now());
                log(name + " refuses this server, still serving the last directory; asked again no sooner than in " +
                        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timing.gaps.deniedGap).count()) +
                        " s: " + outcome.error,
                    LogPriority::Error);
                status->refused(outcome.error, LoadFailure::Denied);
            } else {
                schedule.finished();
                log("reload failed, still serving the previous directory: " + outcome.error, LogPriority::Error);
                status->refused(outcome.error);
            }
            hand(std::move(outcome));
            continue;
        }
        auto until = std::min(nextRefresh, schedule.due().value_or(never));
        switch (source->watch(wake, until)) {
        case Source::Watch::Changed:
        case Source::Watch::Lost: schedule.request(); break;
        case Source::Watch::Quiet: break;
        }
    }
    const std::lock_guard lock(mutex);
    ended = true;
    endedChanged.notify_all();
}

SourceThread::SourceThread(uv_loop_t& loop, std::unique_ptr<Source> source, SourceTiming timing,
                           std::shared_ptr<ReloadStatus> status, Deliver deliver)
    : m_shared(std::make_shared<Shared>(std::move(source), timing, std::move(status))), m_deliver(std::move(deliver))
{
    uv_async_init(&loop, &m_done, [](uv_async_t* done) { static_cast<SourceThread*>(done->data)->deliverAll(); });
    m_done.data = this;
    m_shared->done = &m_done;
    // The thread holds the shared state itself, so that one left running
    // at a stop never refers to freed memory.
    m_thread = std::thread([shared = m_shared] { shared->run(); });
}

SourceThread::~SourceThread()
{
    close();
    bool ended = false;
    {
        std::unique_lock lock(m_shared->mutex);
        ended = m_shared->endedChanged.wait_for(lock, kStopGrace, [this] { return m_shared->ended; });
    }
    if (ended) {
        m_thread.join(); // it has only to return
        return;
    }
    m_thread.detach();
    g_abandoned = true;
    log("a load from " + m_shared->name + " was still running at the stop: left unfinished");
}

void SourceThread::request()
{
    ++m_shared->requests;
    m_shared->wake.wake();
}

void SourceThread::close()
{
    if (m_closed)
        return;
    m_closed = true;
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->done = nullptr;
        m_shared->outcomes.clear();
    }
    m_shared->wake.stop();
    uv_close(reinterpret_cast<uv_handle_t*>(&m_done), nullptr);
}

bool SourceThread::abandonedLoads()
{
    return g_abandoned;
}

void SourceThread::deliverAll()
{
    std::deque<Reloaded> outcomes;
    {
        const std::lock_guard lock(m_shared->mutex);
        outcomes.swap(m_shared->outcomes);
    }
    for (Reloaded& outcome : outcomes)
        m_deliver(std::move(outcome));
}

} // namespace velmario::server
