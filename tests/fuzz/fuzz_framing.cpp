// Any bytes a connection sends, cut into reads anywhere: every request the
// framer hands on is non-empty, trimmed, within the limit and free of line
// ends; once in line mode, how the reads were cut changes nothing; and
// stopping the framer after any request and resuming it changes nothing.
#include "framing.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace velmario::server;

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t max = 1 + data[0]; // 1 to 256
    // 0xFF bytes mark where the reads are cut.
    std::vector<std::string> reads(1);
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0xFF)
            reads.emplace_back();
        else
            reads.back() += static_cast<char>(data[i]);
    }
    RequestFramer cut(max);
    std::vector<std::string> requests;
    bool ok = true;
    std::string whole;
    for (const std::string& bytes : reads) {
        whole += bytes;
        const auto verdict = cut.feed(bytes, false, [&](std::string_view request) {
            if (request.empty() || request.size() > max || isSpace(request.front()) || isSpace(request.back())
                || request.find('\n') != std::string_view::npos)
                std::abort();
            requests.emplace_back(request);
        });
        if (verdict != RequestFramer::Verdict::Ok) {
            ok = false;
            break;
        }
    }
    // Again, stopping after every request whose first byte is odd.
    RequestFramer stopping(max);
    std::vector<std::string> resumed;
    const auto take = [&](std::string_view request) {
        resumed.emplace_back(request);
        return (static_cast<unsigned char>(request.front()) & 1) == 0;
    };
    for (const std::string& bytes : reads) {
        auto verdict = stopping.feed(bytes, false, take);
        while (verdict == RequestFramer::Verdict::Held)
            verdict = stopping.resume(take);
        if (verdict != RequestFramer::Verdict::Ok)
            break;
    }
    if (resumed != requests)
        std::abort();
    if (!ok || reads.front().find('\n') == std::string::npos)
        return 0;
    RequestFramer once(max);
    std::vector<std::string> again;
    if (once.feed(whole, false, [&](std::string_view request) { again.emplace_back(request); })
        != RequestFramer::Verdict::Ok)
        std::abort();
    if (again != requests)
        std::abort();
    return 0;
}
