#include "resolver.h"

#include <QUrl>

#include <cstring>
#include <mutex>
#include <thread>

#include "platformsocket.h"

namespace velmario::lookup {

// Where a lookup thread leaves its answer: the resolver it belongs to, or
// nobody once that resolver has abandoned it.
struct Resolver::Mailbox {
    std::mutex mutex;
    Resolver* owner = nullptr;
    quint64 ticket = 0;
};

Resolver::Resolver(QObject* parent)
    : QObject(parent)
{
    static const int registered = qRegisterMetaType<Result>("velmario::lookup::Resolver::Result");
    Q_UNUSED(registered);
}

Resolver::~Resolver()
{
    abandon();
}

void Resolver::abandon()
{
    if (m_mailbox) {
        const std::lock_guard lock(m_mailbox->mutex);
        m_mailbox->owner = nullptr;
    }
    m_mailbox.reset();
    m_busy = false;
}

void Resolver::lookUp(const QString& host, quint16 port)
{
    abandon();
    m_busy = true;
    m_mailbox = std::make_shared<Mailbox>();
    m_mailbox->owner = this;
    m_mailbox->ticket = ++m_ticket;
    // International names go to the resolver in their ASCII form; an ASCII
    // name goes as it is, whatever IDNA thinks of it (underscores).
    bool ascii = true;
    for (const QChar c : host)
        ascii = ascii && c.unicode() < 0x80;
    const QByteArray ace = ascii ? host.toLatin1() : QUrl::toAce(host);
    std::thread([mailbox = m_mailbox, ace, port] {
        Result result = ace.isEmpty() ? Result{{}, Error::NotFound, {}} : resolve(ace, port);
        const std::lock_guard lock(mailbox->mutex);
        if (!mailbox->owner)
            return;
        // Queued to the owner's thread. Should the owner be destroyed
        // before it runs, Qt drops the call with the owner's other events.
        QMetaObject::invokeMethod(mailbox->owner, "deliver", Qt::QueuedConnection,
                                  Q_ARG(quint64, mailbox->ticket),
                                  Q_ARG(velmario::lookup::Resolver::Result, result));
    }).detach();
}

void Resolver::deliver(quint64 ticket, const Result& result)
{
    if (!m_busy || ticket != m_ticket)
        return; // abandoned after the answer was posted
    m_mailbox.reset();
    m_busy = false;
    emit finished(result);
}

Resolver::Result Resolver::resolve(const QByteArray& host, quint16 port)
{
    net::startUp();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int error = ::getaddrinfo(host.constData(), service.constData(), &hints, &found);
    Result result;
    if (error != 0) {
        switch (net::nameErrorKind(error)) {
        case net::NameError::NotFound:
            result.error = Error::NotFound;
            break;
        case net::NameError::NoAnswer:
            result.error = Error::NoAnswer;
            break;
        case net::NameError::Failed:
            result.error = Error::Failed;
            break;
        }
        result.text = net::nameErrorText(error);
        return result;
    }
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Endpoint endpoint;
        std::memcpy(&endpoint.address, a->ai_addr, a->ai_addrlen);
        endpoint.length = socklen_t(a->ai_addrlen);
        result.endpoints.append(endpoint);
    }
    ::freeaddrinfo(found);
    if (result.endpoints.isEmpty())
        result.error = Error::NotFound;
    return result;
}

} // namespace velmario::lookup
