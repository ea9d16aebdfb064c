#pragma once
// What the server answers to one request's bytes.

#include "replies.h"
#include "replyindex.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace velmario::server {

enum class Outcome {
    Nothing,  // white space only: no reply
    Found,
    NotFound,
    Invalid,  // longer than the limit
    Failed,   // the table could not be read
    Changed,  // the table's file was written to since it was checked: the lookup failed
};

// Appends the reply bytes (Windows-1252 "name*telephone") for one request to
// `out`. Surrounding ASCII white space is not part of the request; a
// request longer than maxRequestBytes without it is not looked up.
Outcome answer(const ReplyTable& table, std::string_view request, std::size_t maxRequestBytes, std::string& out);

} // namespace velmario::server
