#include "replies.h"

#include "cp1252.h"
#include "csvimport.h"

#include <cstdio>

namespace velmario::server {
namespace {

// The fixed replies, encoded once.
struct FixedReplies {
    std::string notRegistered = encoded(kNotRegistered);
    std::string invalid = encoded(kInvalidRequest);
    std::string busy = encoded(kBusy);
    std::string tooMany = encoded(kTooManyLookups);
    std::string error = encoded(kServerError);

    static std::string encoded(std::string_view text) { return *cp1252::fromUtf8(text) + '*'; }
};

const FixedReplies& fixed()
{
    static const FixedReplies replies;
    return replies;
}

const std::string& notRegisteredReply() { return fixed().notRegistered; }

} // namespace

void appendReply(std::string_view nameUtf8, std::string_view telephoneUtf8, std::string& out)
{
    const std::size_t before = out.size();
    if (!cp1252::appendFromUtf8(out, nameUtf8) || !(out += '*', cp1252::appendFromUtf8(out, telephoneUtf8))) {
        // Only a database written by hand could hold such text.
        out.resize(before);
        out += notRegisteredReply();
    }
}


const std::string& fixedReply(std::string_view text)
{
    const FixedReplies& r = fixed();
    if (text == kInvalidRequest)
        return r.invalid;
    if (text == kBusy)
        return r.busy;
    if (text == kTooManyLookups)
        return r.tooMany;
    if (text == kServerError)
        return r.error;
    return r.notRegistered;
}

namespace {

std::string describeProblem(const Entry& e, const std::string& why)
{
    // The number may itself be what is wrong: show it as C would escape it.
    std::string number;
    for (const char c : e.controlNumber.substr(0, 80)) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
            number += escaped;
        } else {
            number += c;
        }
    }
    return "the entry for control number \"" + number + "\" breaks the directory's rules: " + why;
}

} // namespace

std::optional<std::string> checkDirectory(Directory& directory)
{
    std::string problem;
    std::string previous;
    bool first = true;
    // Rows come in control-number order: a repeated number (in a table made
    // by hand without its key) follows its twin.
    const bool complete = directory.forEach([&](const Entry& e) {
        std::string why = checkEntry(e);
        if (why.empty() && !first && e.controlNumber == previous)
            why = "the control number appears more than once";
        if (!why.empty())
            problem = describeProblem(e, why);
        first = false;
        previous = e.controlNumber;
        return why.empty();
    });
    if (!complete && problem.empty())
        return std::nullopt;
    return problem;
}

Holding readReplies(Directory& directory, std::size_t maxEntries, std::string& problem,
                    std::unique_ptr<const ReplyIndex>& held, bool (*stopped)(), const std::string& filesIn)
{
    try {
        // Counting first sizes the table once: building then holds no copy
        // of the replies beside it, and a reload peaks near twice the
        // steady size rather than three times.
        const std::optional<std::size_t> total = directory.size();
        if (!total)
            return Holding::Unreadable;
        if (*total > maxEntries)
            return Holding::TooLarge;
        std::unique_ptr<ReplyIndex> replies =
            filesIn.empty() ? std::make_unique<ReplyIndex>() : ReplyIndex::inFiles(filesIn, problem);
        if (!replies)
            return Holding::TooLarge;
        // Rows come in control-number order, so a repeated number would
        // follow its twin: each is compared with the one before, and the
        // table need not compare them.
        if (!replies->reserve(*total, ReplyIndex::Keys::Distinct))
            return Holding::TooLarge;
        std::size_t count = 0;
        std::string key, previous, reply;
        bool fits = true;
        bool changed = false;
        const bool complete = directory.forEach([&](const Entry& e) {
            if (stopped && count % 4096 == 0 && stopped())
                return false;
            if (++count > *total) {
                changed = true; // more rows than counted: the file changed under us
                return false;
            }
            if (const std::string why = checkEntry(e); !why.empty()) {
                problem = describeProblem(e, why);
                return false;
            }
            // A control number with no Windows-1252 form can never arrive
            // on the wire: it needs no slot.
            key.swap(previous);
            key.clear();
            if (!cp1252::appendFromUtf8(key, e.controlNumber))
                return true;
            if (count > 1 && key == previous) {
                problem = describeProblem(e, "the control number appears more than once");
                return false;
            }
            reply.clear();
            appendReply(e.name, e.telephone, reply);
            fits = replies->add(key, reply);
            return fits;
        });
        if (!problem.empty())
            return Holding::Invalid;
        if (!fits)
            return Holding::TooLarge;
        if (!complete || changed)
            return Holding::Unreadable;
        replies->finish();
        held = std::move(replies);
        return Holding::InMemory;
    } catch (const std::bad_alloc&) {
        return Holding::TooLarge;
    }
}

} // namespace velmario::server
