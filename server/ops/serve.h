#pragma once
// Serving: open the directory, listen, answer until stopped.

#include "options.h"

namespace velmario::server {

// Runs the server until SIGTERM or SIGINT; returns the exit code.
int serve(const Settings& settings);

} // namespace velmario::server
