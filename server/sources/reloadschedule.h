#pragma once
// When the directory is loaded again. Reasons to load (SIGHUP, NOTIFY, a
// refresh tick, a lost source) fold together: at most one load runs and at
// most one waits, whatever arrives meanwhile, and loads start at least
// `minGap` apart, so that a storm of notifications makes a handful of
// loads. A reason that arrives while a load runs is kept for the next one:
// the data may have changed after the running load read it. After a load
// that could not reach its source, the next waits out a backoff that
// doubles from `retryMin` to `retryMax`; after one the source refused
// (its credentials, say), the next waits `deniedGap`.
//
// Time is passed in, so the policy is tested without a clock or a thread.

#include <algorithm>
#include <chrono>
#include <optional>

namespace velmario::server {

class ReloadSchedule
{
public:
    using Clock = std::chrono::steady_clock;
    using Duration = Clock::duration;

    struct Gaps {
        Duration minGap = std::chrono::seconds(1);
        Duration retryMin = std::chrono::seconds(1);
        Duration retryMax = std::chrono::seconds(30);
        // After the source refused this server: 3 attempts a minute at most.
        Duration deniedGap = std::chrono::seconds(20);
    };

    ReloadSchedule() = default;
    explicit ReloadSchedule(Gaps gaps) : m_gaps(gaps), m_backoff(gaps.retryMin) {}

    // A reason to load. Folds into the load that waits, if one does.
    void request() { m_waiting = true; }
    bool waiting() const { return m_waiting; }
    bool running() const { return m_running; }

    // When the waiting load may start: nothing if none waits or one runs.
    std::optional<Clock::time_point> due() const
    {
        if (!m_waiting || m_running)
            return std::nullopt;
        if (!m_lastStart)
            return m_notBefore.value_or(Clock::time_point::min());
        const Clock::time_point gapEnds = *m_lastStart + m_gaps.minGap;
        return m_notBefore ? std::max(gapEnds, *m_notBefore) : gapEnds;
    }
    bool dueBy(Clock::time_point now) const
    {
        const auto when = due();
        return when && *when <= now;
    }

    // The waiting load starts: reasons from now on wait for the next one.
    void started(Clock::time_point now)
    {
        m_running = true;
        m_waiting = false;
        m_lastStart = now;
    }
    // The load ended with a directory, or with data refused: no backoff.
    void finished()
    {
        m_running = false;
        m_notBefore.reset();
        m_backoff = m_gaps.retryMin;
    }
    // The load could not reach its source: it waits again, after a backoff.
    void unreachable(Clock::time_point now)
    {
        m_running = false;
        m_waiting = true;
        m_notBefore = now + m_backoff;
        m_backoff = std::min(m_backoff * 2, m_gaps.retryMax);
    }
    // The source refused this server: whatever asks for a load next waits
    // until deniedGap has passed.
    void denied(Clock::time_point now)
    {
        m_running = false;
        m_notBefore = now + m_gaps.deniedGap;
        m_backoff = m_gaps.retryMin;
    }
    Duration backoff() const { return m_backoff; }

private:
    Gaps m_gaps;
    Duration m_backoff = m_gaps.retryMin;
    std::optional<Clock::time_point> m_lastStart;
    std::optional<Clock::time_point> m_notBefore;
    bool m_waiting = false;
    bool m_running = false;
};

} // namespace velmario::server
