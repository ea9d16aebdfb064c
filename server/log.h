#pragma once
// The server's log: one line per event on standard error.

#include <string_view>

namespace velmario::server {

void log(std::string_view line);

} // namespace velmario::server
