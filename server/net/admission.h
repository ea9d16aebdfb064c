#pragma once
// Who may connect and how much they may ask: the allowed networks, the
// connection limits, each client's lookup allowance, and the table of
// clients that keeps them. No sockets and no clock: the caller passes the
// time in, in milliseconds of any steady clock.
//
// A client is an IPv4 address, or an IPv6 network of --ipv6-prefix-length
// bits: one host is usually given a whole /64, so counting IPv6 addresses
// one by one would let one host pass as many.
//
// Connections. While fewer than `busyConnections` are open, any client may
// open more: a classroom behind one address is served whole. From then on,
// a client that already holds `maxConnectionsPerAddress` gets no more, and
// nobody gets more than `maxConnections`. A client refused by either rule
// still gets in if another client holds at least two connections more than
// it does: the longest idle connection of the client holding the most is
// closed to make room. So a flood from one address never keeps another
// address out, and at the limit the connections are shared out evenly.
//
// Lookups. Each client has a token bucket: `rateBurst` lookups at once, then
// `rateLimit` a second. The bucket belongs to the client, not to its
// connections: it is kept while the client has none, until it is full
// again, so that reconnecting does not renew it.

#include "address.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velmario::server {

struct AdmissionLimits {
    std::size_t maxConnections = 1;
    std::size_t maxConnectionsPerAddress = 0; // 0: no limit
    std::size_t busyConnections = 0;          // from this many open on, the per-address limit applies
    unsigned ipv6PrefixLength = 128;          // leading bits of an IPv6 address that make one client
    std::vector<Cidr> allow;                  // empty: every address
    double rateLimit = 0;                     // lookups a second; 0: no limit
    double rateBurst = 0;
};

class Admission
{
public:
    struct Client;
    // One admitted connection; the reference stays valid until release().
    struct Connection {
        std::uint64_t id = 0;
        Client* client = nullptr;
        std::uint64_t lastActive = 0;
        Connection* previous = nullptr; // the client's other connections
        Connection* next = nullptr;
    };
    struct Client {
        std::size_t connections = 0;
        Connection* first = nullptr;
        double tokens = 0;
        std::uint64_t refilledAt = 0;
    };

    enum class Verdict {
        Admitted,
        Denied,         // not in an allowed network
        Busy,           // the server holds maxConnections
        BusyForAddress, // the client holds its share while the server is busy
    };
    struct Decision {
        Verdict verdict = Verdict::Denied;
        Connection* connection = nullptr; // when admitted
        std::uint64_t displaced = 0;      // when not 0: the id of a connection released to make room, to be closed
    };

    explicit Admission(AdmissionLimits limits);
    // Fewer connections than the limits first said (the descriptors allow
    // no more); before any is admitted.
    void setConnectionLimits(std::size_t maxConnections, std::size_t busyConnections)
    {
        m_limits.maxConnections = maxConnections;
        m_limits.busyConnections = busyConnections;
    }

    // A new connection `id` (not 0, unique among those open) from `from`.
    Decision admit(const Address& from, std::uint64_t id, std::uint64_t nowMs);
    // The connection has closed.
    void release(Connection& connection);
    // The connection was answered: it is not idle.
    static void touch(Connection& connection, std::uint64_t nowMs) { connection.lastActive = nowMs; }
    // Whether the connection's client may make one more lookup now; takes it.
    bool takeLookup(Connection& connection, std::uint64_t nowMs);
    // Forgets clients without connections whose allowance is whole again.
    void forget(std::uint64_t nowMs);

    // The client `address` counts as: the address itself for IPv4, its
    // network for IPv6.
    Address clientOf(const Address& address) const;
    bool allowed(const Address& address) const;
    const AdmissionLimits& limits() const { return m_limits; }
    std::size_t openConnections() const { return m_open; }
    std::size_t knownClients() const { return m_clients.size(); }
    // The client entry for `address`, if the table holds one.
    const Client* find(const Address& address) const;

private:
    double tokensAt(const Client& client, std::uint64_t nowMs) const;
    bool hasRoom(std::size_t held) const;
    Connection* longestIdle(const Client& client) const;
    void count(Client& client, int change);

    AdmissionLimits m_limits;
    std::unordered_map<Address, Client, AddressHash> m_clients; // values stay in place while others come and go
    std::unordered_map<std::uint64_t, Connection> m_connections;
    // Clients holding connections, by how many.
    std::set<std::pair<std::size_t, Client*>> m_byHeld;
    std::size_t m_open = 0;
};

} // namespace velmario::server
