#pragma once
// PostgreSQL's side of the text the server reads: the rows of COPY ... TO
// STDOUT in text format, and the organisation's query made into a part of
// a larger statement. No connection here: bytes in, fields out.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace velmario::server {

// The first three fields of one row of COPY's text format (fields apart by
// tabs, backslash escapes, \N for NULL, which reads as empty so that the
// directory's rules refuse it) into `fields`, and how many fields the row
// has. A line end closing the row is not part of it.
std::size_t parseCopyRow(std::string_view line, std::array<std::string, 3>& fields);

// The query as a subquery, "(query)": without a semicolon and white space
// it may end with, and with the closing parenthesis on a line of its own,
// so that a query ending in a "-- comment" keeps working.
std::string subquery(std::string_view query);

} // namespace velmario::server
