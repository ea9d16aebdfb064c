// The three Help windows: About, Usage and Members.
#include "testsupport.h"

#include "info/infowindow.h"
#include "search/frmbusquedaal.h"

#include <QFontInfo>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>

using namespace Qt::StringLiterals;
using namespace velmario;
using namespace velmario::testing;

Q_DECLARE_METATYPE(velmario::FormId)

class TestInfo : public QObject
{
    Q_OBJECT

    std::unique_ptr<Forms> forms;

    QWidget* window(FormId id) { return forms->form(id); }

    // Opens a Help window from the search window's menu, as a user does.
    QWidget* openFromHelpMenu(FormId id)
    {
        if (!forms->form(FormId::BusquedaAl)->isVisible()) {
            forms->Show(FormId::BusquedaAl);
            if (!QTest::qWaitForWindowActive(forms->form(FormId::BusquedaAl)))
                return nullptr;
        }
        forms->form(FormId::BusquedaAl)->findChild<QAction*>(QString::fromLatin1(helpItem(id)))->trigger();
        if (!QTest::qWaitForWindowActive(window(id)))
            return nullptr;
        return window(id);
    }

    static void windows_data()
    {
        QTest::addColumn<FormId>("id");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRect>("aceptar");
        QTest::addColumn<QString>("firstFocus");
        QTest::newRow("About") << FormId::Acercade << u"Acerca del Velmario"_s << QSize(268, 262)
                               << QRect(88, 208, 81, 33) << u"cmdAceptar"_s;
        QTest::newRow("Usage") << FormId::Uso << u"Uso del Velmario"_s << QSize(286, 312)
                               << QRect(103, 256, 81, 33) << u"Picture1"_s;
        QTest::newRow("Members") << FormId::Integ << u"Integrantes"_s << QSize(285, 287)
                                 << QRect(98, 240, 81, 33) << u"cmdAceptar"_s;
    }

private slots:
    void init() { forms = std::make_unique<Forms>(); }
    void cleanup() { forms.reset(); }

    void design_data() { windows_data(); }
    void design()
    {
        QFETCH(FormId, id);
        QFETCH(QString, caption);
        QFETCH(QSize, size);
        QFETCH(QRect, aceptar);
        QWidget* w = openFromHelpMenu(id);
        QVERIFY(w);
        QCOMPARE(w->windowTitle(), caption);
        QCOMPARE(w->size(), size);
        QCOMPARE(w->palette().color(QPalette::Window), QColor(Qt::black));
        const QRect screen = w->screen()->geometry();
        QVERIFY(qAbs(w->geometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(w->geometry().center().y() - screen.center().y()) <= 1);
        auto* button = child<QPushButton>(w, u"cmdAceptar"_s);
        QVERIFY(button);
        QCOMPARE(button->geometry(), aceptar);
        QCOMPARE(button->text(), u"&Aceptar"_s);
        QCOMPARE(button->palette().color(QPalette::Button), QColor(255, 128, 0));
        QCOMPARE(QFontInfo(button->font()).pixelSize(), 13);
    }

    void labels_data()
    {
        QTest::addColumn<FormId>("id");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<int>("lineCount"); // 0: whatever fits
        QTest::newRow("credits") << FormId::Acercade << u"lblAcerca"_s << QRect(24, 24, 225, 169) << 0;
        QTest::newRow("steps") << FormId::Uso << u"Label1"_s << QRect(24, 96, 225, 137) << 8;
        QTest::newRow("members") << FormId::Integ << u"lblIntegrantes"_s << QRect(39, 136, 207, 85) << 5;
    }
    // The wrapped labels hold all their lines, with the font as resolved.
    void labels()
    {
        QFETCH(FormId, id);
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(int, lineCount);
        auto* label = child<look::Label>(window(id), name);
        QVERIFY(label);
        QCOMPARE(label->geometry(), geometry);
        QCOMPARE(QFontInfo(label->font()).pixelSize(), 15);
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor(255, 128, 0));
        const QStringList lines = label->lines();
        if (lineCount)
            QCOMPARE(lines.size(), lineCount);
        const QFontMetrics metrics(label->font());
        QVERIFY2(lines.size() * metrics.height() <= geometry.height(),
                 qPrintable(u"%1 lines of %2 px in %3 px"_s.arg(lines.size()).arg(metrics.height()).arg(geometry.height())));
        for (const QString& line : lines) {
            QVERIFY2(!line.startsWith(u' '), qPrintable(line));
            QVERIFY2(metrics.horizontalAdvance(line) <= geometry.width(), qPrintable(line));
        }
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
    }

    void creditsParagraph()
    {
        const QString credits = child<look::Label>(window(FormId::Acercade), u"lblAcerca"_s)->caption();
        QVERIFY(qAbs(credits.size() - 266) <= 10);
        QVERIFY(!credits.contains(u'\n'));
    }

    void usageStepsStartTheirLines()
    {
        auto* label = child<look::Label>(window(FormId::Uso), u"Label1"_s);
        const QString caption = label->caption();
        QVERIFY(caption.startsWith(u"1- Ingresar al velmario(dar le click en el botón de entrar)."_s));
        QVERIFY(caption.contains(u"entrar)."_s + QString(21, u' ') + u"2- "_s));
        QVERIFY(caption.contains(u"necesita."_s + QString(13, u' ') + u"3- "_s));
        QVERIFY(caption.contains(u"buscar."_s + QString(11, u' ') + u"4- "_s));
        QVERIFY(caption.endsWith(u"4- Dar click en el botón de Buscar correspondiente."_s));
        QStringList starts;
        for (const QString& line : label->lines()) {
            if (line.size() > 1 && line[0].isDigit() && line[1] == u'-')
                starts << line.left(2);
        }
        QCOMPARE(starts, (QStringList{u"1-"_s, u"2-"_s, u"3-"_s, u"4-"_s}));
        QCOMPARE(label->lines().at(0).left(2), u"1-"_s);
        QCOMPARE(label->lines().at(2).left(2), u"2-"_s);
        QCOMPARE(label->lines().at(4).left(2), u"3-"_s);
        QCOMPARE(label->lines().at(6).left(2), u"4-"_s);

        auto* heading = child<look::Label>(window(FormId::Uso), u"lbl1"_s);
        QCOMPARE(heading->caption(), u"Pasos: "_s);
        const QFontMetrics metrics(heading->font());
        QCOMPARE(heading->geometry(), QRect(32, 72, metrics.horizontalAdvance(u"Pasos: "_s), metrics.height()));
    }

    void membersEachOnALine()
    {
        auto* label = child<look::Label>(window(FormId::Integ), u"lblIntegrantes"_s);
        const QStringList names = label->caption().split(QRegularExpression(u" {2,}"_s));
        QCOMPARE(names.size(), 5);
        QCOMPARE(label->lines(), names); // no name split, none shares a line
    }

    void pictures()
    {
        auto* box = child<look::PictureBox>(window(FormId::Uso), u"Picture1"_s);
        QVERIFY(box);
        QCOMPARE(box->geometry(), QRect(168, 8, 81, 73));
        QCOMPARE(box->picture().size(), QSize(80, 71));
        QVERIFY(box->picture().hasAlphaChannel()); // the transparent ground
        // The inner area is a few pixels smaller than the picture.
        QVERIFY(box->contentsRect().width() < 80 && box->contentsRect().width() >= 74);
        QVERIFY(box->contentsRect().height() < 71 && box->contentsRect().height() >= 65);
        QCOMPARE(box->palette().color(QPalette::Window), QColor(Qt::white));

        auto* photo = child<QLabel>(window(FormId::Integ), u"Image1"_s);
        QVERIFY(photo);
        QCOMPARE(photo->geometry(), QRect(66, 16, 152, 112));
        QVERIFY(photo->hasScaledContents());
        QCOMPARE(photo->pixmap().size(), QSize(640, 480));
        QCOMPARE(photo->focusPolicy(), Qt::NoFocus);
    }

    void membersWindowHasAFixedFrame()
    {
        QWidget* w = window(FormId::Integ);
        const Qt::WindowFlags flags = w->windowFlags();
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QCOMPARE(w->minimumSize(), QSize(285, 287));
        QCOMPARE(w->maximumSize(), QSize(285, 287));
        // The other two are ordinary sizable windows.
        QVERIFY(window(FormId::Acercade)->windowFlags() & Qt::WindowMaximizeButtonHint);
        QVERIFY(window(FormId::Uso)->maximumSize().width() > 286);
    }

    void focusAndKeys_data() { windows_data(); }
    void focusAndKeys()
    {
        QFETCH(FormId, id);
        QFETCH(QString, firstFocus);
        QWidget* w = openFromHelpMenu(id);
        QVERIFY(w);
        QCOMPARE(focusName(), firstFocus);
        // Escape does nothing anywhere; Tab cycles the focusable controls only.
        typeKey(Qt::Key_Escape);
        QVERIFY(w->isVisible());
        QStringList seen;
        for (int i = 0; i < 4; ++i) {
            typeKey(Qt::Key_Tab);
            seen << focusName();
        }
        if (id == FormId::Uso)
            QCOMPARE(seen, (QStringList{u"cmdAceptar"_s, u"Picture1"_s, u"cmdAceptar"_s, u"Picture1"_s}));
        else
            QCOMPARE(seen, (QStringList{4, u"cmdAceptar"_s}));
        QCOMPARE(focusName(), firstFocus);
        if (id == FormId::Uso) {
            // On the picture box, Enter and Space do nothing.
            typeKey(Qt::Key_Return);
            typeKey(Qt::Key_Space);
            QVERIFY(w->isVisible());
        }
        // Enter on Aceptar, or Alt+A from anywhere, returns at once.
        if (id == FormId::Uso)
            typeKey(Qt::Key_A, Qt::AltModifier);
        else
            typeKey(Qt::Key_Return);
        QVERIFY(!w->isVisible());
        QVERIFY(forms->form(FormId::BusquedaAl)->isVisible());
    }

    void helpShowsBeforeItHides_data() { windows_data(); }
    void helpShowsBeforeItHides()
    {
        QFETCH(FormId, id);
        forms->Show(FormId::BusquedaAl);
        QWidget* search = forms->form(FormId::BusquedaAl);
        QWidget* help = window(id);
        bool helpVisibleWhenSearchHid = false;
        struct Watch : QObject {
            QWidget* help;
            bool* seen;
            bool eventFilter(QObject*, QEvent* e) override
            {
                if (e->type() == QEvent::Hide)
                    *seen = help->isVisible();
                return false;
            }
        } watch;
        watch.help = help;
        watch.seen = &helpVisibleWhenSearchHid;
        search->installEventFilter(&watch);
        search->findChild<QAction*>(QString::fromLatin1(helpItem(id)))->trigger();
        search->removeEventFilter(&watch);
        QVERIFY(helpVisibleWhenSearchHid);
        QVERIFY(!search->isVisible());
    }

    void aceptarReturnsToTheSameSearchWindow_data() { windows_data(); }
    void aceptarReturnsToTheSameSearchWindow()
    {
        QFETCH(FormId, id);
        forms->Show(FormId::Velmario);
        forms->Hide(FormId::Velmario);
        auto* search = forms->form<frmBusquedaAl>(FormId::BusquedaAl);
        QWidget* first = openFromHelpMenu(id);
        QVERIFY(first);
        first->move(first->pos() + QPoint(30, 20));
        const QPoint movedTo = first->pos();
        QTest::mouseClick(child<QPushButton>(first, u"cmdAceptar"_s), Qt::LeftButton);
        QVERIFY(search->isVisible());
        QVERIFY(!forms->form(FormId::Velmario)->isVisible()); // never the welcome window
        QCOMPARE(forms->form<frmBusquedaAl>(FormId::BusquedaAl), search);
        // The same instance again, where it last stood.
        QCOMPARE(openFromHelpMenu(id), first);
        QCOMPARE(first->pos(), movedTo);
    }

    void closeBoxThenAFreshInstance_data() { windows_data(); }
    void closeBoxThenAFreshInstance()
    {
        QFETCH(FormId, id);
        forms->Show(FormId::Velmario); // stays loaded, so closing ends nothing
        forms->Hide(FormId::Velmario);
        QPointer<QWidget> first = openFromHelpMenu(id);
        QVERIFY(first);
        forms->Show(FormId::BusquedaAl);
        first->close();
        QVERIFY(!forms->isLoaded(id));
        QTRY_VERIFY(first.isNull());
        QVERIFY(openFromHelpMenu(id));
    }
};

VELMARIO_TEST_MAIN(TestInfo)
#include "tst_info.moc"
