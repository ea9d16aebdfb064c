// Any request bytes a client sends: answered by the server's rules, never
// more than one reply, always "name*telephone", and the same reply whether
// the directory's replies are held in memory or looked up in the database.
#include "answer.h"

#include <cstdint>
#include <cstdlib>

using namespace velmario::server;

namespace {

std::unique_ptr<Directory> inMemory()
{
    auto directory = Directory::sample();
    if (holdRepliesInMemory(*directory, 1000) != Holding::InMemory)
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
    const bool replied = answer(*looked, request, 256, reply);
    if (answer(*held, request, 256, heldReply) != replied || heldReply != reply)
        std::abort();
    if (!replied) { // only white space: no reply
        if (!reply.empty())
            std::abort();
        return 0;
    }
    if (reply.find('*') == std::string::npos)
        std::abort();
    if (size > 256 && reply.rfind("Solicitud", 0) != 0)
        std::abort();
    return 0;
}
