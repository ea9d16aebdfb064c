#pragma once
// The search window's one TCP connection to the lookup server. Everything,
// the DataArrival signal included, runs on the thread that owns the object.
//
// The connect itself is made here on a POSIX socket, one connect() per
// address, and the connected socket is handed to QTcpSocket: QTcpSocket's
// own connect calls connect() again on the same descriptor after a reset,
// which opens a fresh connection behind the user's back.

#include "protocol.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class QHostInfo;
class QSocketNotifier;
class QTcpSocket;

namespace velmario::lookup {

class LookupConnection : public QObject
{
    Q_OBJECT

public:
    // Connection states as small integers, as the window tests them.
    enum StateValue : int {
        Closed = 0,
        ResolvingHost = 4,
        Connecting = 6,
        Connected = 7,
        Closing = 8, // the server closed its side
        Error = 9,
    };

    // Why the connection is in its present state, for telling the user.
    enum class Cause {
        None,
        HostNotFound,       // the name server says the name does not exist
        HostLookupTimedOut, // the name server gave no answer in time
        Refused,
        Unreachable,        // no route to the server's address
        TimedOut,           // the server's address gave no answer in time
        ClosedByServer,     // closed or reset by the server
        NetworkError,
    };
    Q_ENUM(Cause)

    enum class SendResult {
        Sent,
        Empty,        // empty text: an empty request carries no bytes
        NotConnected, // nothing sent
        StillConnecting, // the connection is still being made; nothing sent
        Unencodable,  // a character has no Windows-1252 form; nothing sent
        Failed,       // the socket refused the bytes
    };
    Q_ENUM(SendResult)

    static constexpr int kDefaultConnectTimeoutMs = 10000;
    // Bytes read from the socket at most per arrival; the rest waits for
    // the next arrival, so memory stays bounded whatever the server sends.
    static constexpr qint64 kReadChunk = 64 * 1024;

    explicit LookupConnection(QObject* parent = nullptr);
    ~LookupConnection() override;

    int State() const { return m_state; }
    Cause cause() const { return m_cause; }
    QString causeText() const { return m_causeText; }

    QString RemoteHost() const { return m_remoteHost; }
    void setRemoteHost(const QString& host) { m_remoteHost = host; }
    quint16 RemotePort() const { return m_remotePort; }
    // The port the system assigned this end of the connection; 0 when none.
    quint16 LocalPort() const;
    void setRemotePort(quint16 port) { m_remotePort = port; }

    int connectTimeoutMs() const { return m_connectTimeout.interval(); }
    void setConnectTimeoutMs(int ms) { m_connectTimeout.setInterval(ms); }

    // Starts connecting to RemoteHost:RemotePort and returns at once. Any
    // earlier connection is dropped first. Each address of the host is tried
    // once, the next one only when nothing answered at the last; an attempt
    // that fails is never repeated.
    void Connect();
    // Drops the connection; State() is Closed when this returns.
    void Close();
    // Sends the text as Windows-1252 bytes, only while connected.
    SendResult SendData(const QString& text);
    // Takes what has arrived (at most one chunk) and returns it as a reply.
    Reply GetData();

    qint64 bytesAvailable() const;

signals:
    // Bytes have arrived; bytesTotal is how many wait to be taken.
    void DataArrival(qint64 bytesTotal);
    // The state has changed, with the reason where there is one.
    void stateChanged(int state, velmario::lookup::LookupConnection::Cause cause);

private slots:
    // Connected by name: QHostInfo's member-pointer overload trips the
    // static analyser over its own slot object.
    void onHostFound(const QHostInfo& info);

private:
    void setState(int state, Cause cause, const QString& text = {});
    void connectNext();
    void onConnectReady();
    void adopt(int fd);
    void connectFailed(int error);
    void onSocketError(QAbstractSocket::SocketError error);
    void onConnectTimeout();
    void abandonAttempt();
    void dropSocket();

    QTcpSocket* m_socket = nullptr;
    // While connecting: the host lookup, the addresses not yet tried, and
    // the descriptor whose connect() is under way.
    int m_lookupId = -1;
    QList<QHostAddress> m_addresses;
    int m_pendingFd = -1;
    QSocketNotifier* m_connectReady = nullptr;
    QTimer m_connectTimeout;
    QString m_remoteHost;
    quint16 m_remotePort = 0;
    int m_state = Closed;
    Cause m_cause = Cause::None;
    QString m_causeText;
};

} // namespace velmario::lookup
