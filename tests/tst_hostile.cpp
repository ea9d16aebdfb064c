// The search window against servers that do the worst, on loopback port 1007.
#include "testsupport.h"

#include "search/frmbusquedaal.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

using namespace Qt::StringLiterals;
using namespace velmario;
using namespace velmario::testing;
using velmario::lookup::LookupConnection;

class TestHostile : public QObject
{
    Q_OBJECT

    QTcpServer hostile; // 127.0.0.4:1007
    std::unique_ptr<Forms> forms;

    frmBusquedaAl* search() { return forms->form<frmBusquedaAl>(FormId::BusquedaAl); }
    QString caption(const char* name) { return child<look::Label>(search(), QString::fromLatin1(name))->caption(); }

    QTcpSocket* connectWindow()
    {
        forms->Show(FormId::BusquedaAl);
        search()->findChild<QLineEdit*>(u"txtipservidor"_s)->setText(u"127.0.0.4"_s);
        search()->Command1_Click();
        if (!QTest::qWaitFor([&] { return search()->connection()->State() == LookupConnection::Connected; }, 5000))
            return nullptr;
        return acceptPeer(hostile, search()->connection()->LocalPort());
    }

    void ask(const QString& number)
    {
        search()->findChild<QLineEdit*>(u"txtNumero"_s)->setText(number);
        search()->cmdBuscar_Click();
    }

private slots:
    void initTestCase() { QVERIFY2(hostile.listen(QHostAddress(u"127.0.0.4"_s), 1007), qPrintable(hostile.errorString())); }
    void init() { forms = std::make_unique<Forms>(); }
    void cleanup() { forms.reset(); }

    // Megabytes without end: the window keeps up, keeps bounded memory and
    // its event loop keeps turning.
    void endlessData()
    {
        QTcpSocket* peer = connectWindow();
        QVERIFY(peer);
        ask(u"1"_s);
        const QByteArray chunk(256 * 1024, 'z');
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(10);
        QElapsedTimer timer;
        timer.start();
        qint64 sent = 0;
        while (timer.elapsed() < 1500) {
            if (peer->bytesToWrite() < 4 * chunk.size()) {
                peer->write(chunk);
                sent += chunk.size();
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QVERIFY(search()->connection()->bytesAvailable() <= lookup::kMaxReplyLength);
        }
        QVERIFY2(sent > 4 * chunk.size(), qPrintable(QString::number(sent)));
        // The UI was never stuck: the 10 ms timer kept firing. A loaded or
        // instrumented machine fires it less often, never this seldom.
        QVERIFY2(ticks > 10, qPrintable(QString::number(ticks)));
        QVERIFY(caption("lblNombreA").size() <= lookup::kMaxReplyLength);
        QCOMPARE(search()->connection()->State(), int(LookupConnection::Connected));
    }

    void acceptsAndNeverAnswers()
    {
        QTcpSocket* peer = connectWindow();
        QVERIFY(peer);
        ask(u"1"_s);
        QSignalSpy arrivals(search()->connection(), &LookupConnection::DataArrival);
        QTRY_VERIFY_WITH_TIMEOUT(search()->status().contains(u"Consultando el número 1"_s), 2000);
        QCOMPARE(arrivals.count(), 0);
        search()->cmdVolver_Click(); // the window keeps working
        QCOMPARE(caption("lblNombreA"), QString());
        QCOMPARE(search()->connection()->State(), int(LookupConnection::Connected));
    }

    void resetsTheConnection()
    {
        QTcpSocket* peer = connectWindow();
        QVERIFY(peer);
        ask(u"1"_s);
        const linger reset{1, 0}; // close with RST rather than FIN
        ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        peer->abort();
        QTRY_VERIFY_WITH_TIMEOUT(search()->connection()->State() == LookupConnection::Closing
                                     || search()->connection()->State() == LookupConnection::Error, 5000);
        QVERIFY(!search()->status().contains(u"Conectado"_s));
        ask(u"2"_s);
        QVERIFY(search()->status().contains(u"No hay conexión"_s));
    }

    void closesMidReply()
    {
        QTcpSocket* peer = connectWindow();
        QVERIFY(peer);
        ask(u"1"_s);
        peer->write("Medio nom");
        peer->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(search()->connection()->State(), int(LookupConnection::Closing), 5000);
        QCOMPARE(caption("lblNombreA"), u"Medio nom"_s); // shown as it came, without a telephone
        QCOMPARE(caption("lblTelefono"), QString());
        QVERIFY(search()->status().contains(u"cerró"_s));
    }

    void answersBeforeAnyRequest()
    {
        QTcpSocket* peer = connectWindow();
        QVERIFY(peer);
        QSignalSpy arrivals(search()->connection(), &LookupConnection::DataArrival);
        peer->write("Nadie*pregunto");
        QVERIFY(arrivals.wait(5000));
        QCOMPARE(caption("lblNombreA"), u"Nadie"_s);
        QCOMPARE(caption("lblNumero"), QString());
    }

    void manyStarsAndUndefinedBytes()
    {
        QTcpSocket* peer = connectWindow();
        QVERIFY(peer);
        ask(u"1"_s);
        QSignalSpy arrivals(search()->connection(), &LookupConnection::DataArrival);
        peer->write(QByteArray(5000, '*') + "\x81\x8d\x8f\x90\x9d");
        QVERIFY(arrivals.wait(5000));
        QCOMPARE(caption("lblNombreA"), QString(4999, u'*'));
        QCOMPARE(caption("lblTelefono"), u"\u0081\u008d\u008f\u0090\u009d"_s);
        for (const QString& line : child<look::Label>(search(), u"lblTelefono"_s)->lines())
            QCOMPARE(line, QString(5, QChar(0xFFFD))); // shown, never acted on
    }
};

VELMARIO_TEST_MAIN(TestHostile)
#include "tst_hostile.moc"
