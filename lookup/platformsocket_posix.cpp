// The lookup connection's sockets on POSIX systems: plain descriptors,
// watched by QSocketNotifier.
#include "platformsocket.h"

#include <QSocketNotifier>

#include <cstring>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace velmario::lookup::net {

void startUp()
{
}

int lastError()
{
    return errno;
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

Handle openStream(int family, int& error)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    error = fd < 0 ? errno : 0;
    return fd < 0 ? kNoSocket : Handle(fd);
}

int startConnect(Handle socket, const sockaddr* address, socklen_t length)
{
    if (::connect(int(socket), address, length) == 0)
        return 0;
    return errno;
}

qint64 receive(Handle socket, char* data, qint64 size, int& error)
{
    const ssize_t n = ::recv(int(socket), data, size_t(size), MSG_DONTWAIT);
    error = n < 0 ? (errno == EWOULDBLOCK || errno == EINTR ? EAGAIN : errno) : 0;
    return n;
}

qint64 sendSome(Handle socket, const char* data, qint64 size, int& error)
{
    const ssize_t n = ::send(int(socket), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    error = n < 0 ? (errno == EWOULDBLOCK || errno == EINTR ? EAGAIN : errno) : 0;
    return n;
}

void setNoDelay(Handle socket)
{
    const int one = 1;
    ::setsockopt(int(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void closeSocket(Handle socket)
{
    ::close(int(socket));
}

NameError nameErrorKind(int gaiError)
{
    switch (gaiError) {
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return NameError::NotFound;
    case EAI_AGAIN:
        return NameError::NoAnswer;
    default:
        return NameError::Failed;
    }
}

QString nameErrorText(int gaiError)
{
    return QString::fromLocal8Bit(::gai_strerror(gaiError));
}

// --- Watch -------------------------------------------------------------------

struct Watch::Private {
    Handle socket;
    QSocketNotifier read;
    QSocketNotifier write;
    bool connecting = true; // until the first writable turn says how connect() ended
    bool writeWanted = false;

    explicit Private(Handle s)
        : socket(s)
        , read(s, QSocketNotifier::Read)
        , write(s, QSocketNotifier::Write)
    {
        read.setEnabled(false);
    }
};

Watch::Watch(Handle socket, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Private>(socket))
{
    connect(&d->read, &QSocketNotifier::activated, this, &Watch::readable);
    connect(&d->write, &QSocketNotifier::activated, this, [this] {
        if (!d->connecting) {
            emit writable();
            return;
        }
        // A descriptor turns writable once connect() has completed, either way.
        d->connecting = false;
        d->write.setEnabled(d->writeWanted);
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(int(d->socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        emit connectDone(error);
    });
}

Watch::~Watch()
{
    stop();
}

void Watch::stop()
{
    d->read.setEnabled(false);
    d->write.setEnabled(false);
    d->connecting = false;
    d->writeWanted = false;
}

void Watch::setReadEnabled(bool enabled)
{
    d->read.setEnabled(enabled);
}

void Watch::setWriteEnabled(bool enabled)
{
    d->writeWanted = enabled;
    if (!d->connecting)
        d->write.setEnabled(enabled);
}

} // namespace velmario::lookup::net
