#include "log.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace velmario::server {
namespace {

constexpr std::size_t kQueuedLines = 4096;

void write(std::string_view line)
{
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    std::fflush(stderr);
}

// "velmario-server: text", with the journal's priority prefix when standard
// error is the journal.
bool toJournal()
{
    static const bool journal = stderrIsJournal();
    return journal;
}

std::string format(std::string_view text, LogPriority priority)
{
    std::string line = "velmario-server: ";
    line += text;
    return logLine(priority, line, toJournal());
}

struct Writer {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::string> queue; // guarded by mutex
    std::size_t dropped = 0;       // guarded by mutex
    bool running = false;          // guarded by mutex
    bool stopping = false;         // guarded by mutex
    std::thread thread;

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            std::deque<std::string> lines;
            lines.swap(queue);
            const std::size_t lost = dropped;
            dropped = 0;
            const bool last = stopping;
            lock.unlock();
            for (const std::string& line : lines)
                write(line);
            if (lost > 0)
                write(format(std::to_string(lost) + " log line(s) dropped: standard error was not read fast enough",
                             LogPriority::Warning));
            lock.lock();
            if (last && queue.empty())
                return;
        }
    }
};

Writer& writer()
{
    static Writer w;
    return w;
}

} // namespace

void log(std::string_view text, LogPriority priority)
{
    const std::string line = format(text, priority);
    Writer& w = writer();
    {
        const std::lock_guard lock(w.mutex);
        if (w.running) {
            if (w.queue.size() >= kQueuedLines)
                ++w.dropped;
            else
                w.queue.emplace_back(line);
            w.wake.notify_one();
            return;
        }
    }
    write(line);
}

void writeToStderr(std::string_view text, LogPriority priority)
{
    while (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    if (!text.empty())
        write(logLine(priority, text, toJournal()));
}

void tellSystemd(const std::string& error)
{
    if (!error.empty())
        log(error, LogPriority::Warning);
}

void startLogWriter()
{
    Writer& w = writer();
    const std::lock_guard lock(w.mutex);
    if (w.running)
        return;
    w.running = true;
    w.stopping = false;
    w.thread = std::thread([&w] { w.run(); });
}

void stopLogWriter()
{
    Writer& w = writer();
    {
        const std::lock_guard lock(w.mutex);
        if (!w.running)
            return;
        w.stopping = true;
        w.wake.notify_one();
    }
    w.thread.join();
    const std::lock_guard lock(w.mutex);
    w.running = false;
}

} // namespace velmario::server
