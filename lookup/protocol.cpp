#include "protocol.h"

#include "cp1252.h"

#include <QList>

namespace velmario::lookup {

QString decode(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char b : bytes) {
        const auto byte = static_cast<std::uint8_t>(b);
        // ASCII is itself; only the upper half needs the table.
        *out++ = QChar(byte < 0x80 ? char16_t(byte) : cp1252::decode(byte));
    }
    return text;
}

std::optional<QByteArray> encode(QStringView text)
{
    QByteArray bytes(text.size(), Qt::Uninitialized);
    char* out = bytes.data();
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80) {
            *out++ = static_cast<char>(u); // ASCII is itself
            continue;
        }
        // Windows-1252 has nothing beyond the Basic Multilingual Plane.
        if (c.isSurrogate())
            return std::nullopt;
        const auto b = cp1252::encode(u);
        if (!b)
            return std::nullopt;
        *out++ = static_cast<char>(*b);
    }
    return bytes;
}

std::optional<QByteArray> buildRequest(QStringView controlNumber)
{
    return encode(controlNumber);
}

bool isBlankRequest(QByteArrayView request)
{
    for (const char c : request) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\v' && c != '\f')
            return false;
    }
    return true;
}

Reply splitReply(QString text)
{
    Reply reply;
    // Scan every character: the last "*" is the separator.
    qsizetype separator = -1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == u'*')
            separator = i;
    }
    if (separator >= 0) {
        reply.hasSeparator = true;
        reply.name = text.first(separator);
        reply.telephone = text.sliced(separator + 1);
    }
    reply.text = std::move(text);
    return reply;
}

Reply parseReply(QByteArrayView bytes)
{
    const bool truncated = bytes.size() > kMaxReplyLength;
    if (truncated)
        bytes = bytes.first(kMaxReplyLength);
    Reply reply = splitReply(decode(bytes));
    reply.truncated = truncated;
    return reply;
}

void ReplyBuffer::clear()
{
    m_bytes.clear();
    m_cut = false;
    m_awaited = 0;
}

bool ReplyBuffer::append(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return false;
    if (m_awaited > 0) {
        // The first bytes of a reply not begun yet.
        --m_awaited;
        m_bytes.clear();
        m_cut = false;
    }
    if (m_cut)
        return false;
    const qsizetype room = kMaxReplyLength - m_bytes.size();
    if (bytes.size() > room) {
        bytes = bytes.first(room);
        m_cut = true;
    }
    m_bytes.append(bytes);
    return true;
}

Reply ReplyBuffer::reply() const
{
    Reply reply = splitReply(decode(m_bytes));
    reply.truncated = m_cut;
    return reply;
}

} // namespace velmario::lookup
