#pragma once
// Prometheus metrics at http://ADDRESS:PORT/metrics (--metrics), served by
// prometheus-cpp's exposer.
//
// Threads: the exposer answers scrapes on threads of its own (civetweb's).
// The event loop copies the server's counters into a snapshot once a second
// (StatsPublisher); a scrape reads that snapshot, and what the reload status
// holds, each under its own lock. Nothing is locked, and nothing waits, per
// lookup.

#include "lookupserver.h"
#include "reloadstatus.h"

#include "looptimer.h"

#include <uv.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace prometheus {
class Exposer;
struct MetricFamily;
} // namespace prometheus

namespace velmario::server {

// The server's counters as the loop last copied them.
struct StatsSnapshot {
    ServerStats stats;
    std::size_t connections = 0;
};

// The metrics for these counters and this reload status, seen at `now`.
std::vector<prometheus::MetricFamily> metricFamilies(const StatsSnapshot& stats, const ReloadSnapshot& reloads,
                                                     std::chrono::steady_clock::time_point now);
// The same in Prometheus's text format.
std::string metricsText(const StatsSnapshot& stats, const ReloadSnapshot& reloads,
                        std::chrono::steady_clock::time_point now);

// Whether a metrics address listens on every interface (0.0.0.0 or [::]):
// reachable from the network, where --allow does not apply.
bool isWildcardAddress(const std::string& address);

class MetricsEndpoint
{
public:
    // The reloads' part of the metrics comes from `status`.
    explicit MetricsEndpoint(std::shared_ptr<const ReloadStatus> status);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // An address that could not be bound is tried again after 1 s, then
    // after twice as long each time, up to this.
    static constexpr int kRetrySeconds = 30;

    // Serves the metrics at `address` ("127.0.0.1:11007"); nothing when it
    // is empty. False, with the reason, when the address cannot be bound:
    // retry() then tries it again.
    bool start(const std::string& address, std::string& error);
    // Whether an address was given and is not served yet.
    bool waiting() const { return !m_address.empty() && !m_exposer; }
    // Tries the address again; says at info once it is served.
    void retry();
    // What the next scrapes show of the server's counters.
    void publish(const ServerStats& stats, std::size_t connections);

private:
    class Collector;
    std::shared_ptr<Collector> m_collector;
    std::unique_ptr<prometheus::Exposer> m_exposer;
    std::string m_address;
};

// On the loop: hands the server's counters to the endpoint now and every
// second after, and tries an address the endpoint could not bind again
// (see kRetrySeconds). The timer does not keep the loop running.
class StatsPublisher
{
public:
    StatsPublisher(uv_loop_t& loop, const LookupServer& server, MetricsEndpoint& endpoint);

private:
    void publish();

    const LookupServer& m_server;
    MetricsEndpoint& m_endpoint;
    int m_sinceRetry = 0;
    int m_retryGap = 1; // seconds
    LoopTimer m_timer;
};

} // namespace velmario::server
