#include "descriptors.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <filesystem>
#include <limits>
#include <system_error>

#include <fcntl.h>
#include <sys/resource.h>

namespace velmario::server {

std::size_t connectionsWithin(std::uint64_t limit, std::size_t open, std::size_t reserved)
{
    const std::uint64_t used = static_cast<std::uint64_t>(open) + reserved;
    if (limit <= used)
        return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(limit - used, std::numeric_limits<std::size_t>::max()));
}

std::uint64_t descriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<std::uint64_t>::max();
    return limit.rlim_cur;
}

std::size_t openDescriptors(std::uint64_t limit)
{
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error)) {
        std::uint64_t fd = 0;
        const std::string name = it->path().filename().string();
        const auto [rest, bad] = std::from_chars(name.data(), name.data() + name.size(), fd);
        if (bad == std::errc() && rest == name.data() + name.size() && fd < limit)
            ++count;
    }
    if (!error)
        return count > 0 ? count - 1 : 0; // less the directory's own descriptor
    // Without /proc: ask each descriptor number in turn.
    const std::uint64_t highest = std::min<std::uint64_t>(limit, 65536);
    count = 0;
    for (std::uint64_t fd = 0; fd < highest; ++fd) {
        if (fcntl(static_cast<int>(fd), F_GETFD) != -1)
            ++count;
    }
    return count;
}

} // namespace velmario::server
