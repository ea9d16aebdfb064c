// Any request bytes a client sends: answered by the server's rules, never
// more than one reply, always "name*telephone", and the same reply whether
// the directory's replies are held in memory or looked up in the database.
#include "answer.h"
#include "framing.h"

#include <cstdint>
#include <cstdlib>

using namespace velmario::server;

namespace {

std::unique_ptr<Directory> inMemory()
{
    auto directory = Directory::sample();
    std::string problem;
    if (holdRepliesInMemory(*directory, 1000, problem) != Holding::InMemory)
        std::abort();
    return directory;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const auto looked = Directory::sample();
    static const auto held = inMemory();
    const std::string_view request(reinterpret_cast<const char*>(data), size);
    std::string reply;
    std::string heldReply;
    const Outcome outcome = answer(*looked, request, 256, reply);
    if (answer(*held, request, 256, heldReply) != outcome || heldReply != reply)
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
