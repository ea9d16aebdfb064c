#pragma once
// A repeating libuv timer whose owner may go before libuv has finished
// closing it: the handle lives on the heap and its close callback frees it,
// so nothing of it is touched once the owner is gone.

#include <uv.h>

#include <cstdint>
#include <functional>
#include <utility>

namespace velmario::server {

class LoopTimer
{
public:
    // Calls `tick` after `first` ms and every `every` ms after. The timer
    // does not keep the loop running.
    LoopTimer(uv_loop_t& loop, std::uint64_t first, std::uint64_t every, std::function<void()> tick)
        : m_timer(new uv_timer_t{}), m_tick(std::move(tick))
    {
        uv_timer_init(&loop, m_timer);
        m_timer->data = this;
        uv_unref(reinterpret_cast<uv_handle_t*>(m_timer));
        uv_timer_start(m_timer, [](uv_timer_t* t) { static_cast<LoopTimer*>(t->data)->m_tick(); }, first, every);
    }
    ~LoopTimer()
    {
        uv_close(reinterpret_cast<uv_handle_t*>(m_timer),
                 [](uv_handle_t* handle) { delete reinterpret_cast<uv_timer_t*>(handle); });
    }
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

private:
    uv_timer_t* m_timer;
    std::function<void()> m_tick;
};

} // namespace velmario::server
