#include "metrics.h"

#include "log.h"

#include <CivetServer.h>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmario::server {
namespace {

// The HTTP server's threads, each holding one connection while it sends its
// request, and how long a request may take to arrive: eight peers that send
// theirs a byte at a time still leave threads for the scrapes.
const char* const kMetricsThreads = "12";
const char* const kMetricsRequestTimeoutMs = "3000";

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// The reason civetweb gives when it cannot start (it reports it through
// this callback, on the thread that starts it).
thread_local std::string t_civetwebError;

// civetweb's listening thread looks at its stop flag only between polls of
// its sockets, each up to a second long, and stopping waits for it: a
// restart would leave the lookups down that much longer. A connection of
// our own to the listening socket ends the poll; one is made now and every
// 50 ms after, until this is destroyed (once the stop is over).
class ListenerWake
{
public:
    ListenerWake(const std::string& address, int port) : m_thread([this, address, port] { run(address, port); }) {}
    ~ListenerWake()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    ListenerWake(const ListenerWake&) = delete;
    ListenerWake& operator=(const ListenerWake&) = delete;

private:
    void run(const std::string& address, int port)
    {
        // "HOST:PORT" or "[HOST]:PORT"; a wildcard is reached on loopback.
        std::string host = address.substr(0, address.rfind(':'));
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        if (host.empty() || host == "0.0.0.0")
            host = "127.0.0.1";
        else if (host == "::")
            host = "::1";
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
            return;
        std::unique_lock lock(m_mutex);
        do {
            const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd >= 0) {
                (void)::connect(fd, found->ai_addr, found->ai_addrlen); // a local handshake needs no wait
                ::close(fd);
            }
        } while (!m_wake.wait_for(lock, std::chrono::milliseconds(50), [this] { return m_done; }));
        ::freeaddrinfo(found);
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false; // guarded by m_mutex
    std::thread m_thread;
};

ClientMetric sample(double value, MetricType type, std::vector<ClientMetric::Label> labels = {})
{
    ClientMetric m;
    m.label = std::move(labels);
    if (type == MetricType::Counter)
        m.counter.value = value;
    else
        m.gauge.value = value;
    return m;
}

MetricFamily family(std::string name, std::string help, MetricType type, std::vector<ClientMetric> metrics)
{
    return MetricFamily{std::move(name), std::move(help), type, std::move(metrics)};
}

MetricFamily one(std::string name, std::string help, MetricType type, double value)
{
    return family(std::move(name), std::move(help), type, {sample(value, type)});
}

} // namespace

std::vector<MetricFamily> metricFamilies(const StatsSnapshot& snapshot, const ReloadSnapshot& reloads,
                                         std::chrono::steady_clock::time_point now)
{
    const ServerStats& s = snapshot.stats;
    const auto counter = MetricType::Counter;
    const auto gauge = MetricType::Gauge;
    const auto d = [](std::uint64_t n) { return static_cast<double>(n); };
    std::vector<MetricFamily> families;
    families.push_back(family("velmario_lookups_total", "Lookups answered, by result.", counter,
                              {sample(d(s.found), counter, {{"result", "found"}}),
                               sample(d(s.notFound), counter, {{"result", "not_found"}}),
                               sample(d(s.invalid), counter, {{"result", "invalid"}}),
                               sample(d(s.rateLimited), counter, {{"result", "rate_limited"}}),
                               sample(d(s.failed), counter, {{"result", "failed"}})}));
    families.push_back(one("velmario_connections_open", "Connections being served.", gauge, d(snapshot.connections)));
    families.push_back(one("velmario_connections_accepted_total", "Connections admitted and served.", counter,
                           d(s.accepted)));
    families.push_back(family("velmario_connections_refused_total",
                              "Connections closed at once: the server full (busy), the address not allowed "
                              "(denied), or too many connections from the address (per_address).",
                              counter,
                              {sample(d(s.refused - s.refusedPerAddress), counter, {{"reason", "busy"}}),
                               sample(d(s.denied), counter, {{"reason", "denied"}}),
                               sample(d(s.refusedPerAddress), counter, {{"reason", "per_address"}})}));
    families.push_back(one("velmario_clients_dropped_total", "Clients dropped for not reading their replies.",
                           counter, d(s.dropped)));
    families.push_back(family("velmario_reloads_total",
                              "Loads of the directory after the first, by outcome: served; refused (a directory "
                              "read and rejected); unreachable (its source out of reach, retried); denied (the "
                              "source refused this server). The previous directory is kept but when served.",
                              counter,
                              {sample(d(reloads.served), counter, {{"outcome", "served"}}),
                               sample(d(reloads.refused), counter, {{"outcome", "refused"}}),
                               sample(d(reloads.unreachable), counter, {{"outcome", "unreachable"}}),
                               sample(d(reloads.denied), counter, {{"outcome", "denied"}})}));
    const auto unixSeconds = [](const std::optional<std::chrono::system_clock::time_point>& t) {
        std::vector<ClientMetric> at;
        if (t)
            at.push_back(sample(std::chrono::duration<double>(t->time_since_epoch()).count(), MetricType::Gauge));
        return at;
    };
    families.push_back(family("velmario_last_load_success_timestamp_seconds",
                              "When a directory was last served (at start or by a reload), in Unix time.", gauge,
                              unixSeconds(reloads.lastSuccess)));
    families.push_back(family("velmario_last_load_attempt_timestamp_seconds",
                              "When a load of the directory last began, in Unix time.", gauge,
                              unixSeconds(reloads.lastAttempt)));
    families.push_back(family("velmario_build_info", "Always 1, labelled with the server's release.", gauge,
                              {sample(1, gauge, {{"version", VELMARIO_RELEASE}})}));
    families.push_back(one("velmario_directory_entries", "Entries in the directory served.", gauge,
                           d(reloads.entries)));
    std::vector<ClientMetric> age;
    if (reloads.loadedAt)
        age.push_back(sample(std::chrono::duration<double>(now - *reloads.loadedAt).count(), gauge));
    families.push_back(family("velmario_directory_age_seconds", "Seconds since the directory served was loaded.",
                              gauge, std::move(age)));
    families.push_back(one("velmario_directory_load_duration_seconds",
                           "How long the last good load of the directory took.", gauge, reloads.loadSeconds));
    families.push_back(one("velmario_source_up",
                           "1 while the directory's source is reachable; 0 while the server retries it "
                           "(serving the last directory).",
                           gauge, reloads.retrying ? 0 : 1));
    families.push_back(one("velmario_reloading", "1 while a load of the directory is under way.", gauge,
                           reloads.reloading ? 1 : 0));
    return families;
}

std::string metricsText(const StatsSnapshot& stats, const ReloadSnapshot& reloads,
                        std::chrono::steady_clock::time_point now)
{
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, metricFamilies(stats, reloads, now));
    return out.str();
}

class MetricsEndpoint::Collector : public prometheus::Collectable
{
public:
    explicit Collector(std::shared_ptr<const ReloadStatus> status) : m_status(std::move(status)) {}
    std::vector<MetricFamily> Collect() const override
    {
        StatsSnapshot stats;
        {
            const std::lock_guard lock(m_mutex);
            stats = m_stats;
        }
        return metricFamilies(stats, m_status->snapshot(), std::chrono::steady_clock::now());
    }
    void set(const ServerStats& stats, std::size_t connections)
    {
        const std::lock_guard lock(m_mutex);
        m_stats.stats = stats;
        m_stats.connections = connections;
    }

private:
    const std::shared_ptr<const ReloadStatus> m_status;
    mutable std::mutex m_mutex;
    StatsSnapshot m_stats; // guarded by m_mutex
};

MetricsEndpoint::MetricsEndpoint(std::shared_ptr<const ReloadStatus> status)
    : m_collector(std::make_shared<Collector>(std::move(status)))
{
}

MetricsEndpoint::~MetricsEndpoint()
{
    if (!m_exposer)
        return;
    const std::vector<int> ports = m_exposer->GetListeningPorts();
    std::optional<ListenerWake> wake;
    if (!ports.empty())
        wake.emplace(m_address, ports.front());
    m_exposer.reset();
}

bool MetricsEndpoint::start(const std::string& address, std::string& error)
{
    m_address = address;
    if (address.empty())
        return true;
    CivetCallbacks callbacks;
    callbacks.log_message = [](const mg_connection*, const char* message) {
        if (message) {
            if (!t_civetwebError.empty())
                t_civetwebError += "; ";
            t_civetwebError += message;
        }
        return 1; // said here, not on standard error
    };
    t_civetwebError.clear();
    try {
        // Each connection holds one of the threads while it sends its
        // request; a peer that sends it byte by byte (slowloris) is cut off
        // after the request timeout, and the threads to spare leave scrapes
        // answered meanwhile. Waiting connections queue in a bounded line.
        m_exposer = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", address, "num_threads", kMetricsThreads,
                                     "request_timeout_ms", kMetricsRequestTimeoutMs, "connection_queue", "32",
                                     "enable_keep_alive", "no"},
            &callbacks);
        m_exposer->RegisterCollectable(m_collector);
    } catch (const std::exception& e) {
        m_exposer.reset();
        error = "cannot serve metrics on " + address + ": " + (t_civetwebError.empty() ? e.what() : t_civetwebError);
        return false;
    }
    return true;
}

void MetricsEndpoint::retry()
{
    std::string error;
    if (waiting() && start(m_address, error))
        log("metrics served at " + m_address + " from now on");
}

bool isWildcardAddress(const std::string& address)
{
    return address.rfind("0.0.0.0:", 0) == 0 || address.rfind("[::]:", 0) == 0;
}

void MetricsEndpoint::publish(const ServerStats& stats, std::size_t connections)
{
    m_collector->set(stats, connections);
}

StatsPublisher::StatsPublisher(uv_loop_t& loop, const LookupServer& server, MetricsEndpoint& endpoint)
    : m_server(server), m_endpoint(endpoint), m_timer(loop, 1000, 1000, [this] { publish(); })
{
    publish();
}

void StatsPublisher::publish()
{
    m_endpoint.publish(m_server.stats(), m_server.connectionCount());
    if (m_endpoint.waiting() && ++m_sinceRetry >= m_retryGap) {
        m_sinceRetry = 0;
        m_retryGap = std::min(m_retryGap * 2, MetricsEndpoint::kRetrySeconds);
        m_endpoint.retry();
    }
}

} // namespace velmario::server
