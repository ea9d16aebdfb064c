#include "admission.h"

#include <algorithm>

namespace velmario::server {

Admission::Admission(AdmissionLimits limits)
    : m_limits(std::move(limits))
{
}

Address Admission::clientOf(const Address& address) const
{
    return isIpv4(address) ? address : leadingBits(address, m_limits.ipv6PrefixLength);
}

bool Admission::allowed(const Address& address) const
{
    return m_limits.allow.empty()
        || std::any_of(m_limits.allow.begin(), m_limits.allow.end(),
                       [&](const Cidr& network) { return network.contains(address); });
}

const Admission::Client* Admission::find(const Address& address) const
{
    const auto it = m_clients.find(clientOf(address));
    return it == m_clients.end() ? nullptr : &it->second;
}

bool Admission::hasRoom(std::size_t held) const
{
    if (m_open >= m_limits.maxConnections)
        return false;
    return m_limits.maxConnectionsPerAddress == 0 || m_open < m_limits.busyConnections
        || held < m_limits.maxConnectionsPerAddress;
}

Admission::Decision Admission::admit(const Address& from, std::uint64_t id, std::uint64_t nowMs)
{
    if (!allowed(from))
        return {Verdict::Denied};
    const Address key = clientOf(from);
    auto it = m_clients.find(key);
    const std::size_t held = it == m_clients.end() ? 0 : it->second.connections;
    Decision decision{Verdict::Admitted};
    if (!hasRoom(held)) {
        // Room is made only at the expense of a client holding clearly
        // more, so that two clients never take turns displacing each other.
        if (m_byHeld.empty() || m_byHeld.rbegin()->first < held + 2)
            return {m_open >= m_limits.maxConnections ? Verdict::Busy : Verdict::BusyForAddress};
        Connection* victim = longestIdle(*m_byHeld.rbegin()->second);
        decision.displaced = victim->id;
        release(*victim);
    }
    if (it == m_clients.end()) {
        it = m_clients.try_emplace(key).first;
        it->second.tokens = m_limits.rateBurst;
        it->second.refilledAt = nowMs;
    }
    Client& client = it->second;
    Connection& connection = m_connections[id];
    connection.id = id;
    connection.client = &client;
    connection.lastActive = nowMs;
    connection.next = client.first;
    if (client.first)
        client.first->previous = &connection;
    client.first = &connection;
    count(client, +1);
    ++m_open;
    decision.connection = &connection;
    return decision;
}

void Admission::release(Connection& connection)
{
    Client& client = *connection.client;
    if (connection.previous)
        connection.previous->next = connection.next;
    else
        client.first = connection.next;
    if (connection.next)
        connection.next->previous = connection.previous;
    count(client, -1);
    --m_open;
    // The client stays until its allowance is whole again (forget).
    m_connections.erase(connection.id);
}

void Admission::count(Client& client, int change)
{
    if (client.connections > 0)
        m_byHeld.erase({client.connections, &client});
    client.connections = change > 0 ? client.connections + 1 : client.connections - 1;
    if (client.connections > 0)
        m_byHeld.insert({client.connections, &client});
}

Admission::Connection* Admission::longestIdle(const Client& client) const
{
    // Newest first: on a tie the older connection goes.
    Connection* idlest = client.first;
    for (Connection* c = client.first; c; c = c->next) {
        if (c->lastActive <= idlest->lastActive)
            idlest = c;
    }
    return idlest;
}

double Admission::tokensAt(const Client& client, std::uint64_t nowMs) const
{
    const std::uint64_t elapsed = nowMs > client.refilledAt ? nowMs - client.refilledAt : 0;
    return std::min(m_limits.rateBurst, client.tokens + static_cast<double>(elapsed) * m_limits.rateLimit / 1000.0);
}

bool Admission::takeLookup(Connection& connection, std::uint64_t nowMs)
{
    if (m_limits.rateLimit <= 0)
        return true;
    Client& client = *connection.client;
    client.tokens = tokensAt(client, nowMs);
    client.refilledAt = nowMs;
    if (client.tokens < 1.0)
        return false;
    client.tokens -= 1.0;
    return true;
}

void Admission::forget(std::uint64_t nowMs)
{
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        const Client& client = it->second;
        if (client.connections == 0 && (m_limits.rateLimit <= 0 || tokensAt(client, nowMs) >= m_limits.rateBurst))
            it = m_clients.erase(it);
        else
            ++it;
    }
}

} // namespace velmario::server
