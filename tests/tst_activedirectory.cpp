// velmario-server serving from a real Active Directory: a Samba domain
// controller this test provisions into a temporary folder (samba-tool
// domain provision), with more users than a page of Active Directory's,
// their control numbers in employeeID and their names in displayName, and a
// certificate made for the test. CTest runs it in a network namespace of
// its own (the controller listens on the usual ports); it needs root, as
// the controller does.
#include "serverprocess.h"

#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QTemporaryDir>

#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace velmario::testing;

namespace {

constexpr int kUsers = 1500; // past Active Directory's page of 1000
constexpr char kPassword[] = "Lector-2026!";
const QString kAdminPassword = u"Velm4rio-Admin!"_s;
const QString kUsersDn = u"CN=Users,DC=example,DC=test"_s;
const QString kReader = u"CN=velmario,CN=Users,DC=example,DC=test"_s;

QByteArray user(const QString& account, const QString& id, const QString& name, const QString& telephone)
{
    return u"dn: CN=%1,CN=Users,DC=example,DC=test\nobjectClass: user\nsAMAccountName: %1\nemployeeID: %2\n"
           "displayName: %3\ntelephoneNumber: %4\n\n"_s.arg(account, id, name, telephone)
        .toUtf8();
}

class DomainController
{
public:
    ~DomainController()
    {
        if (m_samba.state() != QProcess::NotRunning) {
            m_samba.terminate();
            if (!m_samba.waitForFinished(10000))
                m_samba.kill();
            m_samba.waitForFinished(2000);
        }
    }

    // Empty when the controller answers, otherwise why not.
    QString start()
    {
        if (!QFile::exists(u"/usr/bin/samba-tool"_s) || !QFile::exists(u"/usr/sbin/samba"_s) ||
            !QFile::exists(u"/usr/bin/ldbadd"_s))
            return u"samba, samba-ad-dc or ldb-tools is not installed"_s;
        if (!m_dir.isValid())
            return u"no temporary folder"_s;
        if (!tool(u"samba-tool"_s, {u"domain"_s, u"provision"_s, u"--targetdir="_s + m_dir.path(),
                                    u"--realm=EXAMPLE.TEST"_s, u"--domain=EXAMPLE"_s, u"--server-role=dc"_s,
                                    u"--dns-backend=NONE"_s, u"--host-name=dc1"_s, u"--adminpass="_s + kAdminPassword,
                                    u"--option=interfaces=lo"_s, u"--option=bind interfaces only=yes"_s}))
            return u"provision failed: "_s + QString::fromLocal8Bit(m_output.right(2000));
        if (!makeCertificates())
            return u"openssl failed: "_s + QString::fromLocal8Bit(m_output);
        if (!configure())
            return u"cannot change smb.conf"_s;
        QByteArray users = user(u"p1"_s, u"E1"_s, u"Íñigo Núñez Ábalos"_s, u"961-555-0101"_s) +
                           user(u"p2"_s, u"E2"_s, u"Œdipe Français"_s, u"961-555-0102"_s) +
                           user(u"p3"_s, u"Ñ3"_s, u"Begoña"_s, u"3"_s);
        for (int i = 4; i <= kUsers; ++i)
            users += user(u"p%1"_s.arg(i), u"E%1"_s.arg(i), u"Persona %1 Núñez"_s.arg(i), u"961-%1"_s.arg(i));
        // Without a password: none of them binds.
        users += "dn: CN=Sin Numero,CN=Users,DC=example,DC=test\nobjectClass: user\nsAMAccountName: sinnumero\n"
                 "displayName: Sin Numero\n\n";
        writeFile(path(u"users.ldif"_s), users);
        if (!tool(u"ldbadd"_s, {u"-H"_s, path(u"private/sam.ldb"_s), path(u"users.ldif"_s)}))
            return u"ldbadd failed: "_s + QString::fromLocal8Bit(m_output.right(2000));
        if (!tool(u"samba-tool"_s, {u"user"_s, u"create"_s, u"velmario"_s, QString::fromLatin1(kPassword), u"-H"_s,
                                    path(u"private/sam.ldb"_s)}))
            return u"cannot make the reader: "_s + QString::fromLocal8Bit(m_output.right(2000));
        writeFile(path(u"reader.password"_s), QByteArray(kPassword) + '\n');
        writeFile(path(u"wrong.password"_s), "Otra-2026!\n");
        m_samba.setProcessChannelMode(QProcess::MergedChannels);
        m_samba.start(u"samba"_s, {u"-i"_s, u"-s"_s, path(u"etc/smb.conf"_s)});
        if (!m_samba.waitForStarted(5000))
            return u"samba did not start"_s;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 60000) {
            if (search({u"-s"_s, u"base"_s, u"-b"_s, u"DC=example,DC=test"_s}) == 0)
                return {};
            if (m_samba.state() == QProcess::NotRunning)
                break;
            QTest::qWait(250);
        }
        return u"the controller does not answer: "_s + QString::fromLocal8Bit(m_samba.readAll().right(2000) + m_output);
    }

    int search(const QStringList& arguments, QByteArray* out = nullptr)
    {
        QProcess ldapsearch;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"LDAPTLS_CACERT"_s, path(u"ca.crt"_s));
        ldapsearch.setProcessEnvironment(environment);
        ldapsearch.start(u"ldapsearch"_s, QStringList{u"-x"_s, u"-H"_s, u"ldaps://127.0.0.1"_s, u"-D"_s, kReader,
                                                      u"-w"_s, QString::fromLatin1(kPassword)} + arguments);
        ldapsearch.waitForFinished(30000);
        if (out)
            *out = ldapsearch.readAllStandardOutput();
        m_output = ldapsearch.readAllStandardError();
        return ldapsearch.exitStatus() == QProcess::NormalExit ? ldapsearch.exitCode() : -1;
    }

    // Changes as the domain's administrator.
    bool modify(const QByteArray& ldif)
    {
        QProcess ldapmodify;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"LDAPTLS_CACERT"_s, path(u"ca.crt"_s));
        ldapmodify.setProcessEnvironment(environment);
        ldapmodify.start(u"ldapmodify"_s, {u"-x"_s, u"-H"_s, u"ldaps://127.0.0.1"_s, u"-D"_s,
                                           u"CN=Administrator,CN=Users,DC=example,DC=test"_s, u"-w"_s, kAdminPassword});
        ldapmodify.waitForStarted(5000);
        ldapmodify.write(ldif);
        ldapmodify.closeWriteChannel();
        ldapmodify.waitForFinished(30000);
        m_output = ldapmodify.readAllStandardError();
        return ldapmodify.exitStatus() == QProcess::NormalExit && ldapmodify.exitCode() == 0;
    }
    QByteArray output() const { return m_output; }

    // Serving the users by employeeID and displayName, as a bind account.
    QStringList serve(const QString& uri) const
    {
        QStringList arguments{u"--ldap"_s, uri, u"--ldap-base"_s, kUsersDn, u"--ldap-filter"_s,
                              u"(&(objectClass=user)(employeeID=*))"_s, u"--ldap-number-attribute"_s,
                              u"employeeID"_s, u"--ldap-name-attribute"_s, u"displayName"_s, u"--ldap-bind-dn"_s,
                              kReader, u"--ldap-password-file"_s, path(u"reader.password"_s), u"--ldap-ca-file"_s,
                              path(u"ca.crt"_s)};
        if (uri.startsWith(u"ldap://"))
            arguments << u"--ldap-starttls"_s;
        return arguments;
    }

    QString path(const QString& name) const { return m_dir.filePath(name); }

private:
    bool makeCertificates()
    {
        const QStringList key{u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s, u"ec_paramgen_curve:prime256v1"_s, u"-nodes"_s,
                              u"-days"_s, u"2"_s};
        return tool(u"openssl"_s, QStringList{u"req"_s, u"-x509"_s, u"-subj"_s, u"/CN=Velmario test authority"_s,
                                              u"-keyout"_s, path(u"ca.key"_s), u"-out"_s, path(u"ca.crt"_s)} + key) &&
               tool(u"openssl"_s, QStringList{u"req"_s, u"-x509"_s, u"-subj"_s, u"/CN=127.0.0.1"_s, u"-addext"_s,
                                              u"subjectAltName=IP:127.0.0.1"_s, u"-CA"_s, path(u"ca.crt"_s),
                                              u"-CAkey"_s, path(u"ca.key"_s), u"-keyout"_s, path(u"server.key"_s),
                                              u"-out"_s, path(u"server.crt"_s)} + key) &&
               QFile::setPermissions(path(u"server.key"_s), QFile::ReadOwner | QFile::WriteOwner);
    }

    // Only the LDAP service, with the test's certificate; its logs, sockets
    // and pid file kept here.
    bool configure()
    {
        QFile file(path(u"etc/smb.conf"_s));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        QString conf = QString::fromUtf8(file.readAll());
        file.close();
        static const QRegularExpression services(uR"(\tserver services = [^\n]*\n)"_s);
        static const QRegularExpression logFile(uR"(\tlog file = [^\n]*\n)"_s);
        if (!conf.contains(services) || !conf.contains(logFile))
            return false;
        conf.replace(services, u"\tserver services = ldap\n\ttls enabled = yes\n\ttls keyfile = %1\n"
                               "\ttls certfile = %2\n\ttls cafile = %3\n\tpid directory = %4\n"
                               "\tncalrpc dir = %4/ncalrpc\n\twinbindd socket directory = %4/winbindd\n"
                               "\tntp signd socket directory = %4/ntp_signd\n"_s
                                   .arg(path(u"server.key"_s), path(u"server.crt"_s), path(u"ca.crt"_s),
                                        path(u"run"_s)));
        conf.replace(logFile, u"\tlog file = %1\n"_s.arg(path(u"log.%m"_s)));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        return file.write(conf.toUtf8()) > 0;
    }

    bool tool(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        process.start(program, arguments);
        process.waitForFinished(120000);
        m_output = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QProcess m_samba;
    QByteArray m_output;
};

// A controller is slower than slapd: the load may take longer than the
// usual wait for "started:".
bool start(ServerProcess& server, const QStringList& arguments)
{
    return server.start(arguments) || server.waitForLog("started:", 30000);
}

QByteArray ask(ServerProcess& server, const QByteArray& number)
{
    Client client;
    if (!client.connect(server.port()))
        return "(no connection)";
    return client.ask(number);
}

} // namespace

class TestActiveDirectory : public QObject
{
    Q_OBJECT

    DomainController controller;

private slots:
    void initTestCase()
    {
        if (serverProgram().isEmpty())
            QSKIP("VELMARIO_SERVER is not set");
        if (::geteuid() != 0)
            QSKIP("a domain controller needs root");
        // It listens on the usual ports: never beside the machine's own.
        for (const QNetworkInterface& i : QNetworkInterface::allInterfaces()) {
            if (!(i.flags() & QNetworkInterface::IsLoopBack))
                QSKIP(qPrintable(u"not in a network namespace of its own (%1)"_s.arg(i.name())));
        }
        const QString why = controller.start();
        // Installed but not working is a failure, not a skip.
        if (why.contains(u"is not installed"_s))
            QSKIP(qPrintable(why));
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }

    // The controller serves the users a page of 1000 at most; the server
    // reads them all, by employeeID and displayName, over LDAPS and
    // StartTLS, as a bind account.
    void usersByEmployeeId_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::newRow("ldaps") << u"ldaps://127.0.0.1"_s;
        QTest::newRow("StartTLS") << u"ldap://127.0.0.1"_s;
    }
    void usersByEmployeeId()
    {
        QFETCH(QString, uri);
        QByteArray found;
        QCOMPARE(controller.search({u"-b"_s, kUsersDn, u"-E"_s, u"pr=1000/noprompt"_s,
                                    u"(&(objectClass=user)(employeeID=*))"_s, u"employeeID"_s},
                                   &found),
                 0);
        QCOMPARE(found.count("\nemployeeID:"), kUsers); // "employeeID::" for base64 (Ñ3)
        ServerProcess server;
        QVERIFY2(start(server, controller.serve(uri)), server.log().constData());
        QVERIFY2(server.log().contains("started: serving 1500 entries from LDAP directory " + uri.toLatin1()),
                 server.log().constData());
        QVERIFY2(server.log().contains("keeps no contextCSN this account may read"), server.log().constData());
        QCOMPARE(ask(server, "E1"), cp1252(u"Íñigo Núñez Ábalos*961-555-0101"_s));
        QCOMPARE(ask(server, "E2"), QByteArray("\x8C" "dipe Fran\xE7" "ais*961-555-0102"));
        QCOMPARE(ask(server, "\xD1" "3"), cp1252(u"Begoña*3"_s));
        QCOMPARE(ask(server, "E1500"), cp1252(u"Persona 1500 Núñez*961-1500"_s));
        QCOMPARE(ask(server, "E1501"), kNotRegistered);
        QVERIFY(!server.log().contains(kPassword));
    }

    // A change is picked up by SIGHUP (Active Directory keeps no contextCSN).
    void changeOnSighup()
    {
        ServerProcess server;
        QVERIFY2(start(server, controller.serve(u"ldaps://127.0.0.1"_s)), server.log().constData());
        QVERIFY2(controller.modify("dn: CN=p1,CN=Users,DC=example,DC=test\nchangetype: modify\n"
                                   "replace: telephoneNumber\ntelephoneNumber: 961-555-4444\n"),
                 controller.output().constData());
        ::kill(pid_t(server.pid()), SIGHUP);
        QTRY_COMPARE_WITH_TIMEOUT(ask(server, "E1"), cp1252(u"Íñigo Núñez Ábalos*961-555-4444"_s), 10000);
    }

    void wrongPasswordRefused()
    {
        QStringList arguments = controller.serve(u"ldaps://127.0.0.1"_s);
        arguments[arguments.indexOf(u"--ldap-password-file"_s) + 1] = controller.path(u"wrong.password"_s);
        const Run result = run(arguments + QStringList{u"--listen"_s, u"127.0.0.1"_s, u"--port"_s, u"0"_s});
        QCOMPARE(result.exitCode, 4); // not restarted: Active Directory locks accounts
        QVERIFY2(result.err.contains("refuses the bind as CN=velmario,CN=Users,DC=example,DC=test: Invalid credentials"),
                 result.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestActiveDirectory)
#include "tst_activedirectory.moc"
