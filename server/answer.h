#pragma once
// What the server answers to one request's bytes.

#include "directory.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace velmario::server {

inline constexpr std::string_view kNotRegistered = "Número de control no registrado";
inline constexpr std::string_view kInvalidRequest = "Solicitud no válida";

// Appends the reply bytes (Windows-1252 "name*telephone") for one request to
// `out`. False, with nothing appended, for a request that is empty once
// surrounding ASCII white space is dropped. A request longer than
// maxRequestBytes is not looked up.
bool answer(Directory& directory, std::string_view request, std::size_t maxRequestBytes, std::string& out);

enum class Holding {
    InMemory,   // replies are held in memory from now on
    TooLarge,   // more than maxEntries entries, or no memory for them
    Unreadable, // the table could not be read to its end: the file is damaged
};

// Holds every reply of `directory` in memory, so that lookups no longer go to
// the database, unless it has more than maxEntries entries. Unless it says
// InMemory, the directory is left as it was.
Holding holdRepliesInMemory(Directory& directory, std::size_t maxEntries);

} // namespace velmario::server
