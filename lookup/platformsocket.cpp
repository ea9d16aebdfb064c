// What the socket calls share on every system.
#include "platformsocket.h"

namespace velmario::lookup::net {

quint16 localPort(Handle socket)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(NativeSocket(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    if (local.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    return 0;
}

} // namespace velmario::lookup::net
