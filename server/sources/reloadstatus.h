#pragma once
// What became of each reload, told to systemd (the status line), to the
// metrics and, through a status file, to "velmario-server reload", the
// command the unit's ExecReload runs.
//
// Reloads are numbered by request: each SIGHUP the server takes is one more.
// A load answers every request taken before it began. When its directory is
// served, or it is refused and the previous directory kept, the number of
// the last request it answers and the outcome are published. A reload
// command reads the number before it sends its SIGHUP; once a later number
// is published, a load that began after the signal has ended, and the
// outcome says how.
//
// The hooks are called by the directory's sources from the loop or from a
// source's own thread; the status file is written by a thread of its own,
// so that the loop never waits on a file.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmario::server {

// Why a load ended without a directory.
enum class LoadFailure {
    Rejected,    // the directory was read and refused (its rows, none at all)
    Unreachable, // the source could not be reached or did not answer in time
    Denied,      // the source refused the server (credentials, certificate, query)
};

// What the metrics show of the directory and its loads.
struct ReloadSnapshot {
    std::uint64_t served = 0;      // reloads whose directory is served
    std::uint64_t refused = 0;     // directories loaded and refused, the previous one kept
    std::uint64_t unreachable = 0; // loads that could not reach their source
    std::uint64_t denied = 0;      // loads the source refused
    std::optional<std::chrono::system_clock::time_point> lastSuccess; // a directory was last served
    std::optional<std::chrono::system_clock::time_point> lastAttempt; // a load last began
    std::uint64_t entries = 0;  // in the directory served
    std::optional<std::chrono::steady_clock::time_point> loadedAt; // the last good load ended
    double loadSeconds = 0;     // how long it took
    bool retrying = false;      // the source cannot be reached
    bool reloading = false;     // a load is under way
};

// One per serving server, made before its sources and shared with what
// reports to it (signals, the source thread, the metrics); its methods may
// be called from any thread.
class ReloadStatus
{
public:
    // Writes the status file at `path` (empty: none) until close().
    explicit ReloadStatus(const std::string& path);
    // close()
    ~ReloadStatus();
    ReloadStatus(const ReloadStatus&) = delete;
    ReloadStatus& operator=(const ReloadStatus&) = delete;

    // The hooks, each one line where a source's load begins or ends.

    // A SIGHUP was taken: one more request.
    void requested();
    // A load begins; it answers the requests taken so far. Tells systemd the
    // server is reloading.
    void begins();
    // A load on a source's own thread has finished; its directory waits for
    // the loop (served() follows there). Another load may begin meanwhile.
    void handedOver();
    // On the loop: the loaded directory of `entries` entries is served from
    // now on. `description` is "N entries from WHERE (how)".
    void served(std::string_view description, std::uint64_t entries);
    // A load ended without a directory: the previous one is still served.
    void refused(std::string_view why, LoadFailure failure = LoadFailure::Rejected);
    // The source cannot be reached and is being retried, or is back.
    void retrying(bool retrying);
    // The directory loaded at start is served, once the server listens.
    void firstServed(std::string_view description, std::uint64_t entries);
    // Writes what is pending and stops the writer; removes the status file.
    // What is reported after it still reaches the metrics.
    void close();

    ReloadSnapshot snapshot() const;

private:
    class State;
    std::unique_ptr<State> m_state;
};

// The status file: a few key=value lines, replaced whole.
struct PublishedStatus {
    long pid = 0;
    std::uint64_t requested = 0; // requests taken
    std::uint64_t answered = 0;  // the last request a finished load answers
    bool served = false;         // that load's outcome
    std::string message;         // what is served, or why the load was refused
};
std::string statusText(const PublishedStatus& status);
std::optional<PublishedStatus> parseStatus(std::string_view text);

// What a reload command makes of the status file, having read `before`
// (requests taken) before it sent its SIGHUP.
enum class ReloadVerdict { Waiting, Served, Refused };
ReloadVerdict judgeReload(std::uint64_t before, const PublishedStatus& now);

// "velmario-server reload": sends SIGHUP to `pid` and waits, at most
// `timeout`, until the status file at `path` says how the reload ended.
// 0 when the new directory is served; otherwise 2 (nothing to signal, no
// status, timeout) or 3 (refused), with the reason on standard error.
int runReload(long pid, const std::string& path, std::chrono::seconds timeout);

} // namespace velmario::server
