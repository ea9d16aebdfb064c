#pragma once
// The exit codes of velmario-server, which scripts and service managers
// rely on.

namespace velmario::server {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;    // bad command line
inline constexpr int kExitFailure = 2;  // cannot start: database or address
inline constexpr int kExitRejected = 3; // import refused: the CSV has bad rows

} // namespace velmario::server
