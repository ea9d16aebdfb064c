#pragma once
// The lookup conversation: the client sends a control number, the server
// answers "name*telephone", both as Windows-1252 text.

#include "lookupport.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

namespace velmario::lookup {

// Longest reply kept, in characters (one byte each on the wire). What a
// server sends beyond it is dropped, so memory stays bounded whatever it
// sends.
inline constexpr qsizetype kMaxReplyLength = 64 * 1024;

// Qt strings to and from Windows-1252 bytes. encode() gives nothing when a
// character has no Windows-1252 form; nothing is ever replaced by "?".
QString decode(QByteArrayView bytes);
std::optional<QByteArray> encode(QStringView text);

// The request for a control number is exactly its text, with no trimming,
// terminator or prefix. Nothing when the text cannot be encoded.
std::optional<QByteArray> buildRequest(QStringView controlNumber);

// Whether the server takes the request for none at all and so never answers
// it: no bytes, or only white space (space, tab, CR, LF, VT, FF).
bool isBlankRequest(QByteArrayView request);

struct Reply {
    QString text;              // the whole reply as received (after truncation)
    QString name;              // characters before the last "*"
    QString telephone;         // characters after the last "*"
    bool hasSeparator = false; // false: no "*" at all, name and telephone empty
    bool truncated = false;    // the reply was longer than kMaxReplyLength
};

// Splits reply text at its last "*". Earlier stars stay in the name and the
// separator belongs to neither part.
Reply splitReply(QString text);

// Bytes as a reply: cut to kMaxReplyLength characters, decoded and split.
Reply parseReply(QByteArrayView bytes);

// The reply to the lookup under way: every byte the connection delivered
// since its request was sent, however TCP cut it into arrivals, up to
// kMaxReplyLength. The server marks no end of a reply, so a reply ends only
// when the next one begins. While later requests wait for their replies, an
// arrival is taken as the whole reply to an earlier one (a server sends each
// reply in one piece), and the reply to the last request gathers every
// arrival that follows.
class ReplyBuffer
{
public:
    // Forgets the reply and every request: nothing is awaited.
    void clear();
    // A request has been sent: the next arrival begins its reply, or the
    // reply of one sent before it that has not begun yet.
    void requestSent() { ++m_awaited; }
    // Adds an arrival. False when nothing changed: the reply was already
    // past the limit, and the bytes are dropped.
    bool append(QByteArrayView bytes);
    // The bytes kept, at most kMaxReplyLength.
    qsizetype size() const { return m_bytes.size(); }
    // The reply as it stands, split at its last "*"; truncated once more
    // bytes came than are kept.
    Reply reply() const;

private:
    QByteArray m_bytes;
    bool m_cut = false;
    qsizetype m_awaited = 0; // requests sent whose replies have not begun
};

} // namespace velmario::lookup
