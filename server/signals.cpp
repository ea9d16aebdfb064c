#include "signals.h"

#include "log.h"
#include "lookupserver.h"
#include "reloader.h"

#include <csignal>
#include <string>

namespace velmario::server {

Signals::Signals(uv_loop_t& loop, LookupServer& server, Reloader& reloader, bool reloadable)
    : m_server(server), m_reloader(reloader), m_reloadable(reloadable)
{
    constexpr std::array<int, 3> numbers = {SIGHUP, SIGTERM, SIGINT};
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
        if (m_reloadable)
            m_reloader.request();
        else
            log("reload: serving the sample directory, nothing to reload");
        return;
    }
    log("stopping (" + std::string(signal == SIGTERM ? "SIGTERM" : "SIGINT") + "), closing " +
        std::to_string(m_server.connectionCount()) + " connection(s)");
    // With every handle closed the loop ends.
    m_server.stop();
    m_reloader.close();
    for (auto& handle : m_handles)
        uv_close(reinterpret_cast<uv_handle_t*>(&handle), nullptr);
}

} // namespace velmario::server
