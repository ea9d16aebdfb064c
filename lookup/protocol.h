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

// Longest reply handled, in characters (one byte each on the wire).
inline constexpr qsizetype kMaxReplyLength = 32766;

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
    bool truncated = false;    // the arrival was longer than kMaxReplyLength
};

// Splits reply text at its last "*". Earlier stars stay in the name and the
// separator belongs to neither part.
Reply splitReply(QString text);

// One arrival of bytes as a reply: cut to kMaxReplyLength characters, decoded
// and split.
Reply parseReply(QByteArrayView bytes);

} // namespace velmario::lookup
