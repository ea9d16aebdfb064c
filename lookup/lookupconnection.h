#pragma once
// The search window's one TCP connection to the lookup server. Everything,
// the DataArrival signal included, runs on the thread that owns the object;
// only the name lookup runs elsewhere (resolver.h).
//
// Connecting follows RFC 8305 (Happy Eyeballs): the name is resolved once,
// under a deadline of its own; its addresses are tried IPv6 and IPv4 in
// turn, a further attempt starting whenever the one before has not connected
// within the attempt delay or has failed (attemptschedule.h); the first to
// connect is kept and the others are closed. Each address is tried at most
// once, and an attempt that fails is never repeated. The sockets are the
// system's own (platformsocket.h: POSIX or Winsock), so that no library
// opens a second connection behind the caller's back.

#include "attemptschedule.h"
#include "endpoint.h"
#include "platformsocket.h"
#include "protocol.h"
#include "resolver.h"
#include "timing.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

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
        HostLookupTimedOut, // the name server gave no answer within our deadline
        NameServerNoAnswer, // the resolver gave up on the name server (EAI_AGAIN)
        Refused,
        Unreachable,        // no route to the server's address
        TimedOut,           // the server's address gave no answer in time
        ClosedByServer,     // closed or reset by the server
        NetworkError,
    };
    Q_ENUM(Cause)

    enum class SendResult {
        Sent,
        Empty,        // empty or white space only: the server would not answer
        NotConnected, // nothing sent
        StillConnecting, // the connection is still being made; nothing sent
        Unencodable,  // a character has no Windows-1252 form; nothing sent
        Failed,       // the socket refused the bytes
    };
    Q_ENUM(SendResult)

    // Bytes read from the socket at most per arrival; the rest waits for
    // the next arrival.
    static constexpr qint64 kReadChunk = 64 * 1024;
    // Requests the server has not taken yet, at most.
    static constexpr qint64 kMaxUnsent = 64 * 1024;

    explicit LookupConnection(QObject* parent = nullptr);
    ~LookupConnection() override;
    LookupConnection(const LookupConnection&) = delete;
    LookupConnection& operator=(const LookupConnection&) = delete;

    int State() const { return m_state; }
    Cause cause() const { return m_cause; }
    QString causeText() const { return m_causeText; }

    QString RemoteHost() const { return m_remoteHost; }
    void setRemoteHost(const QString& host) { m_remoteHost = host; }
    quint16 RemotePort() const { return m_remotePort; }
    void setRemotePort(quint16 port) { m_remotePort = port; }
    // The port the system assigned this end of the connection; 0 when none.
    quint16 LocalPort() const;

    const Timing& timing() const { return m_timing; }
    void setTiming(const Timing& timing) { m_timing = timing; }

    // Whether the last Connect had a name to resolve rather than an address.
    bool hostIsName() const { return m_hostIsName; }
    // The addresses the last Connect tried, in the order it started them.
    QStringList triedAddresses() const;
    // The address connected to; empty when not connected.
    QString connectedAddress() const { return m_connectedAddress; }

    // Starts connecting to RemoteHost:RemotePort and returns at once. Any
    // earlier connection is dropped first.
    void Connect();
    // Drops the connection; State() is Closed when this returns.
    void Close();
    // Sends the text as Windows-1252 bytes, only while connected.
    SendResult SendData(const QString& text);
    // The reply as it stands (ReplyBuffer): every byte delivered since its
    // request was sent, up to kMaxReplyLength. It stays until the next reply
    // begins or Connect.
    Reply GetData() const;

    qint64 bytesAvailable() const { return m_reply.size(); }

signals:
    // The reply has grown; bytesTotal is how many bytes it holds. Bytes past
    // kMaxReplyLength are dropped without a signal once the reply says it
    // was cut.
    void DataArrival(qint64 bytesTotal);
    // The state has changed, with the reason where there is one.
    void stateChanged(int state, velmario::lookup::LookupConnection::Cause cause);

private:
    struct Attempt {
        Endpoint endpoint;
        net::Handle socket = net::kNoSocket;
        net::Watch* watch = nullptr;
        int error = 0; // why it failed; ETIMEDOUT when given up
    };

    void setState(int state, Cause cause, const QString& text = {});
    void onResolved(const Resolver::Result& result);
    void onResolveDeadline();
    void startAttempts(const QList<Endpoint>& endpoints);
    void carryOut(AttemptSchedule::Due due);
    // Opens the attempt's socket and starts its connect(); the error when
    // that fails at once, 0 otherwise.
    int open(int attempt);
    void onAttemptDone(int attempt, int error);
    void endAttempt(int attempt, int error);
    void scheduleWake();
    void onWake();
    void adopt(int attempt);
    void everyAttemptFailed();
    void onReadable();
    void onWritable();
    void lost(int error);
    void dropAttempts();
    void dropSocket();

    Timing m_timing;
    Resolver m_resolver;
    QTimer m_resolveDeadline;
    QList<Attempt> m_attempts;
    AttemptSchedule m_schedule;
    QTimer m_wake;

    net::Handle m_socket = net::kNoSocket; // the connected socket
    net::Watch* m_watch = nullptr;
    ReplyBuffer m_reply;
    QByteArray m_chunk; // one read's room, kept between reads
    QByteArray m_unsent;

    QString m_remoteHost;
    quint16 m_remotePort = 0;
    bool m_hostIsName = false;
    QString m_connectedAddress;
    int m_state = Closed;
    Cause m_cause = Cause::None;
    QString m_causeText;
};

} // namespace velmario::lookup
