// The lookup connection's sockets on Windows: Winsock 2, with the socket's
// network events selected into an event object (WSAEventSelect) before
// connect() is called and watched by QWinEventNotifier. (A QSocketNotifier
// registers its window message only when that message is next processed,
// and so can miss a refusal or a reset that comes at once on loopback.)
#include "platformsocket.h"

#include <QWinEventNotifier>

#include <mutex>
#include <utility>

namespace velmario::lookup::net {

namespace {

// Winsock's error numbers as the POSIX ones the rest of the client uses;
// any other stays as it is (10000 and up), and errorText() still names it.
int fromWinsock(int error)
{
    switch (error) {
    case 0: return 0;
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEINTR: return EAGAIN;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAEAFNOSUPPORT: return EAFNOSUPPORT;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNABORTED: return ECONNRESET;
    case WSAENETRESET: return ECONNRESET;
    case WSAESHUTDOWN: return EPIPE;
    default: return error;
    }
}

QString systemText(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                              | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString result = length ? QString::fromWCharArray(text, int(length)).trimmed()
                            : QStringLiteral("error %1").arg(code);
    ::LocalFree(text);
    return result;
}

} // namespace

void startUp()
{
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

int lastError()
{
    return fromWinsock(::WSAGetLastError());
}

QString errorText(int error)
{
    // The POSIX numbers back to Winsock's, for the system's own words.
    switch (error) {
    case ECONNREFUSED: return systemText(WSAECONNREFUSED);
    case ENETUNREACH: return systemText(WSAENETUNREACH);
    case EHOSTUNREACH: return systemText(WSAEHOSTUNREACH);
    case EADDRNOTAVAIL: return systemText(WSAEADDRNOTAVAIL);
    case EAFNOSUPPORT: return systemText(WSAEAFNOSUPPORT);
    case ETIMEDOUT: return systemText(WSAETIMEDOUT);
    case ECONNRESET: return systemText(WSAECONNRESET);
    case EPIPE: return systemText(WSAESHUTDOWN);
    default: return systemText(DWORD(error));
    }
}

Handle openStream(int family, int& error)
{
    startUp();
    const SOCKET s = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = lastError();
        return kNoSocket;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    error = 0;
    return Handle(s);
}

int startConnect(Handle socket, const sockaddr* address, socklen_t length)
{
    if (::connect(SOCKET(socket), address, length) == 0)
        return 0;
    const int error = lastError();
    return error == EAGAIN ? EINPROGRESS : error;
}

qint64 receive(Handle socket, char* data, qint64 size, int& error)
{
    const int n = ::recv(SOCKET(socket), data, int(qMin<qint64>(size, INT_MAX)), 0);
    error = n == SOCKET_ERROR ? lastError() : 0;
    return n == SOCKET_ERROR ? -1 : n;
}

qint64 sendSome(Handle socket, const char* data, qint64 size, int& error)
{
    const int n = ::send(SOCKET(socket), data, int(qMin<qint64>(size, INT_MAX)), 0);
    error = n == SOCKET_ERROR ? lastError() : 0;
    return n == SOCKET_ERROR ? -1 : n;
}

void setNoDelay(Handle socket)
{
    const BOOL one = TRUE;
    ::setsockopt(SOCKET(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void closeSocket(Handle socket)
{
    ::closesocket(SOCKET(socket));
}

NameError nameErrorKind(int gaiError)
{
    switch (gaiError) {
    case EAI_NONAME: // WSAHOST_NOT_FOUND
    case WSANO_DATA:
        return NameError::NotFound;
    case EAI_AGAIN: // WSATRY_AGAIN
        return NameError::NoAnswer;
    default:
        return NameError::Failed;
    }
}

QString nameErrorText(int gaiError)
{
    return systemText(DWORD(gaiError));
}

// --- Watch -------------------------------------------------------------------

struct Watch::Private {
    SOCKET socket;
    WSAEVENT event;
    QWinEventNotifier notifier;
    bool readWanted = false;
    bool writeWanted = false;
    bool readPending = false; // arrived while reads were off
    bool stopped = false;     // the socket may be closed, its handle reused

    Private(SOCKET s, WSAEVENT e)
        : socket(s)
        , event(e)
        , notifier(e)
    {
    }
};

Watch::Watch(Handle socket, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Private>(SOCKET(socket), ::WSACreateEvent()))
{
    // Every event the connection cares for, selected before connect().
    ::WSAEventSelect(d->socket, d->event, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE);
    connect(&d->notifier, &QWinEventNotifier::activated, this, [this] {
        WSANETWORKEVENTS happened{};
        if (::WSAEnumNetworkEvents(d->socket, d->event, &happened) != 0)
            return;
        if (happened.lNetworkEvents & FD_CONNECT)
            emit connectDone(fromWinsock(happened.iErrorCode[FD_CONNECT_BIT]));
        if (happened.lNetworkEvents & (FD_READ | FD_CLOSE)) {
            // Reading tells the bytes, the close or the reset apart.
            if (d->readWanted)
                emit readable();
            else
                d->readPending = true;
        }
        if ((happened.lNetworkEvents & FD_WRITE) && d->writeWanted)
            emit writable();
    });
}

Watch::~Watch()
{
    stop();
    ::WSACloseEvent(d->event);
}

void Watch::stop()
{
    if (std::exchange(d->stopped, true))
        return;
    d->notifier.setEnabled(false);
    d->readWanted = d->writeWanted = false;
    ::WSAEventSelect(d->socket, nullptr, 0);
}

void Watch::setReadEnabled(bool enabled)
{
    d->readWanted = enabled;
    if (enabled && d->readPending) {
        d->readPending = false;
        QMetaObject::invokeMethod(this, &Watch::readable, Qt::QueuedConnection);
    }
}

void Watch::setWriteEnabled(bool enabled)
{
    d->writeWanted = enabled;
    // Winsock says FD_WRITE again only after a send was refused for want of
    // room: try at once, and the event follows if there is none.
    if (enabled)
        QMetaObject::invokeMethod(this, &Watch::writable, Qt::QueuedConnection);
}

} // namespace velmario::lookup::net
