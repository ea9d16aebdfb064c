#pragma once
// The tests' own raw TCP sockets on 127.0.0.0/8, where Qt's would not do:
// a listener that never accepts, a peer that drops each connection with a
// reset. The same on POSIX systems and on Windows (the client's tests run
// under wine too).

#include "platformsocket.h"

#include <QtGlobal>

#include <utility>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace velmario::testing {

class RawSocket
{
public:
    RawSocket()
        : m_handle(open())
    {
    }
    explicit RawSocket(qintptr handle) : m_handle(handle) {}
    ~RawSocket() { close(); }
    RawSocket(RawSocket&& other) noexcept : m_handle(std::exchange(other.m_handle, kNone)) {}
    RawSocket& operator=(RawSocket&& other) noexcept
    {
        close();
        m_handle = std::exchange(other.m_handle, kNone);
        return *this;
    }

    bool isValid() const { return m_handle != kNone; }

    // Listens on address:port (0: a free port) with the backlog given.
    bool listenOn(const char* address, quint16 port, int backlog)
    {
        const sockaddr_in where = endpoint(address, port);
        const int one = 1;
        ::setsockopt(native(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
        return ::bind(native(), reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0
            && ::listen(native(), backlog) == 0;
    }
    quint16 port() const { return lookup::net::localPort(m_handle); }

    // Starts a connect and returns at once.
    void connectWithoutWaiting(const char* address, quint16 port)
    {
#ifdef Q_OS_WIN
        u_long nonBlocking = 1;
        ::ioctlsocket(native(), FIONBIO, &nonBlocking);
#else
        ::fcntl(native(), F_SETFL, O_NONBLOCK);
#endif
        const sockaddr_in where = endpoint(address, port);
        (void)::connect(native(), reinterpret_cast<const sockaddr*>(&where), sizeof where);
    }

    // The next connection within timeoutMs; an invalid socket when none.
    RawSocket accept(int timeoutMs)
    {
#ifdef Q_OS_WIN
        WSAPOLLFD listening{native(), POLLRDNORM, 0};
        if (::WSAPoll(&listening, 1, timeoutMs) <= 0)
            return RawSocket(kNone);
#else
        pollfd listening{native(), POLLIN, 0};
        if (::poll(&listening, 1, timeoutMs) <= 0)
            return RawSocket(kNone);
#endif
        auto accepted = ::accept(native(), nullptr, nullptr);
        return RawSocket(accepted == decltype(accepted)(-1) ? kNone : qintptr(accepted));
    }

    // Closing then sends a reset rather than an orderly end.
    void resetOnClose()
    {
        const linger reset{1, 0};
        ::setsockopt(native(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
    }

    void close()
    {
        if (m_handle != kNone)
            lookup::net::closeSocket(std::exchange(m_handle, kNone));
    }

private:
    static constexpr qintptr kNone = -1;

    static qintptr open()
    {
        lookup::net::startUp();
        auto handle = ::socket(AF_INET, SOCK_STREAM, 0);
        return handle == decltype(handle)(-1) ? kNone : qintptr(handle);
    }

    static sockaddr_in endpoint(const char* address, quint16 port)
    {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &where.sin_addr);
        return where;
    }
#ifdef Q_OS_WIN
    SOCKET native() const { return SOCKET(m_handle); }
#else
    int native() const { return int(m_handle); }
#endif

    qintptr m_handle;
};

} // namespace velmario::testing
