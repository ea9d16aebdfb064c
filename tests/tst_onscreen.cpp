// Every window on a 1280x900 screen at the scale factor the test is run
// with (QT_SCALE_FACTOR): shown where its design places it, or moved inside
// the screen's available area when it would not fit there, its size kept.
#include "testsupport.h"

#include <QScreen>

using namespace Qt::StringLiterals;
using namespace velmario;
using namespace velmario::testing;

Q_DECLARE_METATYPE(velmario::FormId)

class TestOnScreen : public QObject
{
    Q_OBJECT

private slots:
    void placedInside_data()
    {
        QTest::addColumn<QRect>("frame");
        QTest::addColumn<QRect>("placed");
        const QRect screen(0, 0, 640, 450);
        QTest::newRow("fits: stays") << QRect(216, 100, 389, 330) << QRect(216, 100, 389, 330);
        QTest::newRow("past the bottom") << QRect(216, 161, 389, 330) << QRect(216, 120, 389, 330);
        QTest::newRow("past the right") << QRect(400, 10, 389, 330) << QRect(251, 10, 389, 330);
        QTest::newRow("above and left") << QRect(-20, -5, 100, 100) << QRect(0, 0, 100, 100);
        QTest::newRow("larger than the screen") << QRect(100, 100, 700, 500) << QRect(0, 0, 700, 500);
        QTest::newRow("touching the edges") << QRect(0, 0, 640, 450) << QRect(0, 0, 640, 450);
    }
    void placedInside()
    {
        QFETCH(QRect, frame);
        QFETCH(QRect, placed);
        QCOMPARE(look::placedInside(frame, QRect(0, 0, 640, 450)), placed);
    }

    void everyWindowIsOnTheScreen_data()
    {
        QTest::addColumn<FormId>("id");
        QTest::newRow("welcome") << FormId::Velmario;
        QTest::newRow("search") << FormId::BusquedaAl;
        QTest::newRow("about") << FormId::Acercade;
        QTest::newRow("usage") << FormId::Uso;
        QTest::newRow("members") << FormId::Integ;
    }
    void everyWindowIsOnTheScreen()
    {
        QFETCH(FormId, id);
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(screen.size() * QGuiApplication::primaryScreen()->devicePixelRatio(), QSize(1280, 900));
        Forms forms;
        QWidget* window = forms.form(id);
        const QRect designed = window->geometry();
        forms.Show(id);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QRect available = window->screen()->availableGeometry();
        QVERIFY2(available.contains(window->frameGeometry()),
                 qPrintable(QDebug::toString(window->frameGeometry()) + u" on "_s + QDebug::toString(available)));
        QCOMPARE(window->size(), designed.size());
        if (available.contains(designed))
            QCOMPARE(window->geometry(), designed); // where the design puts it
    }
};

VELMARIO_TEST_MAIN(TestOnScreen)
#include "tst_onscreen.moc"
