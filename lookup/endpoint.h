#pragma once
// A socket address to connect to: an IPv4 or IPv6 address with its port.

#include <QList>
#include <QString>

#include <optional>

#include "platformsocket.h"

namespace velmario::lookup {

struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;

    int family() const { return address.ss_family; }
    // The address in numeric form, without the port ("::1", "127.0.0.1").
    QString text() const;
    bool sameAddress(const Endpoint& other) const;

    // The endpoint for a numeric address ("127.0.0.1", "::1", "fe80::1%lo");
    // nothing for anything else, names included.
    static std::optional<Endpoint> fromNumeric(const QString& host, quint16 port);
};

// The endpoints in the order to try them (RFC 8305, section 4): the family
// of the first one first, then IPv6 and IPv4 in turn, each family in its own
// order; a repeated address is tried once.
QList<Endpoint> connectionOrder(const QList<Endpoint>& resolved);

} // namespace velmario::lookup
