#include "answer.h"

#include "framing.h"

namespace velmario::server {

Outcome answer(const ReplyTable& table, std::string_view request, std::size_t maxRequestBytes, std::string& out)
{
    const std::string_view number = RequestFramer::trimmed(request);
    if (number.empty())
        return Outcome::Nothing;
    if (number.size() > maxRequestBytes) {
        out += fixedReply(kInvalidRequest);
        return Outcome::Invalid;
    }
    switch (table.find(number, out)) {
    case ReplyTable::Found::Yes: return Outcome::Found;
    case ReplyTable::Found::No: out += fixedReply(kNotRegistered); return Outcome::NotFound;
    case ReplyTable::Found::Failed: out += fixedReply(kServerError); return Outcome::Failed;
    case ReplyTable::Found::Changed: out += fixedReply(kServerError); return Outcome::Changed;
    }
    out += fixedReply(kServerError);
    return Outcome::Failed;
}

} // namespace velmario::server
