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
    MetricsEndpoint();
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Serves the metrics at `address` ("127.0.0.1:9107");
    // nothing when it is empty. False, with the reason, when the address
    // cannot be bound.
    bool start(const std::string& address, std::string& error);
    // What the next scrapes show of the server's counters.
    void publish(const ServerStats& stats, std::size_t connections);

private:
    class Collector;
    std::shared_ptr<Collector> m_collector;
    std::unique_ptr<prometheus::Exposer> m_exposer;
};

// On the loop: hands the server's counters to the endpoint now and every
// second after. The timer does not keep the loop running.
class StatsPublisher
{
public:
    StatsPublisher(uv_loop_t& loop, const LookupServer& server, MetricsEndpoint& endpoint);
    ~StatsPublisher();
    StatsPublisher(const StatsPublisher&) = delete;
    StatsPublisher& operator=(const StatsPublisher&) = delete;

private:
    void publish();

    const LookupServer& m_server;
    MetricsEndpoint& m_endpoint;
    uv_timer_t m_timer{};
};

} // namespace velmario::server
