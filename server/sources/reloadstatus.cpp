#include "reloadstatus.h"

#include "exitcodes.h"
#include "log.h"
#include "smallfile.h"
#include "systemd.h"

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmario::server {
namespace {

using Clock = std::chrono::steady_clock;

// How often a reload command looks at the status file: a tenth of what a
// small directory takes to load, and no load on the machine.
constexpr std::chrono::milliseconds kPollEvery{20};

// A message on one line: its first, and when that only announces a list
// ("2 row(s) break the directory's rules:"), the list's first item too.
std::string firstLine(std::string_view text)
{
    const std::size_t end = text.find('\n');
    std::string line(text.substr(0, end));
    if (end == std::string_view::npos || line.empty() || line.back() != ':')
        return line;
    std::string_view next = text.substr(end + 1);
    next = next.substr(0, next.find('\n'));
    while (!next.empty() && next.front() == ' ')
        next.remove_prefix(1);
    return next.empty() ? line : line + " " + std::string(next);
}

// Writes the newest status to the file, off the loop: a state that another
// replaced before it was written is never written.
class FileWriter
{
public:
    void start(std::string path)
    {
        const std::lock_guard lock(m_mutex);
        m_path = std::move(path);
        m_stopping = false;
        m_thread = std::thread([this] { run(); });
    }
    void post(std::string text)
    {
        const std::lock_guard lock(m_mutex);
        if (!m_thread.joinable())
            return;
        m_pending = std::move(text);
        m_wake.notify_one();
    }
    void stop()
    {
        {
            const std::lock_guard lock(m_mutex);
            if (!m_thread.joinable())
                return;
            m_stopping = true;
            m_wake.notify_one();
        }
        m_thread.join();
        // A reload command still waiting learns the server is gone.
        if (::unlink(m_path.c_str()) != 0 && errno != ENOENT)
            log("cannot remove " + m_path + ": " + std::strerror(errno), LogPriority::Warning);
        m_path.clear();
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || m_pending; });
            if (m_pending) {
                const std::string text = std::move(*m_pending);
                m_pending.reset();
                lock.unlock();
                write(text);
                lock.lock();
            }
            if (m_stopping && !m_pending)
                return;
        }
    }
    void write(const std::string& text)
    {
        // Written beside it and renamed over it: a reader sees the old
        // status or the new one, never part of one. The file written is a
        // new one of the server's own (mkostemp creates it, and follows no
        // link another user may have planted in a shared folder); the rename
        // replaces a link at the path itself, never what it points to.
        std::string temporary = m_path + ".XXXXXX";
        const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
        bool ok = fd != -1;
        if (ok) {
            ::fchmod(fd, 0644); // as a file the server creates would be, whatever its umask
            std::size_t written = 0;
            while (ok && written < text.size()) {
                const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
                ok = n > 0 || (n < 0 && errno == EINTR);
                written += n > 0 ? std::size_t(n) : 0;
            }
            ok = (::close(fd) == 0) && ok;
        }
        if (!ok || std::rename(temporary.c_str(), m_path.c_str()) != 0) {
            const int error = errno;
            if (fd != -1)
                ::unlink(temporary.c_str());
            if (!m_failed)
                log("cannot write the reload status to " + m_path + ": " + std::strerror(error), LogPriority::Error);
            m_failed = true;
            return;
        }
        m_failed = false;
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::string m_path;                    // guarded by m_mutex while the thread runs
    std::optional<std::string> m_pending;  // guarded by m_mutex
    bool m_stopping = false;               // guarded by m_mutex
    bool m_failed = false;                 // the writer thread's own
    std::thread m_thread;
};

} // namespace

class ReloadStatus::State
{
public:
    explicit State(const std::string& path)
    {
        m_lastAttempt = std::chrono::system_clock::now();
        m_began = Clock::now();
        if (!path.empty())
            m_writer.start(path);
    }
    void requested()
    {
        const std::lock_guard lock(m_mutex);
        ++m_requested;
        publish();
    }
    void begins()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_loading = m_requested;
            m_began = Clock::now();
            m_lastAttempt = std::chrono::system_clock::now();
        }
        tellSystemd(notifyReloading("reloading the directory; serving " + description()));
    }
    void handedOver()
    {
        const std::lock_guard lock(m_mutex);
        m_handed = m_loading.value_or(m_requested);
        m_handedSeconds = secondsSince(m_began);
        m_loading.reset();
    }
    void served(std::string_view what, std::uint64_t entries)
    {
        {
            const std::lock_guard lock(m_mutex);
            std::uint64_t answers = m_requested;
            double seconds = 0;
            if (m_handed) {
                answers = *m_handed;
                seconds = m_handedSeconds;
                m_handed.reset();
            } else if (m_loading) {
                answers = *m_loading;
                seconds = secondsSince(m_began);
                m_loading.reset();
            }
            ++m_served;
            m_lastSuccess = std::chrono::system_clock::now();
            m_description = what;
            m_entries = entries;
            m_loadedAt = Clock::now();
            m_loadSeconds = seconds;
            answer(answers, true, "serving " + m_description);
        }
        tellSystemd(notifyReady("serving " + std::string(what)));
    }
    void refused(std::string_view why, LoadFailure failure)
    {
        {
            const std::lock_guard lock(m_mutex);
            switch (failure) {
            case LoadFailure::Rejected: break;
            case LoadFailure::Unreachable: ++m_unreachable; break;
            case LoadFailure::Denied: ++m_denied; break;
            }
            // A source that fails to reconnect while nothing was asked of it
            // and no load was under way refuses no reload.
            if (!m_loading && m_requested <= m_answered)
                return;
            const std::uint64_t answers = m_loading.value_or(m_requested);
            m_loading.reset();
            if (failure == LoadFailure::Rejected)
                ++m_refused;
            answer(answers, false, "reload refused, still serving the previous directory: " + firstLine(why));
        }
        tellSystemd(notifyReady("reload refused (" + firstLine(why) + "); serving " + description()));
    }
    void retrying(bool retrying)
    {
        const std::lock_guard lock(m_mutex);
        m_retrying = retrying;
    }
    void firstServed(std::string_view what, std::uint64_t entries)
    {
        const std::lock_guard lock(m_mutex);
        m_description = what;
        m_entries = entries;
        m_loadedAt = Clock::now();
        m_lastSuccess = std::chrono::system_clock::now();
        m_loadSeconds = secondsSince(m_began);
        answer(m_requested, true, "serving " + m_description);
    }
    void close() { m_writer.stop(); }

    ReloadSnapshot snapshot() const
    {
        const std::lock_guard lock(m_mutex);
        ReloadSnapshot s;
        s.served = m_served;
        s.refused = m_refused;
        s.unreachable = m_unreachable;
        s.denied = m_denied;
        s.lastSuccess = m_lastSuccess;
        s.lastAttempt = m_lastAttempt;
        s.entries = m_entries;
        s.loadedAt = m_loadedAt;
        s.loadSeconds = m_loadSeconds;
        s.retrying = m_retrying;
        s.reloading = m_loading.has_value() || m_handed.has_value();
        return s;
    }

private:
    static double secondsSince(Clock::time_point t)
    {
        return std::chrono::duration<double>(Clock::now() - t).count();
    }
    std::string description()
    {
        const std::lock_guard lock(m_mutex);
        return m_description;
    }
    // Called with m_mutex held. A load that answers fewer requests than one
    // already answered changes nothing a reload command waits for.
    void answer(std::uint64_t answers, bool served, std::string message)
    {
        if (answers >= m_answered) {
            m_answered = answers;
            m_lastServed = served;
            m_message = std::move(message);
        }
        publish();
    }
    void publish()
    {
        m_writer.post(statusText({static_cast<long>(::getpid()), m_requested, m_answered, m_lastServed, m_message}));
    }

    mutable std::mutex m_mutex;
    std::uint64_t m_requested = 0;
    std::uint64_t m_answered = 0;
    bool m_lastServed = true;
    std::string m_message;
    std::optional<std::uint64_t> m_loading; // the load under way answers up to this
    std::optional<std::uint64_t> m_handed;  // a loaded directory waiting for the loop answers up to this
    Clock::time_point m_began{};
    double m_handedSeconds = 0;
    std::uint64_t m_served = 0;
    std::uint64_t m_refused = 0;
    std::uint64_t m_unreachable = 0;
    std::uint64_t m_denied = 0;
    std::optional<std::chrono::system_clock::time_point> m_lastSuccess;
    std::optional<std::chrono::system_clock::time_point> m_lastAttempt;
    std::string m_description;
    std::uint64_t m_entries = 0;
    std::optional<Clock::time_point> m_loadedAt;
    double m_loadSeconds = 0;
    bool m_retrying = false;
    FileWriter m_writer;
};

ReloadStatus::ReloadStatus(const std::string& path) : m_state(std::make_unique<State>(path)) {}
ReloadStatus::~ReloadStatus() { m_state->close(); }
void ReloadStatus::requested() { m_state->requested(); }
void ReloadStatus::begins() { m_state->begins(); }
void ReloadStatus::handedOver() { m_state->handedOver(); }
void ReloadStatus::served(std::string_view description, std::uint64_t entries) { m_state->served(description, entries); }
void ReloadStatus::refused(std::string_view why, LoadFailure failure) { m_state->refused(why, failure); }
void ReloadStatus::retrying(bool retrying) { m_state->retrying(retrying); }
void ReloadStatus::firstServed(std::string_view description, std::uint64_t entries)
{
    m_state->firstServed(description, entries);
}
void ReloadStatus::close() { m_state->close(); }
ReloadSnapshot ReloadStatus::snapshot() const { return m_state->snapshot(); }

std::string statusText(const PublishedStatus& s)
{
    std::string text;
    text.append("pid=").append(std::to_string(s.pid)).append("\n");
    text.append("requested=").append(std::to_string(s.requested)).append("\n");
    text.append("answered=").append(std::to_string(s.answered)).append("\n");
    text.append("outcome=").append(s.served ? "served" : "refused").append("\n");
    text.append("message=").append(firstLine(s.message)).append("\n");
    return text;
}

std::optional<PublishedStatus> parseStatus(std::string_view text)
{
    PublishedStatus s;
    unsigned seen = 0;
    const auto number = [](std::string_view value, auto& out) {
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), out);
        return ec == std::errc() && end == value.data() + value.size();
    };
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        if (eol == std::string_view::npos)
            return std::nullopt; // cut short
        const std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol + 1);
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return std::nullopt;
        const std::string_view key = line.substr(0, eq);
        const std::string_view value = line.substr(eq + 1);
        bool ok = true;
        if (key == "pid")
            ok = number(value, s.pid), seen |= 1U;
        else if (key == "requested")
            ok = number(value, s.requested), seen |= 2U;
        else if (key == "answered")
            ok = number(value, s.answered), seen |= 4U;
        else if (key == "outcome")
            ok = (value == "served" || value == "refused"), s.served = value == "served", seen |= 8U;
        else if (key == "message")
            s.message = value, seen |= 16U;
        if (!ok)
            return std::nullopt;
    }
    if (seen != 31U)
        return std::nullopt;
    return s;
}

ReloadVerdict judgeReload(std::uint64_t before, const PublishedStatus& now)
{
    if (now.answered <= before)
        return ReloadVerdict::Waiting;
    return now.served ? ReloadVerdict::Served : ReloadVerdict::Refused;
}

namespace {

// A status is a few short lines; a message is cut long before this.
constexpr std::size_t kMaxStatusBytes = 16 * 1024;

std::optional<PublishedStatus> readStatus(const std::string& path)
{
    SmallFile file;
    std::string error;
    if (!readSmallFile(path, kMaxStatusBytes, file, error))
        return std::nullopt;
    return parseStatus(file.text);
}

} // namespace

int runReload(long pid, const std::string& path, std::chrono::seconds timeout)
{
    const auto fail = [](const std::string& why, int code) {
        log("reload: " + why, LogPriority::Error);
        return code;
    };
    const auto before = readStatus(path);
    if (!before)
        return fail("no reload status in " + path + ": is the server running with --status-file " + path + "?",
                    kExitFailure);
    if (before->pid != pid)
        return fail(path + " is the status of process " + std::to_string(before->pid) + ", not of " +
                        std::to_string(pid),
                    kExitFailure);
    if (::kill(static_cast<pid_t>(pid), SIGHUP) != 0)
        return fail("cannot signal process " + std::to_string(pid) + ": " + std::strerror(errno), kExitFailure);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::this_thread::sleep_for(kPollEvery);
        const auto now = readStatus(path);
        if (now && now->pid == pid) {
            switch (judgeReload(before->requested, *now)) {
            // Under systemd (ExecReload) the server has said the new
            // directory in the same journal: once is enough. A refusal is
            // said again, as the reason the reload job failed.
            case ReloadVerdict::Served:
                if (!stderrIsJournal())
                    log("reloaded: " + now->message);
                return kExitOk;
            case ReloadVerdict::Refused:
                return fail(now->message, kExitRejected);
            case ReloadVerdict::Waiting:
                break;
            }
        }
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            return fail("the server (process " + std::to_string(pid) + ") ended before the reload did", kExitFailure);
        if (Clock::now() >= deadline)
            return fail("no outcome within " + std::to_string(timeout.count()) +
                            " s; the server may still be loading (see its log)",
                        kExitFailure);
    }
}

} // namespace velmario::server
