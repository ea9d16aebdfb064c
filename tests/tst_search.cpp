// The search window, against real servers on loopback port 1007.
#include "serverprocess.h"
#include "testsupport.h"

#include "common/statusline.h"
#include "search/frmbusquedaal.h"

#include <QFontInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QAccessible>
#include <QClipboard>
#include <QSignalSpy>
#include <QTimer>
#include <QToolTip>

using namespace Qt::StringLiterals;
using namespace velmario;
using namespace velmario::testing;
using velmario::lookup::LookupConnection;

namespace {

// A scripted lookup server of the test's own, on another loopback address
// but the same port the window always uses.
const QHostAddress kScriptedAddress(u"127.0.0.2"_s);

QString text(QWidget* w, const char* name)
{
    if (auto* edit = w->findChild<QLineEdit*>(QString::fromLatin1(name)))
        return edit->text();
    if (auto* label = w->findChild<look::Label*>(QString::fromLatin1(name)))
        return label->caption();
    return u"<no control %1>"_s.arg(QString::fromLatin1(name));
}

// What the status line's notification said each time it appeared, in order:
// screen readers present a notification as it appears (tests/spoken_test.sh
// hears Orca say it). The offscreen platform has no accessibility bridge, so
// the appearance is watched here.
class AnnouncementWatch : public QObject
{
public:
    explicit AnnouncementWatch(look::Announcement* announcement) : m_announcement(announcement)
    {
        announcement->installEventFilter(this);
    }
    QStringList said;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_announcement && event->type() == QEvent::Show)
            said.append(m_announcement->text());
        return false;
    }

private:
    look::Announcement* m_announcement;
};

} // namespace

class TestSearch : public QObject
{
    Q_OBJECT

    ServerProcess directoryServer; // velmario-server on 127.0.0.1:1007
    QTcpServer scripted;           // the test's own on 127.0.0.2:1007
    std::unique_ptr<Forms> forms;

    frmBusquedaAl* search() { return forms->form<frmBusquedaAl>(FormId::BusquedaAl); }
    template <class T = QWidget>
    T* control(const char* name) { return child<T>(search(), QString::fromLatin1(name)); }

    void enterSearch()
    {
        forms->Show(FormId::Velmario);
        QVERIFY(QTest::qWaitForWindowActive(forms->form(FormId::Velmario)));
        typeKey(Qt::Key_Return);
        QVERIFY(search()->isVisible());
        QVERIFY(QTest::qWaitForWindowActive(search()));
    }

    void typeInto(const char* name, const QString& value)
    {
        auto* box = control<QLineEdit>(name);
        QTest::mouseClick(box, Qt::LeftButton);
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Backspace);
        typeText(box, value);
        QCOMPARE(box->text(), value);
    }

    void connectTo(const QString& address)
    {
        typeInto("txtipservidor", address);
        QTest::mouseClick(control("Command1"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(search()->connection()->State(), int(LookupConnection::Connected), 5000);
    }

    // Connects the window to the scripted server and returns its side.
    QTcpSocket* connectScripted()
    {
        connectTo(kScriptedAddress.toString());
        return acceptWindowsConnection();
    }

    QTcpSocket* acceptWindowsConnection()
    {
        return acceptPeer(scripted, search()->connection()->LocalPort());
    }

    static QByteArray received(QTcpSocket* peer)
    {
        (void)QTest::qWaitFor([&] { return peer->bytesAvailable() > 0; }, 5000);
        return peer->readAll();
    }

    void replyWith(QTcpSocket* peer, const QByteArray& bytes)
    {
        QSignalSpy arrived(search()->connection(), &LookupConnection::DataArrival);
        peer->write(bytes);
        QVERIFY(arrived.wait(5000));
    }

    void search(const QString& number)
    {
        typeInto("txtNumero", number);
        QTest::mouseClick(control("cmdBuscar"), Qt::LeftButton);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(directoryServer.start({u"--listen"_s, u"127.0.0.1"_s}, 1007),
                 "velmario-server must serve 127.0.0.1:1007 for these tests: run them as root or "
                 "in a user and network namespace (scripts/test.sh does)");
        QVERIFY2(scripted.listen(kScriptedAddress, 1007), qPrintable(scripted.errorString()));
    }
    void init() { forms = std::make_unique<Forms>(); }
    void cleanup()
    {
        forms.reset();
        while (QTcpSocket* pending = scripted.nextPendingConnection())
            delete pending;
    }

    void typicalLookupByKeysAndClicks()
    {
        enterSearch();
        QCOMPARE(focusName(), u"txtNombre"_s);
        connectTo(u"127.0.0.1"_s);
        QVERIFY(search()->status().contains(u"Conectado con 127.0.0.1"_s));
        typeInto("txtNumero", u"20230001"_s);
        typeKey(Qt::Key_B, Qt::AltModifier);
        QTRY_COMPARE_WITH_TIMEOUT(text(search(), "lblNombreA"), u"José Peña Ibáñez"_s, 5000);
        QCOMPARE(text(search(), "lblTelefono"), u"961-976-1527"_s);
        QCOMPARE(text(search(), "lblNumero"), u"20230001"_s);
        // A quick answer is never followed by a stale "looking up" status.
        QTest::qWait(250);
        QCOMPARE(search()->status(), u"Respuesta recibida."_s);

        // Regresar and Entrar again: the same window, connection and answer.
        QWidget* before = search();
        typeKey(Qt::Key_R, Qt::AltModifier);
        QVERIFY(!before->isVisible());
        QVERIFY(QTest::qWaitForWindowActive(forms->form(FormId::Velmario)));
        typeKey(Qt::Key_Return);
        QCOMPARE(search(), before);
        QVERIFY(QTest::qWaitForWindowActive(search()));
        QCOMPARE(search()->connection()->State(), int(LookupConnection::Connected));
        QCOMPARE(text(search(), "txtipservidor"), u"127.0.0.1"_s);
        QCOMPARE(text(search(), "lblNombreA"), u"José Peña Ibáñez"_s);
        QCOMPARE(text(search(), "txtNumero"), QString());
        QCOMPARE(focusName(), u"txtNombre"_s);

        // Another lookup on the same connection, then Volver a buscar.
        search(u"20230002"_s);
        QTRY_COMPARE_WITH_TIMEOUT(text(search(), "lblNombreA"), u"María Muñoz López"_s, 5000);
        typeInto("txtNombre", u"María"_s);
        typeKey(Qt::Key_V, Qt::AltModifier);
        for (const char* name : {"txtNombre", "txtNumero", "lblNombreA", "lblNumero", "lblTelefono"})
            QCOMPARE(text(search(), name), QString());
        QCOMPARE(text(search(), "txtipservidor"), u"127.0.0.1"_s);
        QCOMPARE(search()->connection()->State(), int(LookupConnection::Connected));

        // Edicion > Salir ends the program with the connection still open.
        QSignalSpy unloaded(forms.get(), &Forms::unloaded);
        search()->findChild<QAction*>(u"mnuEditar_Salir"_s)->trigger();
        QVERIFY(forms->hasEnded());
        QCOMPARE(unloaded.count(), 0);
        QCOMPARE(search()->connection()->State(), int(LookupConnection::Connected));
    }

    void windowDesign()
    {
        enterSearch();
        QCOMPARE(search()->windowTitle(), u"Busqueda Via Internet."_s);
        QWidget* client = search()->centralWidget();
        const int menuHeight = search()->menuBar()->height();
        QVERIFY(menuHeight >= 17 && menuHeight <= 22);
        QCOMPARE(client->mapToGlobal(QPoint(0, 0)), QPoint(216, 161));
        QCOMPARE(search()->size().width(), 389);
        // The designed 293 pixels, then an 18-pixel status line below them.
        QCOMPARE(client->height(), 311);
        QCOMPARE(search()->size().height(), menuHeight + 311);
        QCOMPARE(client->palette().color(QPalette::Window), QColor(Qt::black));
        QCOMPARE(control("lblEstado")->geometry(), QRect(8, 293, 373, 16));
        QVERIFY(search()->windowFlags() & Qt::WindowMaximizeButtonHint);
    }

    void controlGeometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("txtNombre") << u"txtNombre"_s << QRect(80, 16, 225, 17);
        QTest::newRow("cmdRegresar") << u"cmdRegresar"_s << QRect(312, 16, 65, 25);
        QTest::newRow("txtNumero") << u"txtNumero"_s << QRect(144, 40, 97, 19);
        QTest::newRow("cmdBuscar") << u"cmdBuscar"_s << QRect(312, 48, 65, 25);
        QTest::newRow("txtipservidor") << u"txtipservidor"_s << QRect(16, 88, 137, 21);
        QTest::newRow("Command1") << u"Command1"_s << QRect(160, 80, 81, 33);
        QTest::newRow("cmdVolver") << u"cmdVolver"_s << QRect(272, 80, 105, 25);
        QTest::newRow("fradatos") << u"fradatos"_s << QRect(16, 152, 353, 121);
        QTest::newRow("Line1") << u"Line1"_s << QRect(8, 136, 368, 1);
        QTest::newRow("lblNombreA in the frame") << u"lblNombreA"_s << QRect(80, 32, 249, 17);
        QTest::newRow("lblNumero in the frame") << u"lblNumero"_s << QRect(152, 56, 89, 17);
        QTest::newRow("lblTelefono in the frame") << u"lblTelefono"_s << QRect(88, 80, 89, 17);
    }
    void controlGeometry()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QWidget* c = child<QWidget>(search(), name);
        QVERIFY(c);
        QCOMPARE(c->geometry(), geometry);
    }

    void captionLabels_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QPoint>("topLeft");
        QTest::addColumn<QString>("parent");
        QTest::newRow("lblNombre") << u"lblNombre"_s << u"Nombre:"_s << QPoint(16, 16) << u"client"_s;
        QTest::newRow("Label4") << u"Label4"_s << u"Número de control:"_s << QPoint(16, 40) << u"client"_s;
        QTest::newRow("Label1") << u"Label1"_s << u"Numero de IP:"_s << QPoint(16, 64) << u"client"_s;
        QTest::newRow("lblNombrec") << u"lblNombrec"_s << u"Nombre:"_s << QPoint(16, 32) << u"fradatos"_s;
        QTest::newRow("lblDir") << u"lblDir"_s << u"Número de Control:"_s << QPoint(16, 56) << u"fradatos"_s;
        QTest::newRow("Label2") << u"Label2"_s << u"Teléfono:"_s << QPoint(16, 80) << u"fradatos"_s;
    }
    void captionLabels()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QPoint, topLeft);
        QFETCH(QString, parent);
        auto* label = child<look::Label>(search(), name);
        QVERIFY(label);
        QCOMPARE(label->caption(), caption);
        QCOMPARE(label->parentWidget()->objectName(), parent);
        const QFontMetrics metrics(label->font());
        QCOMPARE(label->geometry(), QRect(topLeft, QSize(metrics.horizontalAdvance(caption), metrics.height())));
        QCOMPARE(QFontInfo(label->font()).pixelSize(), 15);
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor(255, 128, 0));
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
    }

    void noTwoControlsOverlap()
    {
        for (QWidget* parent : {search()->centralWidget(), control("fradatos")}) {
            const auto children = parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
            for (QWidget* a : children)
                for (QWidget* b : children)
                    QVERIFY2(a == b || !a->geometry().intersects(b->geometry()),
                             qPrintable(a->objectName() + u" overlaps "_s + b->objectName()));
        }
    }

    void firstShowIsEmptyAndGrey()
    {
        enterSearch();
        for (const char* name : {"txtNombre", "txtNumero", "txtipservidor", "lblNombreA", "lblNumero", "lblTelefono"})
            QCOMPARE(text(search(), name), QString());
        for (const char* name : {"lblNombreA", "lblNumero", "lblTelefono"}) {
            auto* label = control<look::Label>(name);
            QCOMPARE(label->palette().color(QPalette::Window), QColor(224, 224, 224));
            QVERIFY(label->autoFillBackground());
            QCOMPARE(label->frameWidth(), 2);
            QCOMPARE(QFontInfo(label->font()).pixelSize(), 11);
        }
        for (const char* name : {"txtNombre", "txtNumero", "txtipservidor"})
            QCOMPARE(control(name)->palette().color(QPalette::Base), QColor(224, 224, 224));
        QCOMPARE(search()->connection()->State(), int(LookupConnection::Closed));
        QCOMPARE(search()->connection()->objectName(), u"Winsock2"_s);
        QCOMPARE(control<QGroupBox>("fradatos")->title(), u"Datos Personales"_s);
    }

    void tabOrderBothWays()
    {
        enterSearch();
        const QStringList order = {u"txtNombre"_s, u"cmdRegresar"_s, u"cmdBuscar"_s, u"cmdVolver"_s,
                                   u"txtNumero"_s, u"txtipservidor"_s, u"Command1"_s,
                                   // the results, after the designed stops
                                   u"lblNombreA"_s, u"lblNumero"_s, u"lblTelefono"_s};
        for (qsizetype i = 1; i <= order.size(); ++i) {
            typeKey(Qt::Key_Tab);
            QCOMPARE(focusName(), order[i % order.size()]);
        }
        for (qsizetype i = order.size() - 1; i >= 0; --i) {
            typeKey(Qt::Key_Backtab, Qt::ShiftModifier);
            QCOMPARE(focusName(), order[i]);
        }
    }

    void menus()
    {
        QMenuBar* bar = search()->menuBar();
        QStringList titles;
        for (QAction* a : bar->actions())
            titles << a->text();
        QCOMPARE(titles, (QStringList{u"&Edicion"_s, u"&Ayuda"_s}));
        const auto items = [&](const char* menu) {
            QStringList list;
            for (QAction* a : search()->findChild<QMenu*>(QString::fromLatin1(menu))->actions()) {
                list << a->objectName() + u'=' + a->text();
                if (!a->shortcut().isEmpty() || a->isCheckable() || a->isSeparator() || !a->isEnabled())
                    list << u"(bad item)"_s;
            }
            return list;
        };
        QCOMPARE(items("mnuEditar"), QStringList{u"mnuEditar_Salir=Salir"_s});
        QCOMPARE(items("mnuAyuda"), (QStringList{u"mnuAyuda_Acercade=Acerca del Velmario..."_s,
                                                 u"mnuAyuda_Integrantes=Integrantes"_s,
                                                 u"mnuAyuda_Uso=Uso del Velmario..."_s}));
    }

    void enterInATextBoxPressesNothing()
    {
        enterSearch();
        const auto buttons = search()->findChildren<QPushButton*>();
        QCOMPARE(buttons.size(), 4);
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (QPushButton* b : buttons)
            spies.push_back(std::make_unique<QSignalSpy>(b, &QPushButton::clicked));
        for (const char* name : {"txtNombre", "txtNumero", "txtipservidor"}) {
            control(name)->setFocus();
            typeKey(Qt::Key_Return);
            typeKey(Qt::Key_Enter, Qt::KeypadModifier);
            typeKey(Qt::Key_Escape);
        }
        for (auto& spy : spies)
            QCOMPARE(spy->count(), 0);
        QVERIFY(search()->isVisible());
        QVERIFY(!forms->hasEnded());
    }

    void resizingMovesNothing()
    {
        enterSearch();
        const auto all = search()->centralWidget()->findChildren<QWidget*>();
        QList<QRect> before;
        for (QWidget* w : all)
            before << w->geometry();
        search()->resize(700, 600);
        QCoreApplication::processEvents();
        search()->resize(200, 150);
        QCoreApplication::processEvents();
        for (qsizetype i = 0; i < all.size(); ++i)
            QCOMPARE(all[i]->geometry(), before[i]);
    }

    // A value too long for its label ends in "…" at a whole word, is its
    // label's tooltip and accessible name whole, and the status says so.
    void longValuesAreShortenedAndSaidSo_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("telephone");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QStringList>("shown"); // name, number, telephone as drawn
        QTest::addColumn<QString>("status");
        QTest::newRow("telephone with country code")
            << u"José Peña Ibáñez"_s << u"+52 1 961 976 1527"_s << u"20230001"_s
            << QStringList{u"José Peña Ibáñez"_s, u"20230001"_s, u"+52 1 961 976…"_s}
            << u"Respuesta recibida; recortado: teléfono. Pase el puntero encima."_s;
        QTest::newRow("extension")
            << u"Ana"_s << u"961-976-1527 ext. 204"_s << u"7"_s
            << QStringList{u"Ana"_s, u"7"_s, u"961-976-1527…"_s}
            << u"Respuesta recibida; recortado: teléfono. Pase el puntero encima."_s;
        QTest::newRow("area code in brackets")
            << u"Ana"_s << u"+52 (961) 976-15-27"_s << u"7"_s
            << QStringList{u"Ana"_s, u"7"_s, u"+52 (961)…"_s}
            << u"Respuesta recibida; recortado: teléfono. Pase el puntero encima."_s;
        QTest::newRow("long name and long number")
            << u"María de los Ángeles Fernández de Córdoba y Villaseñor de la Concepción"_s << u"961-976-1527"_s
            << u"2023 0001 0002 0003"_s
            << QStringList{u"María de los Ángeles Fernández de Córdoba y…"_s, u"2023 0001…"_s,
                           u"961-976-1527"_s}
            << u"Respuesta recibida; recortados: nombre y número. Pase el puntero encima."_s;
        QTest::newRow("everything fits")
            << u"José Peña Ibáñez"_s << u"961-976-1527"_s << u"20230001"_s
            << QStringList{u"José Peña Ibáñez"_s, u"20230001"_s, u"961-976-1527"_s} << u"Respuesta recibida."_s;
    }
    void longValuesAreShortenedAndSaidSo()
    {
        QFETCH(QString, name);
        QFETCH(QString, telephone);
        QFETCH(QString, number);
        QFETCH(QStringList, shown);
        QFETCH(QString, status);
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(number);
        QCOMPARE(received(peer), *lookup::encode(number));
        replyWith(peer, *lookup::encode(name + u'*' + telephone));
        QCOMPARE(search()->status(), status);
        const QStringList values{name, number, telephone};
        const char* labels[] = {"lblNombreA", "lblNumero", "lblTelefono"};
        for (int i = 0; i < 3; ++i) {
            auto* label = control<look::ResultLabel>(labels[i]);
            QCOMPARE(label->lines(), QStringList{shown[i]});
            QCOMPARE(label->toolTip(), shown[i] == values[i] ? QString() : values[i]);
            QCOMPARE(QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name), values[i]);
        }
        QCOMPARE(control("lblNombreA")->geometry(), QRect(80, 32, 249, 17));
        QCOMPARE(control("lblTelefono")->geometry(), QRect(88, 80, 89, 17));
    }

    // How an action ended is said to screen readers once, as it ends, with
    // the focus left where it is; what is under way is not.
    void endsOfActionsAreAnnounced()
    {
        enterSearch();
        auto* announcement = search()->findChild<look::Announcement*>();
        QVERIFY(announcement);
        auto* notification = QAccessible::queryAccessibleInterface(announcement);
        QCOMPARE(notification->role(), QAccessible::Notification);
        QCOMPARE(notification->parent()->role(), QAccessible::StatusBar);
        AnnouncementWatch watch(announcement);
        QStringList& announced = watch.said;
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        QTRY_COMPARE_WITH_TIMEOUT(announced, QStringList{u"Conectado con 127.0.0.2."_s}, 2000);
        search(u"7"_s);
        QCOMPARE(received(peer), QByteArray("7"));
        peer->write("Ana*");
        QTest::qWait(20);
        peer->write("961");
        QTRY_COMPARE_WITH_TIMEOUT(announced.size(), 2, 2000);
        QCOMPARE(announced.last(), u"Respuesta recibida."_s);
        QCOMPARE(focusName(), u"cmdBuscar"_s); // where the click left it
        peer->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(announced.size(), 3, 2000);
        QVERIFY2(announced.last().startsWith(u"El servidor cerró la conexión"_s), qPrintable(announced.last()));
        QTest::qWait(2 * look::StatusLine::kSettle.count());
        QCOMPARE(announced.size(), 3);
        QCOMPARE(notification->text(QAccessible::Name), announced.last());
    }

    // The pointer resting on a shortened telephone shows it whole; "Copiar"
    // from its context menu takes it whole, and the focus stays where it was.
    void shortenedTelephoneByPointer()
    {
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(u"1"_s);
        replyWith(peer, "Ana*+52 1 961 976 1527");
        auto* telephone = control<look::ResultLabel>("lblTelefono");
        const QPoint inside = telephone->mapTo(search(), QPoint(30, 8));
        QTest::mouseMove(search()->windowHandle(), inside);
        QTRY_VERIFY_WITH_TIMEOUT(QToolTip::isVisible(), 5000);
        QCOMPARE(QToolTip::text(), u"+52 1 961 976 1527"_s);

        const QString focusBefore = focusName();
        QGuiApplication::clipboard()->clear();
        QTimer::singleShot(0, this, [] {
            QWidget* menu = nullptr;
            if (QTest::qWaitFor([&] { return (menu = QApplication::activePopupWidget()) != nullptr; }, 5000))
                QTest::keyClick(menu, Qt::Key_C);
        });
        QTest::mouseClick(search()->windowHandle(), Qt::RightButton, {}, inside);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"+52 1 961 976 1527"_s);
        // The window's own focus stays put (the offscreen platform does not
        // hand activation back after a popup, a desktop does).
        QVERIFY(search()->focusWidget());
        QCOMPARE(search()->focusWidget()->objectName(), focusBefore);
        QToolTip::hideText();
    }

    // --- Behaviour that needs a server of the test's own -------------------

    void requestIsTheNumberExactly()
    {
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        typeInto("txtNombre", u"no forma parte"_s);
        search(u" ñ12 "_s);
        QCOMPARE(received(peer), QByteArray(" \xF1" "12 "));
    }

    void numberEditedBeforeTheReplyIsShown()
    {
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(u"111"_s);
        QCOMPARE(received(peer), QByteArray("111"));
        typeInto("txtNumero", u"222"_s);
        replyWith(peer, "Ana*1");
        QCOMPARE(text(search(), "lblNumero"), u"222"_s);
    }

    void twoSearchesBeforeAnyReplyTheLastReplyStays()
    {
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(u"1"_s);
        search(u"2"_s);
        // Two requests, each exactly its text, in one read or two.
        QByteArray sent;
        QVERIFY(QTest::qWaitFor([&] { sent += peer->readAll(); return sent.size() >= 2; }, 5000));
        QCOMPARE(sent, QByteArray("12"));
        replyWith(peer, "Uno*1");
        QCOMPARE(text(search(), "lblNombreA"), u"Uno"_s);
        replyWith(peer, "Dos*2");
        QCOMPARE(text(search(), "lblNombreA"), u"Dos"_s);
        QCOMPARE(text(search(), "lblTelefono"), u"2"_s);
    }

    void returningClearsTheBoxesOnly_data()
    {
        QTest::addColumn<int>("via");
        QTest::newRow("from the About window") << int(FormId::Acercade);
        QTest::newRow("from the Usage window") << int(FormId::Uso);
        QTest::newRow("from the Members window") << int(FormId::Integ);
        QTest::newRow("from the welcome window") << int(FormId::Velmario);
    }
    void returningClearsTheBoxesOnly()
    {
        QFETCH(int, via);
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(u"7"_s);
        replyWith(peer, "Eva*77");
        typeInto("txtNombre", u"Eva"_s);
        typeInto("txtNumero", u"7"_s);
        if (FormId(via) == FormId::Velmario) {
            typeKey(Qt::Key_R, Qt::AltModifier);
        } else {
            const char* item = FormId(via) == FormId::Acercade ? "mnuAyuda_Acercade"
                               : FormId(via) == FormId::Uso   ? "mnuAyuda_Uso"
                                                               : "mnuAyuda_Integrantes";
            search()->findChild<QAction*>(QString::fromLatin1(item))->trigger();
        }
        QVERIFY(QTest::qWaitForWindowActive(forms->form(FormId(via))));
        QVERIFY(!search()->isVisible());
        // Back the way a user comes back.
        forms->Hide(FormId(via));
        forms->Show(FormId::BusquedaAl);
        QVERIFY(QTest::qWaitForWindowActive(search()));
        QCOMPARE(text(search(), "txtNombre"), QString());
        QCOMPARE(text(search(), "txtNumero"), QString());
        QCOMPARE(text(search(), "lblNombreA"), u"Eva"_s);
        QCOMPARE(text(search(), "lblTelefono"), u"77"_s);
        QCOMPARE(text(search(), "lblNumero"), u"7"_s);
        QCOMPARE(text(search(), "txtipservidor"), kScriptedAddress.toString());
        QCOMPARE(search()->connection()->State(), int(LookupConnection::Connected));
        QCOMPARE(focusName(), u"txtNombre"_s);
    }

    void activationOnlyOnTheProgramsNavigation()
    {
        enterSearch();
        typeInto("txtNombre", u"Ana"_s);
        // The user switches to another application and back.
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        search()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(search()));
        QCOMPARE(text(search(), "txtNombre"), u"Ana"_s);
    }

    void replyWhileHiddenStillFillsTheLabels()
    {
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(u"5"_s);
        typeKey(Qt::Key_R, Qt::AltModifier);
        QVERIFY(!search()->isVisible());
        replyWith(peer, "Oculto*5");
        QCOMPARE(text(search(), "lblNombreA"), u"Oculto"_s);
        QCOMPARE(text(search(), "lblNumero"), u"5"_s);
    }

    void replyAfterTheNumberWasClearedShowsAnEmptyNumber()
    {
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(u"5"_s);
        QTest::mouseClick(control("cmdVolver"), Qt::LeftButton);
        replyWith(peer, "Tarde*5");
        QCOMPARE(text(search(), "lblNombreA"), u"Tarde"_s);
        QCOMPARE(text(search(), "lblNumero"), QString());
    }

    void conectarTwiceReconnects()
    {
        enterSearch();
        QTcpSocket* first = connectScripted();
        QVERIFY(first);
        QSignalSpy firstEnded(first, &QTcpSocket::disconnected);
        QTest::mouseClick(control("Command1"), Qt::LeftButton);
        QVERIFY(firstEnded.count() == 1 || firstEnded.wait(5000));
        QTRY_COMPARE_WITH_TIMEOUT(search()->connection()->State(), int(LookupConnection::Connected), 5000);
        QVERIFY(acceptWindowsConnection());
    }

    void closingTheWindowClosesTheConnection()
    {
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        QSignalSpy ended(peer, &QTcpSocket::disconnected);
        search()->close();
        QVERIFY(ended.count() == 1 || ended.wait(5000));
        QVERIFY(!forms->isLoaded(FormId::BusquedaAl));
    }

    // --- What goes wrong is told, and changes nothing else ------------------

    void failuresAreToldAndKeepTheState_data()
    {
        QTest::addColumn<QString>("address");  // empty: stay unconnected
        QTest::addColumn<QString>("number");
        QTest::addColumn<QByteArray>("reply"); // what the scripted server answers
        QTest::addColumn<bool>("serverCloses");
        QTest::addColumn<QString>("status");
        QTest::newRow("Buscar with no connection") << QString() << u"1"_s << QByteArray() << false
                                                   << u"No hay conexión"_s;
        QTest::newRow("empty number") << u"127.0.0.2"_s << QString() << QByteArray() << false
                                      << u"Escriba un número de control"_s;
        QTest::newRow("number of spaces only") << u"127.0.0.2"_s << u"    "_s << QByteArray() << false
                                               << u"Escriba un número de control: no se envió nada."_s;
        QTest::newRow("number that cannot be sent") << u"127.0.0.2"_s << u"12中"_s << QByteArray() << false
                                                    << u"no se pueden enviar"_s;
        QTest::newRow("server closes") << u"127.0.0.2"_s << u"1"_s << QByteArray() << true
                                       << u"El servidor cerró la conexión"_s;
    }
    void failuresAreToldAndKeepTheState()
    {
        QFETCH(QString, address);
        QFETCH(QString, number);
        QFETCH(QByteArray, reply);
        QFETCH(bool, serverCloses);
        QFETCH(QString, status);
        enterSearch();
        // A previous answer that must survive.
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(u"9"_s);
        QCOMPARE(received(peer), QByteArray("9"));
        replyWith(peer, "Previo*99");
        if (address.isEmpty()) {
            search()->connection()->Close();
            typeInto("txtipservidor", u"nada"_s);
        }
        if (serverCloses) {
            peer->disconnectFromHost();
            QTRY_COMPARE_WITH_TIMEOUT(search()->connection()->State(), int(LookupConnection::Closing), 5000);
        } else {
            typeInto("txtNumero", number);
            QTest::mouseClick(control("cmdBuscar"), Qt::LeftButton);
        }
        QVERIFY2(search()->status().contains(status), qPrintable(search()->status()));
        QCOMPARE(text(search(), "lblNombreA"), u"Previo"_s);
        QCOMPARE(text(search(), "lblTelefono"), u"99"_s);
        QCOMPARE(text(search(), "lblNumero"), u"9"_s);
        QVERIFY(search()->isVisible());
        QVERIFY(!forms->hasEnded());
        if (!address.isEmpty() && !serverCloses) {
            // The failed Buscar sent nothing: the next request arrives alone.
            search(u"5"_s);
            QCOMPARE(received(peer), QByteArray("5"));
        }
    }

    void connectFailuresAreTold_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("status");
        QTest::newRow("empty address") << QString() << u"Escriba la dirección del servidor"_s;
        // A name the resolver refuses without asking a name server.
        QTest::newRow("unknown host") << u"servidor inexistente"_s << u"No se pudo resolver el nombre servidor inexistente."_s;
        QTest::newRow("nobody listening") << u"127.0.0.3"_s << u"rechazó la conexión"_s;
    }
    void connectFailuresAreTold()
    {
        QFETCH(QString, address);
        QFETCH(QString, status);
        enterSearch();
        if (!address.isEmpty())
            typeInto("txtipservidor", address);
        QTest::mouseClick(control("Command1"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(search()->connection()->State(), int(LookupConnection::Error), 10000);
        QVERIFY2(search()->status().contains(status), qPrintable(search()->status()));
        QCOMPARE(text(search(), "txtipservidor"), address);
    }

    // The status line tells the connection's present state: nothing that
    // ends a lookup leaves "Consultando..." behind, even a moment later.
    void statusIsAlwaysTheConnectionsState_data()
    {
        QTest::addColumn<QString>("after"); // what follows a Buscar on a connection
        QTest::addColumn<QString>("status");
        QTest::newRow("the server closes") << u"close"_s
                                           << u"El servidor cerró la conexión: pulse Conectar para volver a conectar."_s;
        QTest::newRow("the server resets") << u"reset"_s
                                           << u"El servidor cerró la conexión: pulse Conectar para volver a conectar."_s;
        QTest::newRow("Conectar again") << u"conectar"_s << u"Conectado con 127.0.0.2."_s;
        QTest::newRow("a reply, then Volver a buscar") << u"volver"_s << u"Conectado con 127.0.0.2."_s;
    }
    void statusIsAlwaysTheConnectionsState()
    {
        QFETCH(QString, after);
        QFETCH(QString, status);
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(u"4"_s);
        QCOMPARE(received(peer), QByteArray("4"));
        if (after == u"close"_s || after == u"reset"_s) {
            if (after == u"reset"_s) {
                const linger reset{1, 0};
                ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                peer->abort();
            } else {
                peer->disconnectFromHost();
            }
            QTRY_COMPARE_WITH_TIMEOUT(search()->connection()->State(), int(LookupConnection::Closing), 5000);
        } else if (after == u"conectar"_s) {
            typeKey(Qt::Key_C, Qt::AltModifier);
            QTRY_COMPARE_WITH_TIMEOUT(search()->connection()->State(), int(LookupConnection::Connected), 5000);
        } else {
            replyWith(peer, "Ana*1");
            QCOMPARE(search()->status(), u"Respuesta recibida."_s);
            typeKey(Qt::Key_V, Qt::AltModifier);
        }
        QCOMPARE(search()->status(), status);
        QTest::qWait(300); // past the moment a slow reply is announced
        QCOMPARE(search()->status(), status);
    }

    void buscarWhileConnectingSaysSoAndSendsNothing()
    {
        StalledListener stalled("127.0.0.5", 1007);
        QVERIFY(stalled.isListening());
        enterSearch();
        AnnouncementWatch watch(search()->findChild<look::Announcement*>());
        typeInto("txtipservidor", u"127.0.0.5"_s);
        typeKey(Qt::Key_C, Qt::AltModifier);
        typeKey(Qt::Key_C, Qt::AltModifier); // closes the first attempt, starts again
        QCOMPARE(search()->connection()->State(), int(LookupConnection::Connecting));
        // Under way: nothing is announced, not even the close before it.
        QTest::qWait(3 * look::StatusLine::kSettle.count());
        QCOMPARE(watch.said, QStringList());
        search(u"8"_s);
        const QString refused = u"Todavía se está estableciendo la conexión con 127.0.0.5: no se envió nada."_s;
        QCOMPARE(search()->status(), refused);
        QTRY_COMPARE(watch.said, QStringList{refused});
        search()->connection()->Close();
    }

    // Too long for its line, the status is cut in the middle, never wrapped,
    // and shown whole when the pointer rests on it.
    void longStatusIsElidedAndWholeOnHover()
    {
        enterSearch();
        const QString host = u"un servidor con un nombre largo que no cabe en la línea de estado"_s;
        typeInto("txtipservidor", host);
        typeKey(Qt::Key_C, Qt::AltModifier);
        QTRY_COMPARE_WITH_TIMEOUT(search()->connection()->State(), int(LookupConnection::Error), 10000);
        const QString whole = u"No se pudo resolver el nombre "_s + host + u'.';
        QCOMPARE(search()->status(), whole);
        auto* line = control<look::StatusLine>("lblEstado");
        QCOMPARE(line->lines(), QStringList{u"No se pudo resolver el nombre un ser…o que no cabe en la línea de estado."_s});
        QCOMPARE(line->size(), QSize(373, 16));

        QTest::mouseMove(search()->windowHandle(), line->mapTo(search(), QPoint(100, 8)));
        QTRY_VERIFY_WITH_TIMEOUT(QToolTip::isVisible(), 5000);
        QCOMPARE(QToolTip::text(), whole);

        // A status that fits brings no tooltip.
        search()->connection()->Close();
        QCOMPARE(line->lines(), QStringList{u"Sin conexión."_s});
        QToolTip::hideText();
        QTest::mouseMove(search()->windowHandle(), line->mapTo(search(), QPoint(20, 8)));
        QTest::qWait(1000); // longer than the tooltip's delay
        QVERIFY(!QToolTip::isVisible());
    }

    // A lookup the server leaves unanswered: after 5 s the line says so,
    // naming the number, the connection stays, and a late reply is shown.
    void unansweredLookupIsToldAfterFiveSeconds()
    {
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(u"20230004"_s);
        QCOMPARE(received(peer), QByteArray("20230004"));
        QTRY_COMPARE_WITH_TIMEOUT(search()->status(), u"Consultando el número 20230004..."_s, 1000);
        QTest::qWait(4500);
        QCOMPARE(search()->status(), u"Consultando el número 20230004..."_s);
        QTRY_COMPARE_WITH_TIMEOUT(search()->status(),
                                  u"El servidor aún no responde al número 20230004: se mostrará si llega."_s,
                                  1500);
        QCOMPARE(search()->connection()->State(), int(LookupConnection::Connected));
        replyWith(peer, "Tarde*961-000-0000");
        QCOMPARE(text(search(), "lblNombreA"), u"Tarde"_s);
        QCOMPARE(text(search(), "lblNumero"), u"20230004"_s);
        QCOMPARE(search()->status(), u"Respuesta recibida."_s);
    }

    // Odd replies are shown as text, and however TCP cuts a reply (pieces
    // written 50 ms apart) the window ends showing the whole of it.
    void oddRepliesAreShownAsText_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("telephone");
        QTest::addColumn<QString>("status");
        QTest::newRow("name, then telephone")
            << QList<QByteArray>{"Jos\xE9 Pe\xF1""a Ib\xE1\xF1""ez*", "961-976-1527"} << u"José Peña Ibáñez"_s
            << u"961-976-1527"_s << u"Respuesta recibida."_s;
        QTest::newRow("three pieces") << QList<QByteArray>{"Ana ", "L\xF3pez*961-", "976"} << u"Ana López"_s
                                      << u"961-976"_s << u"Respuesta recibida."_s;
        QTest::newRow("past the limit") << QList<QByteArray>{QByteArray(lookup::kMaxReplyLength, '5'), "*5555"}
                                        << QString(lookup::kMaxReplyLength, u'5') << QString()
                                        << u"Respuesta demasiado larga: se muestran sus primeros 65536 caracteres."_s;
        QTest::newRow("only a star") << QList<QByteArray>{"*"} << QString() << QString()
                                     << u"Respuesta vacía: el servidor no envió nombre ni teléfono."_s;
        QTest::newRow("no star") << QList<QByteArray>{"Sin estrella"} << u"Sin estrella"_s << QString()
                                 << u"Respuesta sin \"*\": se muestra entera como nombre."_s;
        QTest::newRow("no star, too long for the label")
            << QList<QByteArray>{"Una respuesta sin estrella demasiado larga para la etiqueta del nombre"}
            << u"Una respuesta sin estrella demasiado larga para la etiqueta del nombre"_s << QString()
            << u"Respuesta sin \"*\", recortada como nombre: pase el puntero encima."_s;
        QTest::newRow("HTML") << QList<QByteArray>{"<b>Ana</b> &amp;*<i>1</i>"} << u"<b>Ana</b> &amp;"_s
                              << u"<i>1</i>"_s << u"Respuesta recibida"_s;
        QTest::newRow("control characters") << QList<QByteArray>{"A\r\nB\x1b[2J*\t1"} << u"A\r\nB\x1b[2J"_s
                                            << u"\t1"_s << u"Respuesta recibida"_s;
        QTest::newRow("accelerator ampersand") << QList<QByteArray>{"&Ana*&1"} << u"&Ana"_s << u"&1"_s
                                               << u"Respuesta recibida"_s;
    }
    void oddRepliesAreShownAsText()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QString, name);
        QFETCH(QString, telephone);
        QFETCH(QString, status);
        enterSearch();
        QTcpSocket* peer = connectScripted();
        QVERIFY(peer);
        search(u"3"_s);
        QCOMPARE(received(peer), QByteArray("3"));
        for (const QByteArray& piece : pieces) {
            peer->write(piece);
            QTest::qWait(50);
        }
        QTRY_VERIFY2_WITH_TIMEOUT(search()->status().contains(status), qPrintable(search()->status()), 5000);
        QCOMPARE(text(search(), "lblNombreA"), name);
        QCOMPARE(text(search(), "lblTelefono"), telephone);
        QCOMPARE(text(search(), "lblNumero"), u"3"_s);
        for (const QString& line : control<look::Label>("lblNombreA")->lines())
            for (QChar c : line)
                QVERIFY(c.unicode() >= 0x20);
    }
};

VELMARIO_TEST_MAIN(TestSearch)
#include "tst_search.moc"
