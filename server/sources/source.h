#pragma once
// Where the served directory comes from: the database file (or the
// built-in sample), an organisation's PostgreSQL, or any other place a
// class implementing Source can read. A source is only ever used from one
// thread at a time: at start from the main thread, then from its
// SourceThread (sourcethread.h), never from the loop.

#include "directory.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace velmario::server {

using Clock = std::chrono::steady_clock;

// Ends a source's waits early: a pipe that any thread may write a byte to.
// `stopping` tells a wake-up that stops from one that only asks for a load.
class Wake
{
public:
    Wake();
    ~Wake();
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

    void wake();
    void stop();
    bool stopping() const { return m_stopping.load(); }
    int fd() const { return m_pipe[0]; }
    void drain();

private:
    int m_pipe[2] = {-1, -1};
    std::atomic<bool> m_stopping{false};
};

enum class Ready {
    Ready,    // the descriptor is ready
    Woken,    // a wake-up came (with WakeOn::Stop: only a stopping one)
    TimedOut, // the deadline passed
};
enum class WakeOn { Stop, Any };

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT), a wake-up
// comes or `deadline` passes. `wake` may be null (at start, when SIGTERM
// ends the process by itself).
Ready waitReady(int fd, short events, Wake* wake, WakeOn on, Clock::time_point deadline);

// How a directory whose replies are held in memory is served, for its
// Loaded::description: "held in memory, 12.3 MiB".
std::string heldInMemory(const ReplyIndex& replies);

struct Loaded {
    std::unique_ptr<const ReplyTable> table; // what is served; nothing on failure
    std::string description;                 // "N entries from WHERE (how it is served)"
    std::size_t entries = 0;                 // N
    std::string error;                       // why there is no table
    // The source could not be reached or did not answer in time: trying
    // again later may succeed. Otherwise its data were refused.
    bool unreachable = false;
    // Its entries break the directory's rules, or there are none: starting
    // again will not mend it (a start refused so exits 3).
    bool rejected = false;
    // The source refuses this server: its credentials or certificate, a
    // password file, a query, filter or option. The organisation's to mend:
    // a start refused so exits 4, and while serving the source is asked
    // again no sooner than ReloadSchedule's deniedGap, so that a wrong
    // password never locks the account it binds as.
    bool denied = false;
};

class Source
{
public:
    virtual ~Source() = default;

    // Reads the whole directory and checks it. Gives up at `deadline`, or
    // at once when `wake` stops (then what it returns is not used).
    virtual Loaded load(Wake* wake, Clock::time_point deadline) = 0;
    enum class Watch { Changed, Quiet, Lost };
    // Waits until `until` or a wake-up for the source's own word that its
    // data changed (PostgreSQL's NOTIFY). Lost: the source's connection
    // went away. By default a source says nothing and only waits.
    virtual Watch watch(Wake& wake, Clock::time_point until);

    // What the log calls it: "the database file F", "PostgreSQL database D".
    virtual std::string name() const = 0;
    // Whether loading again can give anything new (not the sample).
    virtual bool reloadable() const { return true; }
    // Whether a load at start that cannot reach the source is tried again
    // until the start-up timeout.
    virtual bool retriesAtStart() const { return false; }
};

} // namespace velmario::server
