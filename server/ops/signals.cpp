#include "signals.h"

#include "log.h"
#include "lookupserver.h"
#include "reloadstatus.h"
#include "sourcethread.h"
#include "systemd.h"

#include <csignal>
#include <string>
#include <unistd.h>

namespace velmario::server {
namespace {

volatile std::sig_atomic_t g_sighup = 0;
volatile std::sig_atomic_t g_interruption = 0;

void install(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

void exitAtOnce(int signal)
{
    static constexpr char term[] = "velmario-server: stopping (SIGTERM) before serving\n";
    static constexpr char intr[] = "velmario-server: stopping (SIGINT) before serving\n";
    if (signal == SIGTERM)
        (void)!::write(STDERR_FILENO, term, sizeof term - 1);
    else
        (void)!::write(STDERR_FILENO, intr, sizeof intr - 1);
    ::_exit(0);
}

} // namespace

void handleSignalsBeforeServing()
{
    install(SIGHUP, [](int) { g_sighup = 1; });
    install(SIGTERM, exitAtOnce);
    install(SIGINT, exitAtOnce);
    install(SIGUSR1, SIG_IGN); // nothing to report yet
}

bool takeEarlySighup()
{
    const bool came = g_sighup != 0;
    g_sighup = 0;
    return came;
}

void catchInterrupts()
{
    install(SIGTERM, [](int signal) { g_interruption = signal; });
    install(SIGINT, [](int signal) { g_interruption = signal; });
}

int interruption()
{
    return g_interruption;
}

Signals::Signals(uv_loop_t& loop, LookupServer& server, DirectorySource& source, ReloadStatus& status,
                 bool reloadable)
    : m_server(server), m_source(source), m_status(status), m_reloadable(reloadable)
{
    constexpr std::array<int, 4> numbers = {SIGHUP, SIGTERM, SIGINT, SIGUSR1};
    static_assert(numbers.size() == std::tuple_size_v<decltype(m_handles)>);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        uv_signal_init(&loop, &m_handles[i]);
        m_handles[i].data = this;
        uv_signal_start(&m_handles[i], [](uv_signal_t* h, int signal) { static_cast<Signals*>(h->data)->on(signal); },
                        numbers[i]);
    }
}

void Signals::on(int signal)
{
    if (signal == SIGHUP) {
        m_status.requested();
        if (m_reloadable) {
            m_source.request();
        } else {
            log("reload: serving the sample directory, nothing to reload", LogPriority::Warning);
            m_status.refused("serving the sample directory, nothing to reload");
        }
        return;
    }
    if (signal == SIGUSR1) {
        log(m_server.statsLine());
        return;
    }
    tellSystemd(notifyStopping());
    log("stopping (" + std::string(signal == SIGTERM ? "SIGTERM" : "SIGINT") + "), closing " +
        std::to_string(m_server.connectionCount()) + " connection(s)");
    // With every handle closed the loop ends.
    m_server.stop();
    m_source.close();
    for (auto& handle : m_handles)
        uv_close(reinterpret_cast<uv_handle_t*>(&handle), nullptr);
}

} // namespace velmario::server
