// Any request bytes a client sends: answered by the server's rules, never
// more than one reply, always "name*telephone".
#include "answer.h"

#include <cstdint>
#include <cstdlib>

using namespace velmario::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const auto directory = Directory::sample();
    const std::string_view request(reinterpret_cast<const char*>(data), size);
    const auto reply = answer(*directory, request, 256);
    if (!reply)
        return 0; // only white space: no reply
    if (reply->find('*') == std::string::npos)
        std::abort();
    if (size > 256 && reply->rfind("Solicitud", 0) != 0)
        std::abort();
    return 0;
}
