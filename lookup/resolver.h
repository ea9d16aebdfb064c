#pragma once
// A host name's addresses from the system's resolver (getaddrinfo), looked
// up on a thread of its own so that the caller's thread never waits.
//
// getaddrinfo cannot be stopped, and a name server that does not answer
// holds it for as long as resolv.conf allows: an abandoned lookup runs on
// until then, detached, and its answer is dropped. Nothing ever waits for
// it, the program's end included. Qt's QHostInfo is not used because it
// reports a name server that gave no answer (EAI_AGAIN) as an unknown
// error, which cannot be told apart from the rest.

#include "endpoint.h"

#include <QObject>

#include <memory>

namespace velmario::lookup {

class Resolver : public QObject
{
    Q_OBJECT

public:
    enum class Error {
        None,
        NotFound,  // the name does not exist, or has no address
        NoAnswer,  // the name server did not answer in time (EAI_AGAIN)
        Failed,    // anything else; see text
    };

    struct Result {
        QList<Endpoint> endpoints; // in the resolver's order
        Error error = Error::None;
        QString text;              // the resolver's own words for the error
    };

    explicit Resolver(QObject* parent = nullptr);
    ~Resolver() override;

    // Starts looking the host up; a lookup already under way is abandoned.
    // finished() follows on this object's thread, never from inside this call.
    void lookUp(const QString& host, quint16 port);
    // Drops the lookup under way, if any: its finished() never comes.
    void abandon();
    bool isBusy() const { return m_busy; }

    // The system resolver's answer for a host, as the lookup thread gets it.
    static Result resolve(const QByteArray& host, quint16 port);

signals:
    void finished(const velmario::lookup::Resolver::Result& result);

private:
    // The lookup thread's answer, queued to this object's thread; answers
    // to an abandoned lookup (another ticket) are dropped.
    Q_INVOKABLE void deliver(quint64 ticket, const velmario::lookup::Resolver::Result& result);

    struct Mailbox;
    std::shared_ptr<Mailbox> m_mailbox;
    quint64 m_ticket = 0;
    bool m_busy = false;
};

} // namespace velmario::lookup

Q_DECLARE_METATYPE(velmario::lookup::Resolver::Result)
