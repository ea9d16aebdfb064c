#include "endpoint.h"

#include <algorithm>
#include <cstring>


namespace velmario::lookup {

QString Endpoint::text() const
{
    net::startUp();
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST)
        != 0)
        return {};
    return QString::fromLatin1(host);
}

bool Endpoint::sameAddress(const Endpoint& other) const
{
    return length == other.length && std::memcmp(&address, &other.address, length) == 0;
}

std::optional<Endpoint> Endpoint::fromNumeric(const QString& host, quint16 port)
{
    // Latin-1 maps every character; a host that needs more is no number.
    if (host.isEmpty() || QString::fromLatin1(host.toLatin1()) != host)
        return std::nullopt;
    net::startUp();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const QByteArray service = QByteArray::number(port);
    if (::getaddrinfo(host.toLatin1().constData(), service.constData(), &hints, &found) != 0)
        return std::nullopt;
    Endpoint endpoint;
    std::memcpy(&endpoint.address, found->ai_addr, found->ai_addrlen);
    endpoint.length = socklen_t(found->ai_addrlen);
    ::freeaddrinfo(found);
    return endpoint;
}

QList<Endpoint> connectionOrder(const QList<Endpoint>& resolved)
{
    QList<Endpoint> unique;
    for (const Endpoint& endpoint : resolved) {
        bool seen = false;
        for (const Endpoint& kept : unique)
            seen = seen || kept.sameAddress(endpoint);
        if (!seen)
            unique.append(endpoint);
    }
    if (unique.isEmpty())
        return {};
    const int first = unique.first().family();
    QList<Endpoint> firstFamily, others;
    for (const Endpoint& endpoint : unique)
        (endpoint.family() == first ? firstFamily : others).append(endpoint);
    QList<Endpoint> ordered;
    for (qsizetype i = 0; i < std::max(firstFamily.size(), others.size()); ++i) {
        if (i < firstFamily.size())
            ordered.append(firstFamily[i]);
        if (i < others.size())
            ordered.append(others[i]);
    }
    return ordered;
}

} // namespace velmario::lookup
