// The welcome window and the window registry behind navigation.
#include "testsupport.h"

#include "frmvelmario.h"

#include <QFontInfo>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>

using namespace Qt::StringLiterals;
using namespace velmario;
using namespace velmario::testing;

using Keys = QList<QKeyCombination>;

Q_DECLARE_METATYPE(velmario::FormId)

class TestWelcome : public QObject
{
    Q_OBJECT

    std::unique_ptr<Forms> forms;

    QWidget* welcome() { return forms->form(FormId::Velmario); }

    void start()
    {
        forms->Show(FormId::Velmario);
        QVERIFY(QTest::qWaitForWindowActive(welcome()));
    }

private slots:
    void init() { forms = std::make_unique<Forms>(); }
    void cleanup() { forms.reset(); }

    void windowDesign()
    {
        start();
        QWidget* w = welcome();
        QCOMPARE(w->windowTitle(), u"Bienvenidos"_s);
        QCOMPARE(w->size(), QSize(309, 242));
        QCOMPARE(w->palette().color(QPalette::Window), QColor(Qt::black));
        QCOMPARE(QFontInfo(w->font()).pixelSize(), 11);
        const QRect screen = w->screen()->geometry();
        QVERIFY(qAbs(w->geometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(w->geometry().center().y() - screen.center().y()) <= 1);
        QVERIFY(!w->windowIcon().isNull());
        QVERIFY(w->windowFlags() & Qt::WindowMaximizeButtonHint);
    }

    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("emblem") << u"Image2"_s << QRect(24, 8, 100, 83);
        QTest::newRow("banner") << u"Image1"_s << QRect(22, 104, 265, 65);
        QTest::newRow("Entrar") << u"cmdEntrar"_s << QRect(72, 192, 81, 33);
        QTest::newRow("Salir") << u"cmdSalir"_s << QRect(168, 192, 81, 33);
    }
    void controls()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        auto* control = child<QWidget>(welcome(), name);
        QVERIFY(control);
        QCOMPARE(control->geometry(), geometry);
    }

    void pictures()
    {
        for (const QString& name : {u"Image1"_s, u"Image2"_s}) {
            auto* picture = child<QLabel>(welcome(), name);
            QVERIFY(picture);
            QVERIFY(picture->hasScaledContents());
            QVERIFY(!picture->pixmap().isNull());
            QVERIFY(!picture->accessibleName().isEmpty());
            QCOMPARE(picture->focusPolicy(), Qt::NoFocus);
        }
        QCOMPARE(child<QLabel>(welcome(), u"Image2"_s)->pixmap().size(), QSize(212, 171));
        QCOMPARE(child<QLabel>(welcome(), u"Image1"_s)->pixmap().size(), QSize(600, 100));
    }

    void titleSizedToItsCaption()
    {
        auto* title = child<look::Label>(welcome(), u"lblvosk"_s);
        QVERIFY(title);
        QCOMPARE(title->caption(), u"Velmario Telefónico"_s);
        const QFont font = title->font();
        QCOMPARE(QFontInfo(font).pixelSize(), 15);
        QVERIFY(font.bold());
        QVERIFY(font.italic());
        QCOMPARE(title->frameWidth(), 2);
        const QFontMetrics metrics(font);
        QCOMPARE(title->geometry(),
                 QRect(136, 40, metrics.horizontalAdvance(u"Velmario Telefónico"_s) + 4, metrics.height() + 4));
        QCOMPARE(title->palette().color(QPalette::WindowText), QColor(255, 128, 0));
        QCOMPARE(title->palette().color(QPalette::Window), QColor(Qt::black));
        QCOMPARE(title->focusPolicy(), Qt::NoFocus);
        // Nothing overlaps the title, however its caption measures.
        QVERIFY(!title->geometry().intersects(child<QWidget>(welcome(), u"Image2"_s)->geometry()));
        QVERIFY(!title->geometry().intersects(child<QWidget>(welcome(), u"Image1"_s)->geometry()));
    }

    void buttons_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::newRow("Entrar") << u"cmdEntrar"_s << u"&Entrar"_s;
        QTest::newRow("Salir") << u"cmdSalir"_s << u"&Salir"_s;
    }
    void buttons()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        auto* button = child<QPushButton>(welcome(), name);
        QVERIFY(button);
        QCOMPARE(button->text(), caption);
        QCOMPARE(button->palette().color(QPalette::Button), QColor(255, 128, 0));
        QCOMPARE(QFontInfo(button->font()).pixelSize(), 13);
        QVERIFY(!button->font().bold());
    }

    void focusStartsOnEntrarAndTabCyclesTheButtons()
    {
        start();
        QCOMPARE(focusName(), u"cmdEntrar"_s);
        const QStringList forward = {u"cmdSalir"_s, u"cmdEntrar"_s, u"cmdSalir"_s};
        for (const QString& expected : forward) {
            typeKey(Qt::Key_Tab);
            QCOMPARE(focusName(), expected);
        }
        typeKey(Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(focusName(), u"cmdEntrar"_s);
    }

    // What a key does on the welcome window just after start-up.
    void keyboard_data()
    {
        QTest::addColumn<Keys>("keys");
        QTest::addColumn<bool>("ends");
        QTest::newRow("Enter enters") << Keys{Qt::Key_Return} << false;
        QTest::newRow("keypad Enter enters") << Keys{Qt::Key_Enter | Qt::KeypadModifier} << false;
        QTest::newRow("Space enters") << Keys{Qt::Key_Space} << false;
        QTest::newRow("Alt+E enters") << Keys{Qt::Key_E | Qt::AltModifier} << false;
        QTest::newRow("Escape ends") << Keys{Qt::Key_Escape} << true;
        QTest::newRow("Alt+S ends") << Keys{Qt::Key_S | Qt::AltModifier} << true;
        QTest::newRow("Tab then Enter ends") << Keys{Qt::Key_Tab, Qt::Key_Return} << true;
        QTest::newRow("Tab then Escape ends") << Keys{Qt::Key_Tab, Qt::Key_Escape} << true;
        QTest::newRow("Tab twice then Enter enters")
            << Keys{Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Return} << false;
    }
    void keyboard()
    {
        QFETCH(Keys, keys);
        QFETCH(bool, ends);
        start();
        QSignalSpy ended(forms.get(), &Forms::ended);
        for (const QKeyCombination key : keys)
            typeKey(key.key(), key.keyboardModifiers());
        QCOMPARE(ended.count(), ends ? 1 : 0);
        QCOMPARE(forms->hasEnded(), ends);
        if (!ends) {
            QVERIFY(!welcome()->isVisible());
            QVERIFY(forms->isLoaded(FormId::BusquedaAl));
            QVERIFY(forms->form(FormId::BusquedaAl)->isVisible());
        }
    }

    // Whatever had the focus when a window was left, showing it again puts
    // the focus on its first control in tab order, as at its first showing.
    void everyShowStartsAtTheFirstControl_data()
    {
        QTest::addColumn<FormId>("id");
        QTest::addColumn<Keys>("moveAway"); // typed in the window before leaving it
        QTest::addColumn<QString>("first");
        QTest::newRow("welcome after Salir had the focus") << FormId::Velmario << Keys{Qt::Key_Tab}
                                                          << u"cmdEntrar"_s;
        QTest::newRow("Usage after Aceptar had the focus") << FormId::Uso << Keys{Qt::Key_Tab}
                                                          << u"Picture1"_s;
        QTest::newRow("About") << FormId::Acercade << Keys{Qt::Key_Tab} << u"cmdAceptar"_s;
        QTest::newRow("Members") << FormId::Integ << Keys{Qt::Key_Tab} << u"cmdAceptar"_s;
    }
    void everyShowStartsAtTheFirstControl()
    {
        QFETCH(FormId, id);
        QFETCH(Keys, moveAway);
        QFETCH(QString, first);
        start();
        typeKey(Qt::Key_Return);
        QWidget* search = forms->form(FormId::BusquedaAl);
        QVERIFY(QTest::qWaitForWindowActive(search));
        // There and back by keys: Regresar and Entrar, or Ayuda and Aceptar.
        const auto open = [&] {
            if (id == FormId::Velmario)
                typeKey(Qt::Key_R, Qt::AltModifier);
            else
                search->findChild<QAction*>(QString::fromLatin1(helpItem(id)))->trigger();
            return QTest::qWaitForWindowActive(forms->form(id));
        };
        QVERIFY(open());
        for (const QKeyCombination key : moveAway)
            typeKey(key.key(), key.keyboardModifiers());
        typeKey(id == FormId::Velmario ? Qt::Key_E : Qt::Key_A, Qt::AltModifier);
        QVERIFY(QTest::qWaitForWindowActive(search));
        QVERIFY(open());
        QCOMPARE(focusName(), first);
        // Enter does what it did at start-up; it never ends the program.
        typeKey(Qt::Key_Return);
        QVERIFY(!forms->hasEnded());
    }

    void clicksNavigate()
    {
        start();
        QTest::mouseClick(child<QPushButton>(welcome(), u"cmdEntrar"_s), Qt::LeftButton);
        QVERIFY(forms->form(FormId::BusquedaAl)->isVisible());
        forms->Hide(FormId::BusquedaAl);
        forms->Show(FormId::Velmario);
        QSignalSpy ended(forms.get(), &Forms::ended);
        QTest::mouseClick(child<QPushButton>(welcome(), u"cmdSalir"_s), Qt::LeftButton);
        QCOMPARE(ended.count(), 1);
    }

    void resizingMovesNothing()
    {
        start();
        QList<QRect> before;
        const auto children = welcome()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (QWidget* c : children)
            before.append(c->geometry());
        welcome()->resize(600, 500);
        QCoreApplication::processEvents();
        welcome()->resize(120, 100);
        QCoreApplication::processEvents();
        for (qsizetype i = 0; i < children.size(); ++i)
            QCOMPARE(children[i]->geometry(), before[i]);
    }

    // --- The registry -------------------------------------------------------

    void oneInstancePerWindowAndHideKeepsIt()
    {
        QWidget* first = forms->form(FormId::Acercade);
        QVERIFY(forms->isLoaded(FormId::Acercade));
        QVERIFY(!first->isVisible()); // referring to a window does not show it
        forms->Show(FormId::Acercade);
        forms->Hide(FormId::Acercade);
        QVERIFY(forms->isLoaded(FormId::Acercade));
        forms->Show(FormId::Acercade);
        QCOMPARE(forms->form(FormId::Acercade), first);
        QVERIFY(!forms->isLoaded(FormId::Uso)); // nothing created in advance
    }

    void hideCreatesAHiddenWindow()
    {
        QVERIFY(!forms->isLoaded(FormId::Integ));
        forms->Hide(FormId::Integ);
        QVERIFY(forms->isLoaded(FormId::Integ));
        QVERIFY(!forms->form(FormId::Integ)->isVisible());
    }

    void closeBoxUnloadsAndTheNextShowIsFresh()
    {
        start();
        forms->Show(FormId::Acercade);
        QPointer<QWidget> first = forms->form(FormId::Acercade);
        QSignalSpy unloaded(forms.get(), &Forms::unloaded);
        QVERIFY(first->close());
        QCOMPARE(unloaded.count(), 1);
        QCOMPARE(unloaded.at(0).at(0).value<FormId>(), FormId::Acercade);
        QVERIFY(!forms->isLoaded(FormId::Acercade));
        QVERIFY(!forms->hasEnded()); // the welcome window is still shown
        QTRY_VERIFY(first.isNull());
        forms->Show(FormId::Acercade);
        QVERIFY(forms->isLoaded(FormId::Acercade));
    }

    void closingTheLastVisibleWindowEndsAndUnloadsEverything()
    {
        start();
        forms->Hide(FormId::Velmario);
        forms->Show(FormId::BusquedaAl);
        QSignalSpy unloaded(forms.get(), &Forms::unloaded);
        QSignalSpy ended(forms.get(), &Forms::ended);
        forms->form(FormId::BusquedaAl)->close();
        QCOMPARE(ended.count(), 1);
        QCOMPARE(unloaded.count(), 2);
        QVERIFY(!forms->isLoaded(FormId::Velmario));
        QVERIFY(!forms->isLoaded(FormId::BusquedaAl));
    }

    void endRunsNoUnloadHandler()
    {
        start();
        forms->Hide(FormId::Velmario);
        forms->Show(FormId::BusquedaAl);
        QSignalSpy unloaded(forms.get(), &Forms::unloaded);
        forms->End();
        QVERIFY(forms->hasEnded());
        QCOMPARE(unloaded.count(), 0);
        QVERIFY(forms->isLoaded(FormId::BusquedaAl));
        QVERIFY(!forms->form(FormId::BusquedaAl)->isVisible());
        forms->Show(FormId::Velmario); // nothing runs after the end
        QVERIFY(!welcome()->isVisible());
    }
};

VELMARIO_TEST_MAIN(TestWelcome)
#include "tst_welcome.moc"
