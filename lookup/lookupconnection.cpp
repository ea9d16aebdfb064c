#include "lookupconnection.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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
    return QString::fromLocal8Bit(std::strerror(error));
}

void dropNotifier(QSocketNotifier*& notifier)
{
    if (!notifier)
        return;
    // It may be the sender of the signal being handled now.
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}

} // namespace

LookupConnection::LookupConnection(QObject* parent)
    : QObject(parent)
{
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
    const int fd = ::socket(a.endpoint.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a.endpoint.address), a.endpoint.length) == 0) {
        a.fd = fd;
        adopt(attempt);
        return 0;
    }
    const int error = errno;
    if (error != EINPROGRESS) {
        ::close(fd);
        return error;
    }
    a.fd = fd;
    a.ready = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
    QObject::connect(a.ready, &QSocketNotifier::activated, this, [this, attempt] { onAttemptReady(attempt); });
    return 0;
}

void LookupConnection::onAttemptReady(int attempt)
{
    // The descriptor turns writable once connect() has completed, either way.
    const int fd = m_attempts[attempt].fd;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
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
    dropNotifier(a.ready);
    if (a.fd != -1) {
        ::close(a.fd);
        a.fd = -1;
    }
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
    dropNotifier(a.ready);
    m_fd = std::exchange(a.fd, -1);
    // Each request is one small write, sent as it is made.
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_connectedAddress = a.endpoint.text();
    m_readable = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Read, this);
    QObject::connect(m_readable, &QSocketNotifier::activated, this, &LookupConnection::onReadable);
    setState(Connected, Cause::None);
}

// --- Connected ----------------------------------------------------------------

void LookupConnection::onReadable()
{
    if (m_chunk.size() != kReadChunk)
        m_chunk.resize(kReadChunk);
    const ssize_t n = ::recv(m_fd, m_chunk.data(), size_t(m_chunk.size()), MSG_DONTWAIT);
    const int error = errno;
    if (n > 0) {
        // Past the reply's limit the bytes are read and dropped, so that a
        // server that never stops neither fills memory nor stalls the window.
        if (m_reply.append(QByteArrayView(m_chunk.constData(), n)))
            emit DataArrival(m_reply.size());
        return;
    }
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR))
        return;
    lost(n == 0 ? 0 : error);
}

void LookupConnection::onWritable()
{
    const ssize_t n = ::send(m_fd, m_unsent.constData(), size_t(m_unsent.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        const int error = errno;
        if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR)
            lost(error);
        return;
    }
    m_unsent.remove(0, n);
    if (m_unsent.isEmpty())
        m_writable->setEnabled(false);
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
        if (m_attempts[i].fd != -1)
            endAttempt(int(i), 0);
    }
}

void LookupConnection::dropSocket()
{
    dropNotifier(m_readable);
    dropNotifier(m_writable);
    m_unsent.clear();
    if (m_fd != -1) {
        ::close(m_fd);
        m_fd = -1;
    }
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
    const ssize_t n = ::send(m_fd, bytes->constData(), size_t(bytes->size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == bytes->size()) {
        m_reply.requestSent();
        return SendResult::Sent;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return SendResult::Failed;
    if (bytes->size() > kMaxUnsent)
        return SendResult::Failed;
    m_unsent = bytes->sliced(std::max<ssize_t>(n, 0));
    m_reply.requestSent();
    if (!m_writable) {
        m_writable = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Write, this);
        QObject::connect(m_writable, &QSocketNotifier::activated, this, &LookupConnection::onWritable);
    }
    m_writable->setEnabled(true);
    return SendResult::Sent;
}

quint16 LookupConnection::LocalPort() const
{
    if (m_fd == -1)
        return 0;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    if (local.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    return 0;
}

Reply LookupConnection::GetData() const
{
    return m_reply.reply();
}

} // namespace velmario::lookup
