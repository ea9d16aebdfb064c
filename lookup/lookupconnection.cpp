#include "lookupconnection.h"

#include <QTcpSocket>

namespace velmario::lookup {

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

void LookupConnection::dropSocket()
{
    m_connectTimeout.stop();
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

    m_socket = new QTcpSocket(this);
    m_socket->setReadBufferSize(kReadChunk);
    QObject::connect(m_socket, &QAbstractSocket::stateChanged, this, &LookupConnection::onSocketStateChanged);
    QObject::connect(m_socket, &QAbstractSocket::errorOccurred, this, &LookupConnection::onSocketError);
    QObject::connect(m_socket, &QIODevice::readyRead, this, [this] {
        emit DataArrival(m_socket->bytesAvailable());
    });

    m_connectTimeout.start();
    m_socket->connectToHost(m_remoteHost, m_remotePort);
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

void LookupConnection::onSocketStateChanged(QAbstractSocket::SocketState state)
{
    switch (state) {
    case QAbstractSocket::HostLookupState:
        setState(ResolvingHost, Cause::None);
        break;
    case QAbstractSocket::ConnectingState:
        setState(Connecting, Cause::None);
        break;
    case QAbstractSocket::ConnectedState:
        m_connectTimeout.stop();
        setState(Connected, Cause::None);
        break;
    default:
        // Losing the connection is always followed by errorOccurred, which
        // knows why; the state is set there.
        break;
    }
}

void LookupConnection::onSocketError(QAbstractSocket::SocketError error)
{
    m_connectTimeout.stop();
    const QString text = m_socket ? m_socket->errorString() : QString();
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
        setState(Closing, Cause::ClosedByServer, text);
        break;
    case QAbstractSocket::HostNotFoundError:
        setState(Error, Cause::HostNotFound, text);
        break;
    case QAbstractSocket::ConnectionRefusedError:
        setState(Error, Cause::Refused, text);
        break;
    case QAbstractSocket::SocketTimeoutError:
        setState(Error, Cause::TimedOut, text);
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
    dropSocket();
    setState(Error, Cause::TimedOut);
}

} // namespace velmario::lookup
