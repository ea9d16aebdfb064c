#include "answer.h"

#include "cp1252.h"
#include "framing.h"
#include "log.h"

namespace velmario::server {

Outcome answer(Directory& directory, std::string_view request, std::size_t maxRequestBytes, std::string& out)
{
    const std::string_view number = RequestFramer::trimmed(request);
    if (number.empty())
        return Outcome::Nothing;
    if (number.size() > maxRequestBytes) {
        out += fixedReply(kInvalidRequest);
        return Outcome::Invalid;
    }
    if (const ReplyIndex* replies = directory.replies()) {
        const auto reply = replies->find(number);
        out += reply ? *reply : std::string_view(fixedReply(kNotRegistered));
        return reply ? Outcome::Found : Outcome::NotFound;
    }
    if (const ReplyFile* file = directory.replyFile()) {
        switch (file->find(number, out)) {
        case ReplyFile::Found::Yes: return Outcome::Found;
        case ReplyFile::Found::No: out += fixedReply(kNotRegistered); return Outcome::NotFound;
        case ReplyFile::Found::Failed: out += fixedReply(kServerError); return Outcome::Failed;
        case ReplyFile::Found::Changed:
            // Its bytes are no longer the ones checked: the database's own
            // table answers until a load checks a copy again.
            log(directory.replyFilePath() + ": changed since it was checked: no longer used; lookups go to the "
                "database until the next reload checks it again", LogPriority::Warning);
            directory.dropReplyFile();
            break;
        }
    }
    // The number is only ever a bound parameter of the lookup.
    bool failed = false;
    const auto entry = directory.find(cp1252::toUtf8(number), &failed);
    if (failed) {
        out += fixedReply(kServerError);
        return Outcome::Failed;
    }
    if (!entry) {
        out += fixedReply(kNotRegistered);
        return Outcome::NotFound;
    }
    appendReply(entry->name, entry->telephone, out);
    return Outcome::Found;
}

} // namespace velmario::server
