#include "answer.h"

#include "cp1252.h"

namespace velmario::server {
namespace {

bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && isAsciiSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isAsciiSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// The fixed replies, encoded once.
const std::string& notRegisteredReply()
{
    static const std::string reply = *cp1252::fromUtf8(kNotRegistered) + '*';
    return reply;
}

const std::string& invalidRequestReply()
{
    static const std::string reply = *cp1252::fromUtf8(kInvalidRequest) + '*';
    return reply;
}

std::string reply(std::string_view nameUtf8, std::string_view telephoneUtf8)
{
    auto name = cp1252::fromUtf8(nameUtf8);
    auto telephone = cp1252::fromUtf8(telephoneUtf8);
    if (!name || !telephone) // only a database written by hand could hold such text
        return notRegisteredReply();
    return *name + '*' + *telephone;
}

} // namespace

std::optional<std::string> answer(Directory& directory, std::string_view request,
                                  std::size_t maxRequestBytes)
{
    if (request.size() > maxRequestBytes)
        return invalidRequestReply();
    const std::string_view number = trimmed(request);
    if (number.empty())
        return std::nullopt;
    // The number is only ever a bound parameter of the lookup.
    const auto entry = directory.find(cp1252::toUtf8(number));
    if (!entry)
        return notRegisteredReply();
    return reply(entry->name, entry->telephone);
}

} // namespace velmario::server
