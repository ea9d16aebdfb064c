// Any bytes a server sends: cut, decoded and split without fault, and the
// split always adds up to the text.
#include "protocol.h"

#include <cstdint>
#include <cstdlib>

using namespace velmario::lookup;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const Reply reply = parseReply(bytes);
    const qsizetype kept = qMin<qsizetype>(bytes.size(), kMaxReplyLength);
    if (reply.text.size() != kept || reply.truncated != (bytes.size() > kMaxReplyLength))
        std::abort();
    if (reply.hasSeparator) {
        if (reply.name.size() + 1 + reply.telephone.size() != reply.text.size()
            || reply.text.at(reply.name.size()) != u'*' || reply.telephone.contains(u'*'))
            std::abort();
    } else if (reply.text.contains(u'*') || !reply.name.isEmpty() || !reply.telephone.isEmpty()) {
        std::abort();
    }
    // Every byte decodes, and encodes back to itself.
    const auto back = encode(reply.text);
    if (!back || *back != bytes.first(kept))
        std::abort();
    return 0;
}
