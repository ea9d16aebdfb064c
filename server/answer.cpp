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

void appendReply(std::string_view nameUtf8, std::string_view telephoneUtf8, std::string& out)
{
    const auto name = cp1252::fromUtf8(nameUtf8);
    const auto telephone = cp1252::fromUtf8(telephoneUtf8);
    if (!name || !telephone) { // only a database written by hand could hold such text
        out += notRegisteredReply();
        return;
    }
    out.append(*name).append(1, '*').append(*telephone);
}

} // namespace

bool answer(Directory& directory, std::string_view request, std::size_t maxRequestBytes, std::string& out)
{
    if (request.size() > maxRequestBytes) {
        out += invalidRequestReply();
        return true;
    }
    const std::string_view number = trimmed(request);
    if (number.empty())
        return false;
    if (const ReplyIndex* replies = directory.replies()) {
        const auto reply = replies->find(number);
        out += reply ? *reply : std::string_view(notRegisteredReply());
        return true;
    }
    // The number is only ever a bound parameter of the lookup.
    const auto entry = directory.find(cp1252::toUtf8(number));
    if (!entry)
        out += notRegisteredReply();
    else
        appendReply(entry->name, entry->telephone, out);
    return true;
}

Holding holdRepliesInMemory(Directory& directory, std::size_t maxEntries)
{
    try {
        auto replies = std::make_unique<ReplyIndex>();
        std::size_t count = 0;
        std::string reply;
        bool fits = true;
        const bool complete = directory.forEach([&](const Entry& e) {
            if (++count > maxEntries) {
                fits = false;
                return false;
            }
            // A control number with no Windows-1252 form can never arrive
            // on the wire: it needs no slot.
            const auto key = cp1252::fromUtf8(e.controlNumber);
            if (!key)
                return true;
            reply.clear();
            appendReply(e.name, e.telephone, reply);
            fits = replies->add(*key, reply);
            return fits;
        });
        if (!fits)
            return Holding::TooLarge;
        if (!complete)
            return Holding::Unreadable;
        replies->finish();
        directory.setReplies(std::move(replies));
        return Holding::InMemory;
    } catch (const std::bad_alloc&) {
        return Holding::TooLarge;
    }
}

} // namespace velmario::server
