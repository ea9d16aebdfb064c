#include "source.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace velmario::server {

std::string heldInMemory(const ReplyIndex& replies)
{
    char held[64];
    std::snprintf(held, sizeof held, "held in memory, %.1f MiB", double(replies.memoryBytes()) / (1024.0 * 1024.0));
    return held;
}

Wake::Wake()
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot make a pipe");
}

Wake::~Wake()
{
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

void Wake::wake()
{
    const char byte = 1;
    (void)!::write(m_pipe[1], &byte, 1); // a full pipe already wakes
}

void Wake::stop()
{
    m_stopping = true;
    wake();
}

void Wake::drain()
{
    char bytes[64];
    while (::read(m_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

Ready waitReady(int fd, short events, Wake* wake, WakeOn on, Clock::time_point deadline)
{
    for (;;) {
        if (wake && wake->stopping())
            return Ready::Woken;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Ready::TimedOut;
        pollfd fds[2] = {{fd, events, 0}, {wake ? wake->fd() : -1, POLLIN, 0}};
        const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 60'000)));
        if (n < 0 && errno != EINTR)
            return Ready::Ready; // let the caller's own call say what is wrong
        if (n <= 0)
            continue;
        if (fds[0].revents != 0)
            return Ready::Ready;
        if (fds[1].revents != 0) {
            if (on == WakeOn::Any)
                return Ready::Woken;
            // A stop ends the wait above; any other wake-up is a reason to
            // load again, which the source thread counts itself.
            wake->drain();
        }
    }
}

Source::Watch Source::watch(Wake& wake, Clock::time_point until)
{
    if (waitReady(-1, 0, &wake, WakeOn::Any, until) == Ready::Woken)
        wake.drain();
    return Watch::Quiet;
}

} // namespace velmario::server
