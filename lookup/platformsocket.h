#pragma once
// The socket calls the lookup connection makes, the same on POSIX systems
// and on Windows (Winsock 2): non-blocking TCP sockets whose errors come
// back as the POSIX error numbers (ECONNREFUSED, ETIMEDOUT, ...) on every
// system, so that the causes and status texts built on them are one, and a
// watch that says when a socket has connected, can be read, or can be
// written. platformsocket_posix.cpp and platformsocket_win.cpp hold the two
// sides; nothing else in the client knows which system it runs on.

#include <QObject>
#include <QString>
#include <QtGlobal>

#include <cerrno>
#include <memory>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace velmario::lookup::net {

// A socket: a descriptor on POSIX systems, a SOCKET on Windows.
using Handle = qintptr;
inline constexpr Handle kNoSocket = -1;
#ifdef Q_OS_WIN
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif

// Makes sockets usable (Winsock's start-up, once per process); every
// function here calls it, and it may be called any number of times.
void startUp();

// Why the last socket call failed, as a POSIX error number.
int lastError();
// The system's words for an error number from this file.
QString errorText(int error);

// A new non-blocking TCP socket of the family, not inherited by programs the
// client starts; kNoSocket with the error set when none can be had.
Handle openStream(int family, int& error);
// Starts connecting: 0 when connected at once, EINPROGRESS while it goes
// on (the watch's connectDone() tells how it ends), else the error.
int startConnect(Handle socket, const sockaddr* address, socklen_t length);
// Reads what has arrived: the count, 0 when the peer has closed, -1 with
// the error set (EAGAIN: nothing yet).
qint64 receive(Handle socket, char* data, qint64 size, int& error);
// Writes what the socket takes now: the count, or -1 with the error set
// (EAGAIN: nothing taken yet).
qint64 sendSome(Handle socket, const char* data, qint64 size, int& error);
// Each request is one small write, sent as it is made.
void setNoDelay(Handle socket);
// The port the system gave this end; 0 when none.
quint16 localPort(Handle socket);
void closeSocket(Handle socket);

// The name lookup's errors (getaddrinfo's), sorted as the connection tells
// them apart.
enum class NameError { NotFound, NoAnswer, Failed };
NameError nameErrorKind(int gaiError);
QString nameErrorText(int gaiError);

// Watches one socket on the thread that creates it. Created before
// startConnect(), so that no event of the connection can come before it is
// watched for. readable() comes when bytes or the peer's close have arrived
// (while reads are enabled), writable() when the socket takes more bytes
// (while writes are enabled).
class Watch : public QObject
{
    Q_OBJECT
public:
    Watch(Handle socket, QObject* parent);
    ~Watch() override;
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    void setReadEnabled(bool enabled);
    void setWriteEnabled(bool enabled);
    // Stops watching for good; called before the socket is closed.
    void stop();

signals:
    // The connect started by startConnect() has ended: 0 connected, else
    // the error.
    void connectDone(int error);
    void readable();
    void writable();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace velmario::lookup::net
