// Splitting what a connection sends into requests.
//
// The client sends each control number in one write with no terminator, so
// a connection starts out taking each read as one request. Tools such as
// nc and telnet end their lines instead: once a line end arrives, the
// connection is in line mode for good, and each LF- or CRLF-ended line is
// one request, however reads cut them. White space around a request is not
// part of it, and white space alone is no request.
//
// The one who takes the requests may stop the framer between two of them
// (its replies are not being read fast enough): the rest of that read is
// held until resume(), and no further read should be fed meanwhile.

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

namespace velmario::server {

class RequestFramer
{
public:
    // White space a connection may send beyond the longest request before
    // it is cut off: nothing legitimate comes near it.
    static constexpr std::size_t kSlack = 4096;

    enum class Verdict {
        Ok,
        Held,    // stopped by onRequest with bytes of the read left: resume() goes on
        TooLong, // a request, a partial line or white space passed the limit
    };

    explicit RequestFramer(std::size_t maxRequestBytes) : m_max(maxRequestBytes) {}

    // Takes one read. `filled` says the read filled the whole read buffer,
    // so that more of the same request may follow. Calls onRequest with
    // each request in order, trimmed and never empty; an onRequest that
    // returns false stops the framer after that request. After TooLong the
    // connection must get no further requests.
    template <class OnRequest>
    Verdict feed(std::string_view bytes, bool filled, OnRequest&& onRequest)
    {
        if (!m_lineMode) {
            if (bytes.find('\n') == std::string_view::npos) {
                if (filled)
                    return Verdict::TooLong;
                bool goOn = true;
                return deliver(bytes, onRequest, goOn);
            }
            m_lineMode = true;
        }
        return lines(bytes, onRequest);
    }

    // Goes on with the bytes held when onRequest stopped the framer.
    template <class OnRequest>
    Verdict resume(OnRequest&& onRequest)
    {
        const std::string held = std::move(m_held);
        m_held.clear();
        return lines(held, onRequest);
    }

    bool lineMode() const { return m_lineMode; }
    // Whether bytes of a read wait for resume().
    bool holding() const { return !m_held.empty(); }

    static std::string_view trimmed(std::string_view s)
    {
        while (!s.empty() && isSpace(s.front()))
            s.remove_prefix(1);
        while (!s.empty() && isSpace(s.back()))
            s.remove_suffix(1);
        return s;
    }

private:
    static bool isSpace(char c)
    {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    }

    template <class OnRequest>
    Verdict lines(std::string_view bytes, OnRequest& onRequest)
    {
        for (;;) {
            const std::size_t end = bytes.find('\n');
            if (end == std::string_view::npos)
                break;
            Verdict verdict;
            bool goOn = true;
            if (m_partial.empty()) {
                verdict = deliver(bytes.substr(0, end), onRequest, goOn);
            } else {
                m_partial.append(bytes.data(), end);
                verdict = deliver(m_partial, onRequest, goOn);
                m_partial.clear();
            }
            if (verdict != Verdict::Ok)
                return verdict;
            bytes.remove_prefix(end + 1);
            if (!goOn && !bytes.empty()) {
                m_held.assign(bytes);
                return Verdict::Held;
            }
        }
        if (m_partial.size() + bytes.size() > m_max + kSlack)
            return Verdict::TooLong;
        m_partial.append(bytes);
        return Verdict::Ok;
    }

    template <class OnRequest>
    Verdict deliver(std::string_view raw, OnRequest& onRequest, bool& goOn)
    {
        const std::string_view request = trimmed(raw);
        if (request.empty()) {
            m_blank += raw.size() + 1;
            return m_blank > m_max + kSlack ? Verdict::TooLong : Verdict::Ok;
        }
        if (request.size() > m_max)
            return Verdict::TooLong;
        m_blank = 0; // white space is bounded between requests, not over the connection
        if constexpr (std::is_same_v<decltype(onRequest(request)), bool>)
            goOn = onRequest(request);
        else
            onRequest(request);
        return Verdict::Ok;
    }

    const std::size_t m_max;
    std::string m_partial; // a line not yet ended
    std::string m_held;    // the rest of a read, when onRequest stopped the framer
    std::size_t m_blank = 0; // bytes of white space since the last request
    bool m_lineMode = false;
};

} // namespace velmario::server
