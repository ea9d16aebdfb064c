#pragma once
// Runs the real velmario-server on a free loopback port for a test.

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

#include <optional>
#include <string>
#include <cstdlib>
#include <unistd.h>
#include <sys/un.h>
#include <sys/socket.h>
#include <QTest>

namespace velmario::testing {

// The thread sanitizer slows a server several times over: bounds on how
// long something may take stretch by this much.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kSlowdown = 3;
#else
inline constexpr int kSlowdown = 1;
#endif

inline QString serverProgram()
{
    return qEnvironmentVariable("VELMARIO_SERVER");
}

// Latin-1 text as the Windows-1252 bytes of the same characters.
inline QByteArray cp1252(const QString& text)
{
    QByteArray bytes;
    for (QChar c : text) {
        Q_ASSERT(c.unicode() < 0x100);
        bytes.append(char(c.unicode()));
    }
    return bytes;
}

// The sample directory's first entries, as the server sends them.
inline const QByteArray kJose = cp1252(QStringLiteral("José Peña Ibáñez*961-976-1527"));
inline const QByteArray kMaria = cp1252(QStringLiteral("María Muñoz López*961-919-3851"));
// The fixed replies.
inline const QByteArray kNotRegistered = cp1252(QStringLiteral("Número de control no registrado*"));
inline const QByteArray kInvalid = cp1252(QStringLiteral("Solicitud no válida*"));
inline const QByteArray kBusy = cp1252(QStringLiteral("Servidor ocupado: intente más tarde*"));
inline const QByteArray kTooMany = cp1252(QStringLiteral("Demasiadas consultas: intente más tarde*"));
inline const QByteArray kServerError = cp1252(QStringLiteral("Error del servidor: intente más tarde*"));

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs velmario-server to its end (import, export, a bad command line).
inline Run run(const QStringList& arguments)
{
    QProcess process;
    process.start(serverProgram(), arguments);
    process.waitForFinished(30000);
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

inline void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

class ServerProcess
{
public:
    ~ServerProcess() { stop(); }

    // The suite makes many lookups from one address: unless told to keep
    // them, the per-address limits apply only where a test asks for them.
    enum class Limits { PerAddressOff, Shipped };
    void setLimits(Limits limits) { m_limits = limits; }
    // Every IPv4 and IPv6 address, as the server listens by default, rather
    // than 127.0.0.1.
    void setListenEverywhere() { m_everywhere = true; }

    // Starts the server with `arguments` (plus --listen and --port unless
    // given) and waits until it says it serves.
    bool start(QStringList arguments = {}, quint16 port = 0)
    {
        if (port == 0) {
            QTcpServer probe;
            probe.listen(m_everywhere ? QHostAddress::Any : QHostAddress::LocalHost);
            port = probe.serverPort();
        }
        m_port = port;
        if (!arguments.contains(QStringLiteral("--listen")) && !m_everywhere)
            arguments << QStringLiteral("--listen") << QStringLiteral("127.0.0.1");
        for (const char* limit : {"--rate-limit", "--max-connections-per-address"}) {
            if (m_limits == Limits::PerAddressOff && !arguments.contains(QLatin1StringView(limit)))
                arguments << QLatin1StringView(limit) << QStringLiteral("0");
        }
        arguments << QStringLiteral("--port") << QString::number(port);
        m_process.setProgram(serverProgram());
        m_process.setArguments(arguments);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        return waitForLog("started:");
    }

    bool waitForLog(const char* text, int timeoutMs = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_log.contains(text)) {
            if (m_process.state() == QProcess::NotRunning || timer.elapsed() > timeoutMs)
                return false;
            m_process.waitForReadyRead(100);
            m_log += m_process.readAllStandardError();
        }
        return true;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(1000);
        m_log += m_process.readAllStandardError();
    }

    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    QProcess& process() { return m_process; }
    QByteArray log() { m_log += m_process.readAllStandardError(); return m_log; }

private:
    QProcess m_process;
    QByteArray m_log;
    quint16 m_port = 0;
    Limits m_limits = Limits::PerAddressOff;
    bool m_everywhere = false;
};

// A blocking client for the server process (it runs in another process, so
// blocking waits are safe here).
// A datagram socket standing in for systemd's: NOTIFY_SOCKET names it from
// when it is bound until it is closed.
class NotifySocket
{
public:
    explicit NotifySocket(const QString& path) : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        const std::string name = path.toStdString();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name.copy(address.sun_path, sizeof address.sun_path - 1);
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
    }
    ~NotifySocket()
    {
        close();
        ::unsetenv("NOTIFY_SOCKET");
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool bound() const { return m_bound; }
    // The next message sent, or "(nothing)".
    std::string next()
    {
        char buffer[512];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        return n < 0 ? std::string("(nothing)") : std::string(buffer, std::size_t(n));
    }
    // The last of the messages sent so far, or "(nothing)".
    std::string last()
    {
        std::string last = "(nothing)";
        for (std::string message; (message = next()) != "(nothing)";)
            last = message;
        return last;
    }
    // Nobody listens from now on; NOTIFY_SOCKET still names the socket.
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
    bool m_bound = false;
};

class Client
{
public:
    // From `from` (an address of 127.0.0.0/8) when given.
    bool connect(quint16 port, const QString& from = {}, const QHostAddress& to = QHostAddress(QHostAddress::LocalHost))
    {
        if (!from.isEmpty() && !m_socket.bind(QHostAddress(from)))
            return false;
        m_socket.connectToHost(to, port);
        return m_socket.waitForConnected(5000);
    }
    QByteArray ask(const QByteArray& request, int timeoutMs = 5000)
    {
        m_socket.write(request);
        m_socket.waitForBytesWritten(timeoutMs);
        if (!m_socket.waitForReadyRead(timeoutMs))
            return {};
        return m_socket.readAll();
    }
    // True when the server closed the connection within the time.
    bool closedByServer(int timeoutMs = 5000)
    {
        if (m_socket.state() != QAbstractSocket::ConnectedState)
            return true;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            m_socket.waitForReadyRead(50);
            m_socket.readAll();
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                return true;
        }
        return false;
    }
    // Everything the server sends until it closes the connection; nothing
    // if it is still open after the time.
    std::optional<QByteArray> untilClosed(int timeoutMs = 5000)
    {
        QByteArray all;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            m_socket.waitForReadyRead(50);
            all += m_socket.readAll();
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                return all + m_socket.readAll();
        }
        return std::nullopt;
    }
    QTcpSocket& socket() { return m_socket; }

private:
    QTcpSocket m_socket;
};

// A TCP port of loopback that nothing listens on (as far as one can tell).
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// The body of http://127.0.0.1:port/metrics.
inline QByteArray scrape(quint16 port)
{
    Client client;
    if (!client.connect(port))
        return "(no connection)";
    client.socket().write("GET /metrics HTTP/1.0\r\n\r\n");
    const auto reply = client.untilClosed();
    if (!reply)
        return "(no end)";
    const qsizetype body = reply->indexOf("\r\n\r\n");
    return body < 0 ? *reply : reply->mid(body + 4);
}

// The value of one sample line ("name{labels} value") of a scrape, or -1.
inline double valueOf(const QByteArray& text, const QByteArray& sample)
{
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith(sample + ' '))
            return line.mid(sample.size() + 1).toDouble();
    }
    return -1;
}

} // namespace velmario::testing
