#include "systemd.h"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace velmario::server {
namespace {

static_assert(static_cast<int>(LogPriority::Error) == SD_ERR[1] - '0'
              && static_cast<int>(LogPriority::Warning) == SD_WARNING[1] - '0'
              && static_cast<int>(LogPriority::Notice) == SD_NOTICE[1] - '0'
              && static_cast<int>(LogPriority::Info) == SD_INFO[1] - '0');

std::string notify(const std::string& state)
{
    // 0: not under systemd (no NOTIFY_SOCKET); > 0: sent.
    const int rc = sd_notify(0, state.c_str());
    if (rc >= 0)
        return {};
    return "cannot tell systemd '" + state.substr(0, state.find('\n')) + "': " + std::strerror(-rc);
}

} // namespace

std::string notifyReady(std::string_view status)
{
    return notify("READY=1\nSTATUS=" + std::string(status));
}

std::string notifyReloading(std::string_view status)
{
    // MONOTONIC_USEC is what newer systemd (Type=notify-reload) matches a
    // reload by; systemd 252 ignores it.
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return std::string("cannot read the monotonic clock: ") + std::strerror(errno);
    const auto usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL
                      + static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
    return notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec) + "\nSTATUS=" + std::string(status));
}

std::string notifyStopping()
{
    return notify("STOPPING=1");
}

std::chrono::microseconds watchdogPingInterval()
{
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0)
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(usec / 2);
}

std::string notifyWatchdog()
{
    return notify("WATCHDOG=1");
}

bool stderrIsJournal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2)
        return false;
    struct stat st{};
    if (fstat(2, &st) != 0)
        return false; // standard error is closed: nowhere, not the journal

    return st.st_dev == device && st.st_ino == inode;
}

std::string logLine(LogPriority priority, std::string_view text, bool toJournal)
{
    if (!toJournal)
        return std::string(text);
    // The journal reads a priority from the start of each line only: a line
    // without one would be filed at the unit's default, info.
    // Appended piece by piece, as '"<" + std::string' draws GCC 12's false
    // -Wrestrict at -O3.
    std::string prefix = "<";
    prefix += std::to_string(static_cast<int>(priority));
    prefix += '>';
    std::string line;
    line.reserve(text.size() + prefix.size());
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        line += prefix;
        line += text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (end == std::string_view::npos)
            return line;
        line += '\n';
        start = end + 1;
    }
}

} // namespace velmario::server
