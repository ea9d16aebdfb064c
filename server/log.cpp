#include "log.h"

#include <cstdio>

namespace velmario::server {

void log(std::string_view line)
{
    std::fprintf(stderr, "velmario-server: %.*s\n", static_cast<int>(line.size()), line.data());
    std::fflush(stderr);
}

} // namespace velmario::server
