// Any request bytes a client sends: answered by the server's rules, never
// more than one reply, always "name*telephone", and the same reply whether
// the table of replies is held in memory or built in files.
#include "answer.h"
#include "framing.h"

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

using namespace velmario::server;

namespace {

std::unique_ptr<const ReplyIndex> table(const std::string& filesIn)
{
    auto directory = Directory::sample();
    std::string problem;
    std::unique_ptr<const ReplyIndex> replies;
    if (!directory || readReplies(*directory, 1000, problem, replies, nullptr, filesIn) != Holding::InMemory)
        std::abort();
    return replies;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const auto held = table({});
    static const auto inFiles = table(::getenv("TMPDIR") ? ::getenv("TMPDIR") : "/tmp");
    const std::string_view request(reinterpret_cast<const char*>(data), size);
    std::string reply;
    std::string filesReply;
    const Outcome outcome = answer(*held, request, 256, reply);
    if (answer(*inFiles, request, 256, filesReply) != outcome || filesReply != reply)
        std::abort();
    const bool replied = outcome != Outcome::Nothing;
    if (!replied) { // only white space: no reply
        if (!reply.empty())
            std::abort();
        return 0;
    }
    if (reply.find('*') == std::string::npos)
        std::abort();
    // Over the limit once its surrounding white space is gone.
    if ((outcome == Outcome::Invalid) != (RequestFramer::trimmed(request).size() > 256))
        std::abort();
    return 0;
}
