// velmario-server serving from a real OpenLDAP: a throwaway slapd this test
// starts in a temporary folder with its own slapd.conf (syncprov, a size
// limit of 500 that paged searches may pass, TLS with a certificate
// authority made for the test), listening on an ldapi:// socket there and
// on two loopback ports; run as nobody when the test runs as root. The
// LDAP policies that need no directory are tested first.
#include "ldapconnection.h"
#include "ldapsource.h"
#include "serverprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUrl>

#include <ldap.h>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace Qt::StringLiterals;
using namespace velmario::server;
using namespace velmario::testing;

namespace {

constexpr int kManyEntries = 1200; // past the server's size limit of 500
const QString kBase = u"dc=example,dc=org"_s;
const QString kReader = u"cn=reader,dc=example,dc=org"_s;
constexpr char kReaderPassword[] = "lector-2026";

QByteArray person(const QString& uid, const QString& number, const QString& name, const QString& telephone,
                  const QString& ou = u"people"_s)
{
    QString ldif = u"dn: uid=%1,ou=%2,dc=example,dc=org\nobjectClass: inetOrgPerson\nuid: %1\nsn: %1\n"_s.arg(uid, ou);
    if (!number.isEmpty())
        ldif += u"employeeNumber: %1\n"_s.arg(number);
    if (!name.isEmpty())
        ldif += u"cn: %1\n"_s.arg(name);
    else
        ldif += u"cn:: IA==\n"_s; // a space: cn is required, and blank is a name the rules refuse
    if (!telephone.isEmpty())
        ldif += u"telephoneNumber: %1\n"_s.arg(telephone);
    return (ldif + u"\n"_s).toUtf8();
}

QByteArray people()
{
    return person(u"1"_s, u"1"_s, u"Íñigo Núñez Ábalos"_s, u"961-555-0101"_s) +
           person(u"2"_s, u"2"_s, u"Œdipe Français"_s, u"961-555-0102"_s) +
           person(u"3"_s, u"Ñ3"_s, u"Begoña"_s, u"3"_s);
}

class Slapd
{
public:
    ~Slapd() { stop(); }

    // Empty when slapd runs, otherwise why not.
    QString start()
    {
        if (!QFile::exists(u"/usr/sbin/slapd"_s) || !QFile::exists(u"/usr/bin/ldapmodify"_s))
            return u"slapd or ldap-utils is not installed"_s;
        if (!m_dir.isValid())
            return u"no temporary folder"_s;
        QDir().mkpath(path(u"data"_s));
        if (!makeCertificates())
            return u"openssl failed: "_s + QString::fromLocal8Bit(m_output);
        writeFile(path(u"slapd.conf"_s), configuration());
        writeFile(path(u"reader.password"_s), QByteArray(kReaderPassword) + '\n');
        writeFile(path(u"wrong.password"_s), "not-the-password\n");
        writeFile(path(u"reader.password.raw"_s), kReaderPassword); // as ldapsearch -y reads it
        QByteArray ldif = "dn: dc=example,dc=org\nobjectClass: dcObject\nobjectClass: organization\no: Example\n"
                          "dc: example\n\ndn: ou=people,dc=example,dc=org\nobjectClass: organizationalUnit\n"
                          "ou: people\n\ndn: ou=many,dc=example,dc=org\nobjectClass: organizationalUnit\nou: many\n\n"
                          "dn: cn=reader,dc=example,dc=org\nobjectClass: person\ncn: reader\nsn: reader\n"
                          "userPassword: " + QByteArray(kReaderPassword) + "\n\n"
                          "dn: cn=limited,dc=example,dc=org\nobjectClass: person\ncn: limited\nsn: limited\n"
                          "userPassword: " + QByteArray(kReaderPassword) + "\n\n";
        ldif += people();
        for (int i = 0; i < kManyEntries; ++i)
            ldif += person(u"m%1"_s.arg(i), u"M%1"_s.arg(i), u"Persona %1"_s.arg(i), u"961-%1"_s.arg(i), u"many"_s);
        writeFile(path(u"base.ldif"_s), ldif);
        // slapd would rather not run as root: as root, its files belong to nobody.
        if (::geteuid() == 0 && !ownedByNobody())
            return u"cannot hand the folder to nobody"_s;
        if (!tool(u"/usr/sbin/slapadd"_s, {u"-f"_s, path(u"slapd.conf"_s), u"-l"_s, path(u"base.ldif"_s)}))
            return u"slapadd failed: "_s + QString::fromLocal8Bit(m_output);
        m_plainPort = freePort();
        m_tlsPort = freePort();
        return run() ? QString() : u"slapd did not start: "_s + QString::fromLocal8Bit(m_output);
    }

    bool run()
    {
        const QStringList urls{u"ldap://127.0.0.1:%1/"_s.arg(m_plainPort), u"ldaps://127.0.0.1:%1/"_s.arg(m_tlsPort),
                               ldapi()};
        const QStringList arguments{u"-d"_s, u"0"_s, u"-f"_s, path(u"slapd.conf"_s), u"-h"_s, urls.join(u' ')};
        if (::geteuid() == 0)
            m_slapd.start(u"setpriv"_s, QStringList{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                                                    u"/usr/sbin/slapd"_s} + arguments);
        else
            m_slapd.start(u"/usr/sbin/slapd"_s, arguments);
        if (!m_slapd.waitForStarted(5000))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 10000) {
            if (search(u"ldap://127.0.0.1:%1"_s.arg(m_plainPort), kBase, {u"-s"_s, u"base"_s}) == 0)
                return true;
            if (m_slapd.state() == QProcess::NotRunning)
                break;
            QTest::qWait(100);
        }
        m_output += m_slapd.readAllStandardError();
        return false;
    }

    void stop()
    {
        if (m_slapd.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_slapd.processId()), SIGCONT);
        m_slapd.terminate();
        if (!m_slapd.waitForFinished(10000))
            m_slapd.kill();
        m_slapd.waitForFinished(2000);
    }

    // Changes as the directory's manager (SASL EXTERNAL over ldapi://).
    bool modify(const QByteArray& ldif, const QStringList& extra = {})
    {
        QProcess tool;
        tool.start(u"ldapmodify"_s, QStringList{u"-Q"_s, u"-Y"_s, u"EXTERNAL"_s, u"-H"_s, ldapi()} + extra);
        tool.waitForStarted(5000);
        tool.write(ldif);
        tool.closeWriteChannel();
        tool.waitForFinished(30000);
        m_output = tool.readAllStandardError();
        return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }
    bool add(const QByteArray& ldif) { return modify(ldif, {u"-a"_s}); }
    bool remove(const QStringList& dns)
    {
        QProcess tool;
        tool.start(u"ldapdelete"_s, QStringList{u"-Q"_s, u"-Y"_s, u"EXTERNAL"_s, u"-H"_s, ldapi(), u"-c"_s} + dns);
        tool.waitForFinished(30000);
        m_output = tool.readAllStandardError();
        return tool.exitStatus() == QProcess::NormalExit;
    }

    // ldapsearch as the reader; its exit code (4: size limit exceeded).
    int search(const QString& uri, const QString& base, const QStringList& extra, QByteArray* out = nullptr)
    {
        QProcess tool;
        tool.start(u"ldapsearch"_s, QStringList{u"-x"_s, u"-H"_s, uri, u"-D"_s, kReader, u"-y"_s,
                                                 path(u"reader.password.raw"_s), u"-b"_s, base} + extra);
        tool.waitForFinished(30000);
        if (out)
            *out = tool.readAllStandardOutput();
        m_output = tool.readAllStandardError();
        return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    }

    // Command-line arguments that serve `base` over `transport`: ldaps,
    // starttls, plain (ldap:// and a password) or ldapi (SASL EXTERNAL).
    QStringList serve(const QString& transport, const QString& base = u"ou=people,dc=example,dc=org"_s) const
    {
        QStringList arguments{u"--ldap-base"_s, base};
        const QStringList bind{u"--ldap-bind-dn"_s, kReader, u"--ldap-password-file"_s, path(u"reader.password"_s)};
        const QStringList ca{u"--ldap-ca-file"_s, path(u"ca.crt"_s)};
        if (transport == u"ldaps")
            return QStringList{u"--ldap"_s, u"ldaps://127.0.0.1:%1"_s.arg(m_tlsPort)} + arguments + bind + ca;
        if (transport == u"starttls")
            return QStringList{u"--ldap"_s, u"ldap://127.0.0.1:%1"_s.arg(m_plainPort), u"--ldap-starttls"_s} +
                   arguments + bind + ca;
        if (transport == u"plain")
            return QStringList{u"--ldap"_s, u"ldap://127.0.0.1:%1"_s.arg(m_plainPort)} + arguments + bind;
        return QStringList{u"--ldap"_s, ldapi()} + arguments;
    }

    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString ldapi() const { return u"ldapi://"_s + QString::fromLatin1(QUrl::toPercentEncoding(path(u"ldapi"_s))); }
    quint16 plainPort() const { return m_plainPort; }
    quint16 tlsPort() const { return m_tlsPort; }
    qint64 pid() const { return m_slapd.processId(); }
    QByteArray output() const { return m_output; }

private:
    bool makeCertificates()
    {
        const auto openssl = [this](const QStringList& arguments) {
            QProcess process;
            process.start(u"openssl"_s, arguments);
            process.waitForFinished(60000);
            m_output = process.readAllStandardError();
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        };
        const QStringList key{u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s, u"ec_paramgen_curve:prime256v1"_s, u"-nodes"_s,
                              u"-days"_s, u"2"_s};
        return openssl(QStringList{u"req"_s, u"-x509"_s, u"-subj"_s, u"/CN=Velmario test authority"_s, u"-keyout"_s,
                                   path(u"ca.key"_s), u"-out"_s, path(u"ca.crt"_s)} + key) &&
               openssl(QStringList{u"req"_s, u"-x509"_s, u"-subj"_s, u"/CN=Another authority"_s, u"-keyout"_s,
                                   path(u"other.key"_s), u"-out"_s, path(u"other.crt"_s)} + key) &&
               openssl(QStringList{u"req"_s, u"-x509"_s, u"-subj"_s, u"/CN=127.0.0.1"_s, u"-addext"_s,
                                   u"subjectAltName=IP:127.0.0.1"_s, u"-CA"_s, path(u"ca.crt"_s), u"-CAkey"_s,
                                   path(u"ca.key"_s), u"-keyout"_s, path(u"server.key"_s), u"-out"_s,
                                   path(u"server.crt"_s)} + key);
    }

    QByteArray configuration() const
    {
        const QString manager = u"gidNumber=%1+uidNumber=%2,cn=peercred,cn=external,cn=auth"_s.arg(::getegid()).arg(::geteuid());
        return u"include /etc/ldap/schema/core.schema\n"
               "include /etc/ldap/schema/cosine.schema\n"
               "include /etc/ldap/schema/inetorgperson.schema\n"
               "modulepath /usr/lib/ldap\nmoduleload back_mdb\nmoduleload syncprov\n"
               "pidfile %1/slapd.pid\n"
               "TLSCACertificateFile %1/ca.crt\nTLSCertificateFile %1/server.crt\nTLSCertificateKeyFile %1/server.key\n"
               "sizelimit size.soft=500 size.hard=500 size.prtotal=unlimited\n"
               "database mdb\nmaxsize 268435456\nsuffix \"dc=example,dc=org\"\ndirectory %1/data\ndbnosync\n"
               "index objectClass,employeeNumber eq\n"
               "limits dn.exact=\"cn=limited,dc=example,dc=org\" size.soft=50 size.hard=50 size.prtotal=50\n"
               "overlay syncprov\n"
               "access to attrs=userPassword by anonymous auth by * none\n"
               "access to * by dn.exact=\"%2\" manage by users read by * none\n"_s
            .arg(m_dir.path(), manager)
            .toUtf8();
    }

    bool ownedByNobody()
    {
        QProcess chown;
        chown.start(u"chown"_s, {u"-R"_s, u"65534:65534"_s, m_dir.path()});
        chown.waitForFinished(10000);
        return chown.exitCode() == 0;
    }

    bool tool(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        if (::geteuid() == 0)
            process.start(u"setpriv"_s, QStringList{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                                                    program} + arguments);
        else
            process.start(program, arguments);
        process.waitForFinished(60000);
        m_output = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QProcess m_slapd;
    QByteArray m_output;
    quint16 m_plainPort = 0;
    quint16 m_tlsPort = 0;
};

QByteArray ask(ServerProcess& server, const QByteArray& number)
{
    Client client;
    if (!client.connect(server.port()))
        return "(no connection)";
    return client.ask(number);
}


} // namespace

class TestLdap : public QObject
{
    Q_OBJECT

    Slapd slapd;
    bool running = false;

    bool serve(ServerProcess& server, const QString& transport = u"ldaps"_s, const QStringList& extra = {})
    {
        return server.start(slapd.serve(transport) + extra);
    }

private slots:
    // What is refused or tried again: a directory that is gone or slow may
    // answer later; one that refuses what it is asked will not.
    void resultCodes_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("unreachable");
        QTest::newRow("server down") << LDAP_SERVER_DOWN << true;
        QTest::newRow("client timeout") << LDAP_TIMEOUT << true;
        QTest::newRow("connect error") << LDAP_CONNECT_ERROR << true;
        QTest::newRow("local error") << LDAP_LOCAL_ERROR << true;
        QTest::newRow("busy") << LDAP_BUSY << true;
        QTest::newRow("unavailable") << LDAP_UNAVAILABLE << true;
        QTest::newRow("time limit") << LDAP_TIMELIMIT_EXCEEDED << true;
        QTest::newRow("other (shutting down)") << LDAP_OTHER << true;
        QTest::newRow("success") << LDAP_SUCCESS << false;
        QTest::newRow("invalid credentials") << LDAP_INVALID_CREDENTIALS << false;
        QTest::newRow("insufficient access") << LDAP_INSUFFICIENT_ACCESS << false;
        QTest::newRow("no such object") << LDAP_NO_SUCH_OBJECT << false;
        QTest::newRow("size limit") << LDAP_SIZELIMIT_EXCEEDED << false;
        QTest::newRow("admin limit") << LDAP_ADMINLIMIT_EXCEEDED << false;
        QTest::newRow("critical extension") << LDAP_UNAVAILABLE_CRITICAL_EXTENSION << false;
        QTest::newRow("filter error") << LDAP_FILTER_ERROR << false;
        QTest::newRow("unwilling") << LDAP_UNWILLING_TO_PERFORM << false;
    }
    void resultCodes()
    {
        QFETCH(int, code);
        QFETCH(bool, unreachable);
        QCOMPARE(ldapUnreachable(code), unreachable);
    }

    void uris_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("problem"); // empty: accepted
        QTest::newRow("ldap") << u"ldap://ldap.example.org"_s << QString();
        QTest::newRow("ldaps with a port") << u"ldaps://dc1.example.org:636"_s << QString();
        QTest::newRow("ldapi") << u"ldapi://%2Frun%2Fslapd%2Fldapi"_s << QString();
        QTest::newRow("capitals") << u"LDAPS://dc1.example.org"_s << QString();
        QTest::newRow("http") << u"http://example.org"_s << u"'http://example.org' is not an ldap://, ldaps:// or ldapi:// URI"_s;
        QTest::newRow("no scheme") << u"ldap.example.org"_s << u"'ldap.example.org' is not an ldap://, ldaps:// or ldapi:// URI"_s;
        QTest::newRow("two") << u"ldap://a ldap://b"_s << u"'ldap://a ldap://b' names more than one directory: give one URI"_s;
        QTest::newRow("bad port") << u"ldap://host:port"_s << u"'ldap://host:port' is not a valid LDAP URI"_s;
    }
    void uris()
    {
        QFETCH(QString, uri);
        QFETCH(QString, problem);
        QCOMPARE(QString::fromStdString(ldapUriProblem(uri.toStdString())), problem);
    }

    void certificateRefusals_data()
    {
        QTest::addColumn<QString>("diagnostic");
        QTest::addColumn<bool>("refused");
        QTest::newRow("checked and refused") << u"(unknown error code)"_s << true;
        QTest::newRow("cut by the network") << u"Error in the pull function."_s << false;
        QTest::newRow("nothing said") << QString() << false;
    }
    void certificateRefusals()
    {
        QFETCH(QString, diagnostic);
        QFETCH(bool, refused);
        QCOMPARE(ldapCertificateRefused(diagnostic.toStdString()), refused);
    }

    // Up to 20 bad entries named by DN, repeated numbers too, the rest
    // counted; good entries become replies in Windows-1252.
    void entryChecker()
    {
        LdapEntryChecker good;
        good.take({"Ñ1", "Íñigo", "961"}, [] { return std::string("uid=1"); });
        good.take({"2", "Œdipe", "962"}, [] { return std::string("uid=2"); });
        const std::unique_ptr<ReplyIndex> replies = good.build();
        QVERIFY(replies);
        QCOMPARE(replies->size(), std::size_t(2));
        QCOMPARE(QByteArray::fromStdString(std::string(*replies->find("\xD1" "1"))), QByteArray("\xCD\xF1igo*961"));
        QCOMPARE(QByteArray::fromStdString(std::string(*replies->find("2"))), QByteArray("\x8C" "dipe*962"));
        QCOMPARE(good.verdict(), std::string());

        LdapEntryChecker repeated;
        repeated.take({"7", "Ana", "1"}, [] { return std::string("uid=a"); });
        repeated.take({"7", "Eva", "2"}, [] { return std::string("uid=e"); });
        QVERIFY(!repeated.build());
        QCOMPARE(repeated.verdict(), std::string("1 entry breaks the directory's rules:\n"
                                                 "  uid=e (control number \"7\"): the control number appears more than once"));

        LdapEntryChecker bad;
        int asked = 0;
        for (int i = 0; i < 23; ++i)
            bad.take({std::to_string(i), "Ana", "1*2"}, [&] { ++asked; return "uid=" + std::to_string(i); });
        bad.take({"99", "Ana", "1"}, [&] { ++asked; return std::string("uid=99"); });
        QVERIFY(!bad.build());
        QCOMPARE(asked, 20); // good entries after a bad one are only counted
        QCOMPARE(bad.taken(), std::size_t(24));
        const QString verdict = QString::fromStdString(bad.verdict());
        QVERIFY2(verdict.startsWith(u"23 entries break the directory's rules:\n"
                                    "  uid=0 (control number \"0\"): the telephone holds a \"*\"\n"_s),
                 qPrintable(verdict));
        QVERIFY2(verdict.contains(u"  uid=19 (control number \"19\")"_s), qPrintable(verdict));
        QVERIFY(!verdict.contains(u"uid=20 "_s));
        QVERIFY2(verdict.endsWith(u"\n  and 3 more"_s), qPrintable(verdict));
    }

    // A scripted directory in raw BER that answers the paged search with an
    // entry and then, as the row says: an end without the paging control
    // (however critical the request made it), empty pages that hand back
    // the same cookie for ever, or no end at all. Each load is refused with
    // what went wrong, never served.
    void scriptedDirectory_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QByteArray>("said");
        QTest::addColumn<int>("exitCode"); // 4: the directory does not page as asked; 2: out of reach
        QTest::newRow("no paging") << u"unpaged"_s << QByteArray("dc=example,dc=org: the directory answered without paging") << 4;
        QTest::newRow("the same cookie again")
            << u"same cookie"_s
            << QByteArray("the directory sent an empty page with the same paging cookie, so its paged search does "
                          "not advance (entries received: 1)") << 4;
        QTest::newRow("a page without end")
            << u"endless"_s << QByteArray("the search did not end in time (entries received: 1)") << 2;
    }
    void scriptedDirectory()
    {
        QFETCH(QString, answer);
        QFETCH(QByteArray, said);
        QFETCH(int, exitCode);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        const int fd = int(listener.socketDescriptor());
        QByteArray request;
        std::thread peer([fd, &request, answer] {
            // Qt's socket does not block: every wait is a poll.
            const auto ready = [](int socket) {
                pollfd wanted{socket, POLLIN, 0};
                return ::poll(&wanted, 1, 10000) == 1;
            };
            const auto tlv = [](char tag, const QByteArray& value) { return QByteArray(1, tag) + char(value.size()) + value; };
            const int client = ready(fd) ? ::accept(fd, nullptr, nullptr) : -1;
            if (client < 0)
                return;
            char buffer[4096];
            for (int searches = 0; searches < 3 && ready(client); ++searches) {
                const ssize_t got = ::read(client, buffer, sizeof buffer);
                if (got <= 0)
                    break;
                const QByteArray asked(buffer, int(got));
                if (searches == 0)
                    request = asked;
                // SEQUENCE, its length (short or 0x81/0x82 long form), then
                // the message id as INTEGER of one byte.
                const int at = asked.size() > 1 && (uchar(asked[1]) & 0x80) ? 2 + (uchar(asked[1]) & 0x7F) : 2;
                const char id = asked.size() > at + 2 ? asked[at + 2] : char(1);
                const QByteArray messageId = tlv('\x02', QByteArray(1, id));
                const QByteArray attribute = tlv('\x30', tlv('\x04', "employeeNumber") + tlv('\x31', tlv('\x04', "1234")));
                const QByteArray entry = tlv('\x64', tlv('\x04', "uid=1,ou=people,dc=example,dc=org") + tlv('\x30', attribute));
                QByteArray reply = searches == 0 ? tlv('\x30', messageId + entry) : QByteArray();
                QByteArray done = tlv('\x65', QByteArray("\x0a\x01\x00\x04\x00\x04\x00", 7));
                if (answer == u"same cookie") {
                    const QByteArray value = tlv('\x30', QByteArray("\x02\x01\x00", 3) + tlv('\x04', "x"));
                    done += tlv('\xA0', tlv('\x30', tlv('\x04', LDAP_CONTROL_PAGEDRESULTS) + tlv('\x04', value)));
                }
                if (answer != u"endless")
                    reply += tlv('\x30', messageId + done);
                (void)!::write(client, reply.constData(), size_t(reply.size()));
            }
            if (ready(client))
                (void)!::read(client, buffer, sizeof buffer); // until the server hangs up
            ::close(client);
        });
        const Run result = run({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s, u"--ldap"_s,
                                u"ldap://127.0.0.1:%1"_s.arg(listener.serverPort()), u"--ldap-base"_s, kBase,
                                u"--ldap-check-interval"_s, u"0"_s, u"--startup-timeout"_s, u"2"_s});
        peer.join();
        QVERIFY2(request.contains(LDAP_CONTROL_PAGEDRESULTS), "the search asks for paging");
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains(said), result.err.constData());
    }

    void initTestCase()
    {
        if (serverProgram().isEmpty())
            QSKIP("VELMARIO_SERVER is not set");
    }

    // The tests below need the directory; it starts once, before the first.
    void startTheDirectory()
    {
        const QString why = slapd.start();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        running = true;
    }

    void init()
    {
        if (!QByteArray(QTest::currentTestFunction()).startsWith("directory"))
            return;
        if (!running)
            QSKIP("slapd is not running");
        // Every test starts from the same three people.
        QVERIFY2(slapd.remove({u"uid=1,ou=people,dc=example,dc=org"_s, u"uid=2,ou=people,dc=example,dc=org"_s,
                               u"uid=3,ou=people,dc=example,dc=org"_s, u"uid=4,ou=people,dc=example,dc=org"_s,
                               u"uid=5,ou=people,dc=example,dc=org"_s, u"uid=6,ou=people,dc=example,dc=org"_s}),
                 slapd.output().constData());
        QVERIFY2(slapd.add(people()), slapd.output().constData());
    }

    void directoryLookups_data()
    {
        QTest::addColumn<QString>("transport");
        QTest::addColumn<QByteArray>("number");
        QTest::addColumn<QByteArray>("reply");
        for (const QString& transport : {u"ldaps"_s, u"starttls"_s, u"ldapi"_s}) {
            const QByteArray t = transport.toLatin1();
            QTest::newRow(t + ", ñ and accents") << transport << QByteArray("1") << cp1252(u"Íñigo Núñez Ábalos*961-555-0101"_s);
            QTest::newRow(t + ", Œ") << transport << QByteArray("2") << QByteArray("\x8C" "dipe Fran\xE7" "ais*961-555-0102");
            QTest::newRow(t + ", ñ in the number") << transport << QByteArray("\xD1" "3") << cp1252(u"Begoña*3"_s);
            QTest::newRow(t + ", not there") << transport << QByteArray("4") << kNotRegistered;
        }
    }
    void directoryLookups()
    {
        QFETCH(QString, transport);
        QFETCH(QByteArray, number);
        QFETCH(QByteArray, reply);
        ServerProcess server;
        QVERIFY2(serve(server, transport), server.log().constData());
        QVERIFY2(server.log().contains("started: serving 3 entries from LDAP directory"), server.log().constData());
        QCOMPARE(ask(server, number), reply);
        QVERIFY(!server.log().contains(kReaderPassword));
    }

    // Active Directory's attribute names are options; a multi-valued
    // attribute gives its first value.
    void directoryOtherAttributes()
    {
        QVERIFY2(slapd.modify("dn: uid=2,ou=people,dc=example,dc=org\nchangetype: modify\nadd: displayName\n"
                              "displayName: Edipo\n-\nadd: telephoneNumber\ntelephoneNumber: 961-555-7777\n"),
                 slapd.output().constData());
        ServerProcess server;
        QVERIFY2(serve(server, u"ldapi"_s, {u"--ldap-filter"_s, u"(displayName=*)"_s, u"--ldap-number-attribute"_s,
                                          u"uid"_s, u"--ldap-name-attribute"_s, u"displayName"_s}),
                 server.log().constData());
        QVERIFY2(server.log().contains("started: serving 1 entries"), server.log().constData());
        QCOMPARE(ask(server, "2"), QByteArray("Edipo*961-555-0102"));
        QCOMPARE(ask(server, "1"), kNotRegistered);
    }

    // A change, an addition and a deletion are each served within 5 s,
    // with no SIGHUP and long before the refresh.
    void directoryChangesServedWithinFiveSeconds()
    {
        ServerProcess server;
        QVERIFY2(serve(server), server.log().constData());
        QVERIFY(server.log().contains("watching the contextCSN of dc=example,dc=org"));
        QVERIFY2(slapd.modify("dn: uid=1,ou=people,dc=example,dc=org\nchangetype: modify\nreplace: telephoneNumber\n"
                              "telephoneNumber: 961-555-9999\n"),
                 slapd.output().constData());
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, "1"), cp1252(u"Íñigo Núñez Ábalos*961-555-9999"_s), 5000);
        QVERIFY(slapd.add(person(u"4"_s, u"44"_s, u"Ana Peña"_s, u"4"_s)));
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, "44"), cp1252(u"Ana Peña*4"_s), 5000);
        QVERIFY(slapd.remove({u"uid=2,ou=people,dc=example,dc=org"_s}));
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, "2"), kNotRegistered, 5000);
    }

    // The checks load nothing while nothing changes, and one change makes
    // one load.
    void directoryQuietIsNotLoadedAgain()
    {
        ServerProcess server;
        QVERIFY2(serve(server), server.log().constData());
        QTest::qWait(3500); // three checks at least
        QCOMPARE(server.log().count("loading LDAP directory"), 1);
        QVERIFY(slapd.modify("dn: uid=3,ou=people,dc=example,dc=org\nchangetype: modify\nreplace: telephoneNumber\n"
                             "telephoneNumber: 33\n"));
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, QByteArray("\xD1" "3")), cp1252(u"Begoña*33"_s), 5000);
        QTest::qWait(3500);
        QCOMPARE(server.log().count("reloaded: serving 3 entries"), 1);
    }

    // With the checks off, the refresh alone brings a change.
    void directoryRefreshWithoutChecks()
    {
        ServerProcess server;
        QVERIFY2(serve(server, u"ldaps"_s, {u"--ldap-check-interval"_s, u"0"_s, u"--refresh"_s, u"2"_s}),
                 server.log().constData());
        QVERIFY(!server.log().contains("contextCSN"));
        QVERIFY(slapd.modify("dn: uid=1,ou=people,dc=example,dc=org\nchangetype: modify\nreplace: telephoneNumber\n"
                             "telephoneNumber: 961-555-8888\n"));
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, "1"), cp1252(u"Íñigo Núñez Ábalos*961-555-8888"_s), 5000);
        QVERIFY(server.waitForLog("reloaded: serving 3 entries")); // the log is written after the swap
    }

    // Bad entries are named by DN and refused as a whole while the old
    // directory serves; once mended, the directory is served again.
    void directoryBadEntriesRefused()
    {
        ServerProcess server;
        QVERIFY2(serve(server), server.log().constData());
        QVERIFY2(slapd.add(person(u"4"_s, u"4"_s, u"Łucja"_s, u"4"_s) + person(u"5"_s, u"5"_s, u"Eva"_s, {}) +
                          person(u"6"_s, u"1"_s, u"Otra"_s, u"6"_s)),
                 slapd.output().constData());
        QVERIFY(slapd.modify("dn: uid=2,ou=people,dc=example,dc=org\nchangetype: modify\nreplace: cn\ncn: Cambiado\n"));
        QVERIFY(server.waitForLog("reload failed, still serving the previous directory: 2 entries break", 5000));
        QVERIFY(server.waitForLog("uid=4,ou=people,dc=example,dc=org (control number \"4\"): the name is not UTF-8 text "
                                  "that Windows-1252 can carry"));
        QVERIFY(server.waitForLog("uid=5,ou=people,dc=example,dc=org (control number \"5\"): the telephone is empty"));
        QCOMPARE(ask(server, "2"), QByteArray("\x8C" "dipe Fran\xE7" "ais*961-555-0102"));
        QCOMPARE(ask(server, "4"), kNotRegistered);
        // Mended but for a repeated number: named by DN too.
        QVERIFY(slapd.remove({u"uid=4,ou=people,dc=example,dc=org"_s, u"uid=5,ou=people,dc=example,dc=org"_s}));
        QVERIFY(server.waitForLog("(control number \"1\"): the control number appears more than once", 5000));
        QCOMPARE(ask(server, "2"), QByteArray("\x8C" "dipe Fran\xE7" "ais*961-555-0102"));
        QVERIFY(slapd.remove({u"uid=6,ou=people,dc=example,dc=org"_s}));
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, "2"), QByteArray("Cambiado*961-555-0102"), 5000);
    }

    // 1200 entries where an ordinary search stops at 500: paging reads
    // them all, whatever the page size.
    void directoryPastTheSizeLimit_data()
    {
        QTest::addColumn<QString>("pageSize");
        QTest::newRow("default page") << QString();
        QTest::newRow("pages of 7") << u"7"_s;
    }
    void directoryPastTheSizeLimit()
    {
        QFETCH(QString, pageSize);
        QByteArray found;
        QCOMPARE(slapd.search(u"ldap://127.0.0.1:%1"_s.arg(slapd.plainPort()), u"ou=many,dc=example,dc=org"_s,
                              {u"(employeeNumber=*)"_s, u"1.1"_s}, &found),
                 LDAP_SIZELIMIT_EXCEEDED);
        QCOMPARE(found.count("\ndn: "), 500);
        ServerProcess server;
        const QStringList page = pageSize.isEmpty() ? QStringList() : QStringList{u"--ldap-page-size"_s, pageSize};
        QVERIFY2(server.start(slapd.serve(u"starttls"_s, u"ou=many,dc=example,dc=org"_s) + page),
                 server.log().constData());
        QVERIFY2(server.log().contains("started: serving 1200 entries"), server.log().constData());
        QCOMPARE(ask(server, "M0"), QByteArray("Persona 0*961-0"));
        QCOMPARE(ask(server, "M1199"), QByteArray("Persona 1199*961-1199"));
    }

    // A size limit that paged searches may not pass either (as this
    // account's), or more entries than this server may hold: the load is
    // refused, never served cut.
    void directoryCut_data()
    {
        QTest::addColumn<QString>("reader");
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("the account's size limit")
            << u"cn=limited,dc=example,dc=org"_s << QStringList()
            << QByteArray("the directory cut the search at its size limit after 50 entries; let paged "
                          "searches past it (OpenLDAP: sizelimit size.prtotal=unlimited)");
        QTest::newRow("more than the server may hold")
            << kReader << QStringList{u"--max-memory-entries"_s, u"1000"_s}
            << QByteArray("the search sent more than the 1000 entries this server may hold (--max-memory-entries)");
    }
    void directoryCut()
    {
        QFETCH(QString, reader);
        QFETCH(QStringList, extra);
        QFETCH(QByteArray, said);
        QStringList arguments = slapd.serve(u"ldaps"_s, u"ou=many,dc=example,dc=org"_s) + extra;
        arguments[arguments.indexOf(kReader)] = reader;
        const Run result = run(arguments + QStringList{u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s});
        QCOMPARE(result.exitCode, 4);
        QVERIFY2(result.err.contains(said), result.err.constData());
    }

    void directoryEmptySearch_data()
    {
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QByteArray>("said");
        QTest::addColumn<int>("exitCode"); // 3: nothing to serve; 4: the directory refuses the search
        const QStringList nobody{u"--ldap-filter"_s, u"(employeeNumber=nobody)"_s};
        QTest::newRow("refused") << nobody
                                 << QByteArray("the search finds no entries under ou=people,dc=example,dc=org with "
                                               "(employeeNumber=nobody): nothing to serve (--allow-empty") << 3;
        QTest::newRow("allowed") << nobody + QStringList{u"--allow-empty"_s} << QByteArray("started: serving 0 entries") << 0;
        QTest::newRow("a base that is not there")
            << QStringList{u"--ldap-base"_s, u"ou=nadie,dc=example,dc=org"_s}
            << QByteArray("the base ou=nadie,dc=example,dc=org does not exist") << 4;
        QTest::newRow("not a filter") << QStringList{u"--ldap-filter"_s, u"(employeeNumber=*"_s}
                                      << QByteArray("--ldap-filter '(employeeNumber=*' is not an LDAP filter") << 4;
    }
    void directoryEmptySearch()
    {
        QFETCH(QStringList, extra);
        QFETCH(QByteArray, said);
        QFETCH(int, exitCode);
        QStringList arguments = slapd.serve(u"ldapi"_s);
        if (extra.first() == u"--ldap-base")
            arguments.remove(arguments.indexOf(u"--ldap-base"_s), 2);
        arguments += extra;
        if (said.startsWith("started:")) {
            ServerProcess server;
            QVERIFY2(server.start(arguments), server.log().constData());
            QVERIFY2(server.log().contains(said), server.log().constData());
            return;
        }
        QElapsedTimer timer;
        timer.start();
        const Run result = run(arguments + QStringList{u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s});
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains(said), result.err.constData());
        QVERIFY2(timer.elapsed() < 10000, "a refusal is not tried again until the start-up timeout");
    }

    // Refused at once with a plain reason: a wrong password, a certificate
    // no authority given vouches for. Never the password in the log.
    void directoryRefusedAtStart_data()
    {
        QTest::addColumn<QString>("transport");
        QTest::addColumn<QStringList>("change"); // option, value
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("wrong password")
            << u"ldaps"_s << QStringList{u"--ldap-password-file"_s, u"wrong.password"_s}
            << QByteArray("refuses the bind as cn=reader,dc=example,dc=org: Invalid credentials (check "
                          "--ldap-bind-dn and the password in --ldap-password-file)");
        QTest::newRow("no such password file")
            << u"ldaps"_s << QStringList{u"--ldap-password-file"_s, u"missing.password"_s}
            << QByteArray("cannot read the password file ");
        QTest::newRow("ldaps, another authority")
            << u"ldaps"_s << QStringList{u"--ldap-ca-file"_s, u"other.crt"_s}
            << QByteArray("is not trusted or does not name its host (--ldap-ca-file names the authority that signed it)");
        QTest::newRow("StartTLS, another authority")
            << u"starttls"_s << QStringList{u"--ldap-ca-file"_s, u"other.crt"_s}
            << QByteArray("is not trusted or does not name its host (--ldap-ca-file names the authority that signed it)");
        QTest::newRow("ldaps, the system's authorities")
            << u"ldaps"_s << QStringList{u"--ldap-ca-file"_s, QString()}
            << QByteArray("is not trusted or does not name its host");
    }
    void directoryRefusedAtStart()
    {
        QFETCH(QString, transport);
        QFETCH(QStringList, change);
        QFETCH(QByteArray, said);
        QStringList arguments = slapd.serve(transport);
        const qsizetype at = arguments.indexOf(change[0]);
        QVERIFY(at >= 0);
        if (change[1].isEmpty())
            arguments.remove(at, 2);
        else
            arguments[at + 1] = slapd.path(change[1]);
        QElapsedTimer timer;
        timer.start();
        const Run result = run(arguments + QStringList{u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s,
                                                       u"--startup-timeout"_s, u"30"_s});
        // 4: the unit does not restart it, so a wrong password never locks the account.
        QCOMPARE(result.exitCode, 4);
        QVERIFY2(result.err.contains(said), result.err.constData());
        QVERIFY(!result.err.contains("started:"));
        QVERIFY(!result.err.contains(kReaderPassword));
        QVERIFY2(timer.elapsed() < 10000, qPrintable(u"refused after %1 ms"_s.arg(timer.elapsed())));
    }

    // Nothing listens: tried again until --startup-timeout, then exit 2.
    void directoryUnreachableAtStart()
    {
        QElapsedTimer timer;
        timer.start();
        const Run result = run({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s, u"--ldap"_s,
                                u"ldap://127.0.0.1:%1"_s.arg(freePort()), u"--ldap-base"_s, kBase,
                                u"--startup-timeout"_s, u"2"_s});
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("cannot reach LDAP directory ldap://127.0.0.1:"), result.err.constData());
        QVERIFY2(result.err.contains("within 2 s: cannot connect to"), result.err.constData());
        QVERIFY2(timer.elapsed() >= 1500 && timer.elapsed() < 6000, qPrintable(u"%1 ms"_s.arg(timer.elapsed())));
    }

    // A peer that takes the connection and never answers the TLS handshake
    // (ldaps): the start gives up at --startup-timeout like any other wait.
    void silentTlsPeerAtStart()
    {
        QTcpServer silent; // the kernel completes the TCP handshake; nobody reads
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QElapsedTimer timer;
        timer.start();
        const Run result = run({u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s, u"--ldap"_s,
                                u"ldaps://127.0.0.1:%1"_s.arg(silent.serverPort()), u"--ldap-base"_s, kBase,
                                u"--startup-timeout"_s, u"2"_s});
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("within 2 s"), result.err.constData());
        QVERIFY2(timer.elapsed() < 8000, qPrintable(u"gave up after %1 ms"_s.arg(timer.elapsed())));
    }

    // A directory that stops answering (SIGSTOP): a load gives up at
    // --ldap-timeout while the old directory serves, SIGTERM ends the
    // server at once, and a directory that answers again is served again.
    void directoryThatHangs()
    {
        {
            ServerProcess server;
            QVERIFY2(serve(server, u"plain"_s, {u"--ldap-timeout"_s, u"2"_s}), server.log().constData());
            QCOMPARE(::kill(pid_t(slapd.pid()), SIGSTOP), 0);
            QVERIFY(server.waitForLog("still serving the last directory; trying again", 8000));
            QCOMPARE(ask(server, "1"), cp1252(u"Íñigo Núñez Ábalos*961-555-0101"_s));
            QCOMPARE(::kill(pid_t(slapd.pid()), SIGCONT), 0);
            QVERIFY(slapd.modify("dn: uid=1,ou=people,dc=example,dc=org\nchangetype: modify\nreplace: telephoneNumber\n"
                                 "telephoneNumber: 5\n"));
            QVERIFY(server.waitForLog(" is back", 15000));
            QTRY_COMPARE_WITH_TIMEOUT(ask(server, "1"), cp1252(u"Íñigo Núñez Ábalos*5"_s), 5000);
        }
        for (const QString& transport : {u"plain"_s, u"ldaps"_s}) {
            // SIGTERM while a load waits on the stopped directory.
            ServerProcess server;
            QVERIFY2(serve(server, transport, {u"--ldap-timeout"_s, u"600"_s}), server.log().constData());
            QCOMPARE(::kill(pid_t(slapd.pid()), SIGSTOP), 0);
            ::kill(pid_t(server.pid()), SIGHUP);
            QVERIFY(server.waitForLog(" again", 3000));
            QTest::qWait(300); // the load is under way
            QElapsedTimer timer;
            timer.start();
            ::kill(pid_t(server.pid()), SIGTERM);
            const bool ended = server.process().waitForFinished(10000);
            const qint64 took = timer.elapsed();
            QCOMPARE(::kill(pid_t(slapd.pid()), SIGCONT), 0);
            QVERIFY(ended);
            // The promise is a second: half of it the grace a load gets to
            // notice the stop. A loaded test machine gets half a second more.
            QVERIFY2(took < 1500 * kSlowdown, qPrintable(u"%1: stopped after %2 ms"_s.arg(transport).arg(took)));
            QCOMPARE(server.process().exitCode(), 0);
        }
    }

    // Last: it stops slapd and starts it again.
    void directoryStoppedAndStartedAgain()
    {
        ServerProcess server;
        QVERIFY2(serve(server), server.log().constData());
        slapd.stop();
        QVERIFY(server.waitForLog("still serving the last directory; trying again", 8000));
        QCOMPARE(ask(server, QByteArray("\xD1" "3")), cp1252(u"Begoña*3"_s));
        QVERIFY2(slapd.run(), slapd.output().constData());
        QVERIFY(slapd.modify("dn: uid=3,ou=people,dc=example,dc=org\nchangetype: modify\nreplace: telephoneNumber\n"
                             "telephoneNumber: 4\n"));
        QVERIFY(server.waitForLog(" is back", 40000));
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, QByteArray("\xD1" "3")), cp1252(u"Begoña*4"_s), 5000);
        QCOMPARE(server.log().count("still serving the last directory"), 1);
    }

    // The command line: what LDAP needs, and what it excludes.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("said");
        const QStringList ldap{u"--ldap"_s, u"ldap://127.0.0.1:1"_s, u"--ldap-base"_s, kBase};
        QTest::newRow("and --db") << ldap + QStringList{u"--db"_s, u"x.db"_s} << QByteArray("excludes");
        QTest::newRow("and --postgres") << ldap + QStringList{u"--postgres"_s, u"host=x"_s} << QByteArray("excludes");
        QTest::newRow("no base") << QStringList{u"--ldap"_s, u"ldap://127.0.0.1:1"_s}
                                 << QByteArray("--ldap needs --ldap-base");
        QTest::newRow("a base alone") << QStringList{u"--ldap-base"_s, kBase} << QByteArray("requires --ldap");
        QTest::newRow("http") << QStringList{u"--ldap"_s, u"http://x"_s, u"--ldap-base"_s, kBase}
                              << QByteArray("'http://x' is not an ldap://, ldaps:// or ldapi:// URI");
        QTest::newRow("StartTLS over ldaps")
            << QStringList{u"--ldap"_s, u"ldaps://x"_s, u"--ldap-base"_s, kBase, u"--ldap-starttls"_s}
            << QByteArray("--ldap-starttls applies to ldap:// only");
        QTest::newRow("a bind DN without a password")
            << ldap + QStringList{u"--ldap-bind-dn"_s, kReader} << QByteArray("requires --ldap-password-file");
        QTest::newRow("a page of none") << ldap + QStringList{u"--ldap-page-size"_s, u"0"_s}
                                        << QByteArray("needs a whole number from 1 to 100000");
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, said);
        const Run result = run(arguments);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(said), result.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestLdap)
#include "tst_ldap.moc"
