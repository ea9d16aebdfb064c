#pragma once
// What the server answers to one request's bytes.

#include "directory.h"

#include <optional>
#include <string>
#include <string_view>

namespace velmario::server {

inline constexpr std::string_view kNotRegistered = "Número de control no registrado";
inline constexpr std::string_view kInvalidRequest = "Solicitud no válida";

// The reply bytes (Windows-1252 "name*telephone") for one request, or
// nothing for a request that is empty once surrounding ASCII white space is
// dropped. A request longer than maxRequestBytes is not looked up.
std::optional<std::string> answer(Directory& directory, std::string_view request,
                                  std::size_t maxRequestBytes);

} // namespace velmario::server
