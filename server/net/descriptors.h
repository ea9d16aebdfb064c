#pragma once
// File descriptors: every connection holds one, and so do the listeners,
// the database, the log and the event loop itself.

#include <cstddef>
#include <cstdint>

namespace velmario::server {

// Connections that `limit` descriptors leave room for, when `open` are
// already in use and `reserved` are kept back for what the server opens
// later (a reloaded database, PostgreSQL, a connection refused as busy).
std::size_t connectionsWithin(std::uint64_t limit, std::size_t open, std::size_t reserved);

// The process's soft limit on open descriptors (RLIMIT_NOFILE).
std::uint64_t descriptorLimit();
// How many descriptors the process has open numbered below `limit`: only
// those take a place a new one could have (one inherited above the limit
// takes none).
std::size_t openDescriptors(std::uint64_t limit);

} // namespace velmario::server
