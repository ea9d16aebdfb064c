#pragma once
// The TCP port the lookup service answers on: the client connects to it and
// the server listens on it unless told otherwise. Standard library only, so
// that both sides share the one constant.

#include <cstdint>

namespace velmario::lookup {

inline constexpr std::uint16_t kLookupPort = 1007;

} // namespace velmario::lookup
