#include "lookupconnection.h"

#include <QHostInfo>
#include <QSocketNotifier>
#include <QTcpSocket>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmario::lookup {

namespace {

// The address and port as a socket address; 0 for a protocol without one.
socklen_t socketAddress(const QHostAddress& address, quint16 port, sockaddr_storage& out)
{
    std::memset(&out, 0, sizeof out);
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* in = reinterpret_cast<sockaddr_in*>(&out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        return sizeof *in;
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        const QString scope = address.scopeId();
        bool numeric = false;
        in6->sin6_scope_id = scope.toUInt(&numeric);
        if (!numeric && !scope.isEmpty())
            in6->sin6_scope_id = ::if_nametoindex(scope.toLocal8Bit().constData());
        return sizeof *in6;
    }
    return 0;
}

// Errors after which no connection was made to that address, so that trying
// the host's next address opens no second connection.
bool nothingAnswered(int error)
{
    return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH
        || error == EADDRNOTAVAIL || error == EAFNOSUPPORT;
}

} // namespace

LookupConnection::LookupConnection(QObject* parent)
    : QObject(parent)
{
    m_connectTimeout.setSingleShot(true);
    m_connectTimeout.setInterval(kDefaultConnectTimeoutMs);
    QObject::connect(&m_connectTimeout, &QTimer::timeout, this, &LookupConnection::onConnectTimeout);
}

LookupConnection::~LookupConnection()
{
    dropSocket();
}

void LookupConnection::abandonAttempt()
{
    m_connectTimeout.stop();
    if (m_lookupId != -1) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    m_addresses.clear();
    delete m_connectReady;
    m_connectReady = nullptr;
    if (m_pendingFd != -1) {
        ::close(m_pendingFd);
        m_pendingFd = -1;
    }
}

void LookupConnection::dropSocket()
{
    abandonAttempt();
    if (!m_socket)
        return;
    // A fresh socket per connection: signals of the old one, queued or not,
    // can never reach the new connection's handlers.
    m_socket->disconnect(this);
    m_socket->abort();
    m_socket->deleteLater();
    m_socket = nullptr;
}

void LookupConnection::setState(int state, Cause cause, const QString& text)
{
    if (state == m_state && cause == m_cause)
        return;
    m_state = state;
    m_cause = cause;
    m_causeText = text;
    emit stateChanged(state, cause);
}

void LookupConnection::Connect()
{
    if (m_state != Closed)
        Close();

    m_connectTimeout.start();
    QHostAddress literal;
    if (literal.setAddress(m_remoteHost)) {
        m_addresses = {literal};
        connectNext();
        return;
    }
    setState(ResolvingHost, Cause::None);
    m_lookupId = QHostInfo::lookupHost(m_remoteHost, this, SLOT(onHostFound(QHostInfo)));
}

void LookupConnection::onHostFound(const QHostInfo& info)
{
    m_lookupId = -1;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        m_connectTimeout.stop();
        setState(Error, Cause::HostNotFound, info.errorString());
        return;
    }
    m_addresses = info.addresses();
    connectNext();
}

void LookupConnection::connectNext()
{
    int error = EAFNOSUPPORT;
    while (!m_addresses.isEmpty()) {
        sockaddr_storage address{};
        const socklen_t length = socketAddress(m_addresses.takeFirst(), m_remotePort, address);
        if (length == 0)
            continue;
        const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            break;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
            adopt(fd);
            return;
        }
        error = errno;
        if (error == EINPROGRESS) {
            m_pendingFd = fd;
            m_connectReady = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
            QObject::connect(m_connectReady, &QSocketNotifier::activated, this, &LookupConnection::onConnectReady);
            setState(Connecting, Cause::None);
            return;
        }
        ::close(fd);
        if (!nothingAnswered(error))
            break;
    }
    connectFailed(error);
}

void LookupConnection::onConnectReady()
{
    // The descriptor turns writable once connect() has completed, either way.
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_pendingFd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    delete m_connectReady;
    m_connectReady = nullptr;
    const int fd = m_pendingFd;
    m_pendingFd = -1;
    if (error == 0) {
        adopt(fd);
        return;
    }
    ::close(fd);
    if (nothingAnswered(error) && !m_addresses.isEmpty()) {
        connectNext();
        return;
    }
    connectFailed(error);
}

void LookupConnection::adopt(int fd)
{
    m_connectTimeout.stop();
    m_socket = new QTcpSocket(this);
    m_socket->setReadBufferSize(kReadChunk);
    if (!m_socket->setSocketDescriptor(fd, QAbstractSocket::ConnectedState)) {
        const QString text = m_socket->errorString();
        ::close(fd);
        delete m_socket;
        m_socket = nullptr;
        setState(Error, Cause::NetworkError, text);
        return;
    }
    QObject::connect(m_socket, &QAbstractSocket::errorOccurred, this, &LookupConnection::onSocketError);
    QObject::connect(m_socket, &QIODevice::readyRead, this, [this] {
        emit DataArrival(m_socket->bytesAvailable());
    });
    setState(Connected, Cause::None);
}

void LookupConnection::connectFailed(int error)
{
    abandonAttempt();
    const QString text = QString::fromLocal8Bit(std::strerror(error));
    switch (error) {
    case ECONNREFUSED:
        setState(Error, Cause::Refused, text);
        break;
    case ENETUNREACH:
    case EHOSTUNREACH:
        setState(Error, Cause::Unreachable, text);
        break;
    case ETIMEDOUT:
        setState(Error, Cause::TimedOut, text);
        break;
    case ECONNRESET:
    case EPIPE:
        // The server took the connection and dropped it at once.
        setState(Closing, Cause::ClosedByServer, text);
        break;
    default:
        setState(Error, Cause::NetworkError, text);
        break;
    }
}

void LookupConnection::Close()
{
    dropSocket();
    setState(Closed, Cause::None);
}

LookupConnection::SendResult LookupConnection::SendData(const QString& text)
{
    const auto bytes = buildRequest(text);
    if (!bytes)
        return SendResult::Unencodable;
    if (bytes->isEmpty())
        return SendResult::Empty;
    if (m_state == ResolvingHost || m_state == Connecting)
        return SendResult::StillConnecting;
    if (m_state != Connected || !m_socket)
        return SendResult::NotConnected;
    if (m_socket->write(*bytes) != bytes->size())
        return SendResult::Failed;
    // Hand the request to the system now rather than on the next turn of
    // the event loop.
    m_socket->flush();
    return SendResult::Sent;
}

quint16 LookupConnection::LocalPort() const
{
    return m_socket ? m_socket->localPort() : 0;
}

qint64 LookupConnection::bytesAvailable() const
{
    return m_socket ? m_socket->bytesAvailable() : 0;
}

Reply LookupConnection::GetData()
{
    if (!m_socket)
        return parseReply({});
    // Everything buffered belongs to this arrival; what is past the reply
    // limit is discarded with it.
    return parseReply(m_socket->readAll());
}

void LookupConnection::onSocketError(QAbstractSocket::SocketError error)
{
    const QString text = m_socket ? m_socket->errorString() : QString();
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
        setState(Closing, Cause::ClosedByServer, text);
        break;
    default:
        setState(Error, Cause::NetworkError, text);
        break;
    }
}

void LookupConnection::onConnectTimeout()
{
    if (m_state == Connected)
        return;
    // The name lookup's thread cannot be stopped; its answer is ignored.
    const Cause cause = m_state == ResolvingHost ? Cause::HostLookupTimedOut : Cause::TimedOut;
    abandonAttempt();
    setState(Error, cause);
}

} // namespace velmario::lookup
