#include "lookupconnection.h"

#include <cerrno>
#include <utility>

namespace velmario::lookup {

namespace {

using Cause = LookupConnection::Cause;

Cause causeOf(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return Cause::Refused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
        return Cause::Unreachable;
    case ETIMEDOUT:
        return Cause::TimedOut;
    case ECONNRESET:
    case EPIPE:
        return Cause::ClosedByServer;
    default:
        return Cause::NetworkError;
    }
}

// When every address failed, the one cause to tell: the one that got
// furthest towards a server (a refusal means a machine answered).
int rank(Cause cause)
{
    switch (cause) {
    case Cause::Refused: return 5;
    case Cause::ClosedByServer: return 4;
    case Cause::TimedOut: return 3;
    case Cause::Unreachable: return 2;
    default: return 1;
    }
}

QString errorText(int error)
{
    return net::errorText(error);
}

void dropWatch(net::Watch*& watch)
{
    if (!watch)
        return;
    // It may be the sender of the signal being handled now.
    watch->disconnect();
    watch->stop();
    watch->deleteLater();
    watch = nullptr;
}

} // namespace

LookupConnection::LookupConnection(QObject* parent)
    : QObject(parent)
{
    net::startUp();
    m_resolveDeadline.setSingleShot(true);
    m_wake.setSingleShot(true);
    QObject::connect(&m_resolveDeadline, &QTimer::timeout, this, &LookupConnection::onResolveDeadline);
    QObject::connect(&m_wake, &QTimer::timeout, this, &LookupConnection::onWake);
    QObject::connect(&m_resolver, &Resolver::finished, this, &LookupConnection::onResolved);
}

LookupConnection::~LookupConnection()
{
    dropAttempts();
    dropSocket();
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

QStringList LookupConnection::triedAddresses() const
{
    QStringList tried;
    for (qsizetype i = 0; i < m_schedule.startedCount() && i < m_attempts.size(); ++i)
        tried.append(m_attempts[i].endpoint.text());
    return tried;
}

// --- Connecting --------------------------------------------------------------

void LookupConnection::Connect()
{
    if (m_state != Closed)
        Close();
    m_attempts.clear();
    m_schedule = {};
    m_hostIsName = false;
    if (const auto literal = Endpoint::fromNumeric(m_remoteHost, m_remotePort)) {
        startAttempts({*literal});
        return;
    }
    m_hostIsName = true;
    if (m_remoteHost.isEmpty()) {
        setState(Error, Cause::HostNotFound);
        return;
    }
    setState(ResolvingHost, Cause::None);
    m_resolveDeadline.start(m_timing.resolve);
    m_resolver.lookUp(m_remoteHost, m_remotePort);
}

void LookupConnection::onResolveDeadline()
{
    // The lookup's thread cannot be stopped; its answer is dropped.
    m_resolver.abandon();
    setState(Error, Cause::HostLookupTimedOut);
}

void LookupConnection::onResolved(const Resolver::Result& result)
{
    m_resolveDeadline.stop();
    switch (result.error) {
    case Resolver::Error::None:
        startAttempts(connectionOrder(result.endpoints));
        return;
    case Resolver::Error::NotFound:
        setState(Error, Cause::HostNotFound, result.text);
        return;
    case Resolver::Error::NoAnswer:
        setState(Error, Cause::NameServerNoAnswer, result.text);
        return;
    case Resolver::Error::Failed:
        break;
    }
    setState(Error, Cause::NetworkError, result.text);
}

void LookupConnection::startAttempts(const QList<Endpoint>& endpoints)
{
    m_attempts.clear();
    for (const Endpoint& endpoint : endpoints)
        m_attempts.append({endpoint});
    m_schedule = AttemptSchedule(int(m_attempts.size()), m_timing.attemptDelay, m_timing.connect);
    setState(Connecting, Cause::None);
    carryOut(m_schedule.begin(AttemptSchedule::Clock::now()));
}

void LookupConnection::carryOut(AttemptSchedule::Due due)
{
    // An attempt that fails at once hands over to the next at once: keep
    // going until something is left to wait for.
    while (m_state == Connecting) {
        for (const int attempt : std::as_const(due.timedOut))
            endAttempt(attempt, ETIMEDOUT);
        AttemptSchedule::Due next;
        for (const int attempt : std::as_const(due.start)) {
            const int error = open(attempt);
            if (m_state != Connecting)
                return; // connected at once
            if (error != 0) {
                endAttempt(attempt, error);
                next = m_schedule.failed(attempt, AttemptSchedule::Clock::now());
            }
        }
        if (next.start.isEmpty() && next.timedOut.isEmpty())
            break;
        due = next;
    }
    if (m_state != Connecting)
        return;
    if (m_schedule.exhausted()) {
        everyAttemptFailed();
        return;
    }
    scheduleWake();
}

int LookupConnection::open(int attempt)
{
    Attempt& a = m_attempts[attempt];
    int error = 0;
    const net::Handle socket = net::openStream(a.endpoint.family(), error);
    if (socket == net::kNoSocket)
        return error;
    a.socket = socket;
    // Watched before connecting, so that no outcome can come unseen.
    a.watch = new net::Watch(socket, this);
    error = net::startConnect(socket, reinterpret_cast<const sockaddr*>(&a.endpoint.address), a.endpoint.length);
    if (error == 0) {
        adopt(attempt);
        return 0;
    }
    if (error != EINPROGRESS) {
        dropWatch(a.watch);
        net::closeSocket(std::exchange(a.socket, net::kNoSocket));
        return error;
    }
    QObject::connect(a.watch, &net::Watch::connectDone, this,
                     [this, attempt](int result) { onAttemptDone(attempt, result); });
    return 0;
}

void LookupConnection::onAttemptDone(int attempt, int error)
{
    if (error == 0) {
        adopt(attempt);
        return;
    }
    endAttempt(attempt, error);
    carryOut(m_schedule.failed(attempt, AttemptSchedule::Clock::now()));
}

void LookupConnection::endAttempt(int attempt, int error)
{
    Attempt& a = m_attempts[attempt];
    a.error = error;
    dropWatch(a.watch);
    if (a.socket != net::kNoSocket)
        net::closeSocket(std::exchange(a.socket, net::kNoSocket));
}

void LookupConnection::scheduleWake()
{
    const auto due = m_schedule.nextDue();
    if (!due) {
        m_wake.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - AttemptSchedule::Clock::now());
    m_wake.start(std::max(wait, std::chrono::milliseconds(0)));
}

void LookupConnection::onWake()
{
    if (m_state == Connecting)
        carryOut(m_schedule.advance(AttemptSchedule::Clock::now()));
}

void LookupConnection::everyAttemptFailed()
{
    m_wake.stop();
    int error = 0;
    for (const Attempt& a : std::as_const(m_attempts)) {
        if (error == 0 || rank(causeOf(a.error)) > rank(causeOf(error)))
            error = a.error;
    }
    const Cause cause = causeOf(error);
    // The server took a connection and dropped it at once.
    setState(cause == Cause::ClosedByServer ? Closing : Error, cause, errorText(error));
}

void LookupConnection::adopt(int attempt)
{
    for (const int other : m_schedule.connected(attempt))
        endAttempt(other, 0);
    m_wake.stop();
    Attempt& a = m_attempts[attempt];
    m_socket = std::exchange(a.socket, net::kNoSocket);
    m_watch = std::exchange(a.watch, nullptr);
    m_watch->disconnect(this); // the connect is over, whichever way it was told
    net::setNoDelay(m_socket);
    m_connectedAddress = a.endpoint.text();
    QObject::connect(m_watch, &net::Watch::readable, this, &LookupConnection::onReadable);
    QObject::connect(m_watch, &net::Watch::writable, this, &LookupConnection::onWritable);
    m_watch->setReadEnabled(true);
    setState(Connected, Cause::None);
}

// --- Connected ----------------------------------------------------------------

void LookupConnection::onReadable()
{
    if (m_chunk.size() != kReadChunk)
        m_chunk.resize(kReadChunk);
    int error = 0;
    const qint64 n = net::receive(m_socket, m_chunk.data(), m_chunk.size(), error);
    if (n > 0) {
        // Past the reply's limit the bytes are read and dropped, so that a
        // server that never stops neither fills memory nor stalls the window.
        if (m_reply.append(QByteArrayView(m_chunk.constData(), n)))
            emit DataArrival(m_reply.size());
        return;
    }
    if (n < 0 && error == EAGAIN)
        return;
    lost(n == 0 ? 0 : error);
}

void LookupConnection::onWritable()
{
    if (m_unsent.isEmpty()) {
        m_watch->setWriteEnabled(false);
        return;
    }
    int error = 0;
    const qint64 n = net::sendSome(m_socket, m_unsent.constData(), m_unsent.size(), error);
    if (n < 0) {
        if (error != EAGAIN)
            lost(error);
        return;
    }
    m_unsent.remove(0, n);
    if (m_unsent.isEmpty())
        m_watch->setWriteEnabled(false);
}

void LookupConnection::lost(int error)
{
    // What has arrived stays to be taken.
    dropSocket();
    if (error == 0 || causeOf(error) == Cause::ClosedByServer)
        setState(Closing, Cause::ClosedByServer, error ? errorText(error) : QString());
    else
        setState(Error, Cause::NetworkError, errorText(error));
}

void LookupConnection::dropAttempts()
{
    m_resolver.abandon();
    m_resolveDeadline.stop();
    m_wake.stop();
    for (qsizetype i = 0; i < m_attempts.size(); ++i) {
        if (m_attempts[i].socket != net::kNoSocket)
            endAttempt(int(i), 0);
    }
}

void LookupConnection::dropSocket()
{
    dropWatch(m_watch);
    m_unsent.clear();
    if (m_socket != net::kNoSocket)
        net::closeSocket(std::exchange(m_socket, net::kNoSocket));
    m_connectedAddress.clear();
}

void LookupConnection::Close()
{
    dropAttempts();
    dropSocket();
    m_reply.clear();
    setState(Closed, Cause::None);
}

LookupConnection::SendResult LookupConnection::SendData(const QString& text)
{
    const auto bytes = buildRequest(text);
    if (!bytes)
        return SendResult::Unencodable;
    if (isBlankRequest(*bytes))
        return SendResult::Empty;
    if (m_state == ResolvingHost || m_state == Connecting)
        return SendResult::StillConnecting;
    if (m_state != Connected)
        return SendResult::NotConnected;
    if (!m_unsent.isEmpty()) {
        // The server is not reading: queue behind what waits, within bounds.
        if (m_unsent.size() + bytes->size() > kMaxUnsent)
            return SendResult::Failed;
        m_unsent.append(*bytes);
        m_reply.requestSent();
        return SendResult::Sent;
    }
    int error = 0;
    const qint64 n = net::sendSome(m_socket, bytes->constData(), bytes->size(), error);
    if (n == bytes->size()) {
        m_reply.requestSent();
        return SendResult::Sent;
    }
    if (n < 0 && error != EAGAIN)
        return SendResult::Failed;
    if (bytes->size() > kMaxUnsent)
        return SendResult::Failed;
    m_unsent = bytes->sliced(std::max<qint64>(n, 0));
    m_reply.requestSent();
    m_watch->setWriteEnabled(true);
    return SendResult::Sent;
}

quint16 LookupConnection::LocalPort() const
{
    return m_socket == net::kNoSocket ? 0 : net::localPort(m_socket);
}

Reply LookupConnection::GetData() const
{
    return m_reply.reply();
}

} // namespace velmario::lookup
