#pragma once
// What the server answers to one request's bytes.

#include "directory.h"
#include "replies.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace velmario::server {

enum class Outcome {
    Nothing,  // white space only: no reply
    Found,
    NotFound,
    Invalid,  // longer than the limit
    Failed,   // the database could not be read
};

// Appends the reply bytes (Windows-1252 "name*telephone") for one request to
// `out`. Surrounding ASCII white space is not part of the request; a
// request longer than maxRequestBytes without it is not looked up.
Outcome answer(Directory& directory, std::string_view request, std::size_t maxRequestBytes, std::string& out);

} // namespace velmario::server
