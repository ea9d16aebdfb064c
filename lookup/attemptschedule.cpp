#include "attemptschedule.h"

namespace velmario::lookup {

AttemptSchedule::AttemptSchedule(int addresses, Duration attemptDelay, Duration connectTimeout)
    : m_count(addresses)
    , m_delay(attemptDelay)
    , m_timeout(connectTimeout)
{
}

AttemptSchedule::Due AttemptSchedule::begin(TimePoint now)
{
    m_nextStart = now;
    return advance(now);
}

AttemptSchedule::Due AttemptSchedule::failed(int attempt, TimePoint now)
{
    const auto before = m_running.size();
    m_running.removeIf([attempt](const Running& r) { return r.attempt == attempt; });
    if (m_running.size() != before)
        m_nextStart = now;
    return advance(now);
}

AttemptSchedule::Due AttemptSchedule::advance(TimePoint now)
{
    Due due;
    if (m_done)
        return due;
    for (const Running& r : std::as_const(m_running)) {
        if (r.deadline <= now)
            due.timedOut.append(r.attempt);
    }
    if (!due.timedOut.isEmpty()) {
        m_running.removeIf([now](const Running& r) { return r.deadline <= now; });
        m_nextStart = now; // a give-up is a failure: the next one now
    }
    if (m_next < m_count && m_nextStart <= now) {
        due.start.append(m_next);
        m_running.append({m_next, now + m_timeout});
        ++m_next;
        m_nextStart = now + m_delay;
    }
    return due;
}

QList<int> AttemptSchedule::connected(int attempt)
{
    QList<int> others;
    for (const Running& r : std::as_const(m_running)) {
        if (r.attempt != attempt)
            others.append(r.attempt);
    }
    m_running.clear();
    m_done = true;
    return others;
}

std::optional<AttemptSchedule::TimePoint> AttemptSchedule::nextDue() const
{
    if (m_done)
        return std::nullopt;
    std::optional<TimePoint> due;
    if (m_next < m_count)
        due = m_nextStart;
    for (const Running& r : m_running) {
        if (!due || r.deadline < *due)
            due = r.deadline;
    }
    return due;
}

bool AttemptSchedule::exhausted() const
{
    return !m_done && m_next == m_count && m_running.isEmpty();
}

QList<int> AttemptSchedule::running() const
{
    QList<int> attempts;
    for (const Running& r : m_running)
        attempts.append(r.attempt);
    return attempts;
}

} // namespace velmario::lookup
