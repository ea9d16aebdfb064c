#pragma once
// When to start each connection attempt and when to give one up, for a
// host's addresses in the order they are tried (RFC 8305, section 5): the
// first at once; the next one when the attempt before it has not connected
// within the attempt delay, or at once when an attempt fails; each attempt
// given up once it has waited the connect time. The first attempt to
// connect ends the schedule, and the others are closed.
//
// The schedule only decides: it takes the time as an argument and opens no
// socket, so that a test can step the clock.

#include <QList>

#include <chrono>
#include <optional>

namespace velmario::lookup {

class AttemptSchedule
{
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Duration = std::chrono::milliseconds;

    AttemptSchedule() = default;
    AttemptSchedule(int addresses, Duration attemptDelay, Duration connectTimeout);

    struct Due {
        QList<int> start;    // attempts to begin now, by index
        QList<int> timedOut; // attempts that have waited long enough: give them up
    };

    // Begins at `now`: the first attempt is due at once.
    Due begin(TimePoint now);
    // The attempt failed: the next one is due at once.
    Due failed(int attempt, TimePoint now);
    // What is due by `now`.
    Due advance(TimePoint now);
    // The attempt connected: the schedule ends. Returns the attempts still
    // under way, to be closed.
    QList<int> connected(int attempt);

    // When something next falls due; nothing once no attempt is left to
    // start or wait for.
    std::optional<TimePoint> nextDue() const;
    // Every attempt was started and none connected.
    bool exhausted() const;
    int startedCount() const { return m_next; }
    QList<int> running() const;

private:
    struct Running {
        int attempt;
        TimePoint deadline;
    };

    int m_count = 0;
    Duration m_delay{0};
    Duration m_timeout{0};
    int m_next = 0; // the next attempt to start
    TimePoint m_nextStart{};
    QList<Running> m_running;
    bool m_done = false;
};

} // namespace velmario::lookup
