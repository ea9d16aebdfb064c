#pragma once
// The exit codes of velmario-server, which scripts and service managers
// rely on.

namespace velmario::server {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;    // bad command line
inline constexpr int kExitFailure = 2;  // cannot start yet: database, address, a source out of reach
inline constexpr int kExitRejected = 3; // the data refused: bad rows or entries, nothing to serve
inline constexpr int kExitDenied = 4;   // the source refuses this server: credentials, certificate, query

} // namespace velmario::server
