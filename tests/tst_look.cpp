// The shared look: units, colours, fonts, buttons and labels.
#include "testsupport.h"
#include <QPushButton>
#include <QHelpEvent>
#include <QScreen>
#include <QTextDocument>

#include <QFontInfo>
#include <QLineEdit>
#include <QRawFont>
#include <QAccessible>
#include <QClipboard>
#include <QSignalSpy>
#include <QTimer>
#include <QToolTip>

using namespace Qt::StringLiterals;
using namespace velmario::look;

class TestLook : public QObject
{
    Q_OBJECT

private slots:
    void twipsToPixels_data()
    {
        QTest::addColumn<int>("twips");
        QTest::addColumn<int>("pixels");
        QTest::newRow("zero") << 0 << 0;
        QTest::newRow("below half") << 7 << 0;
        QTest::newRow("half rounds up") << 8 << 1;
        QTest::newRow("one pixel") << 15 << 1;
        QTest::newRow("1.47 px") << 22 << 1;
        QTest::newRow("1.53 px") << 23 << 2;
        QTest::newRow("1538 -> 103") << 1538 << 103;
        QTest::newRow("997 -> 66") << 997 << 66;
        QTest::newRow("1477 -> 98") << 1477 << 98;
        QTest::newRow("5640 -> 376") << 5640 << 376;
        QTest::newRow("negative") << -23 << -2;
    }
    void twipsToPixels()
    {
        QFETCH(int, twips);
        QFETCH(int, pixels);
        QCOMPARE(px(twips), pixels);
        QCOMPARE(twipsRect(twips, twips, twips, twips), QRect(pixels, pixels, pixels, pixels));
    }

    void colours_data()
    {
        QTest::addColumn<quint32>("value");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("black") << quint32(kBlack) << QColor(0, 0, 0);
        QTest::newRow("orange is red 255 green 128") << quint32(kOrange) << QColor(255, 128, 0);
        QTest::newRow("light grey") << quint32(kLightGrey) << QColor(224, 224, 224);
        QTest::newRow("blue in the third byte") << quint32(0x00FF0000) << QColor(0, 0, 255);
        QTest::newRow("system button text") << quint32(kSysButtonText) << QColor(Qt::black);
        QTest::newRow("system window text") << quint32(kSysWindowText) << QColor(Qt::black);
        QTest::newRow("system window ground") << quint32(kSysWindowBackground) << QColor(Qt::white);
        QTest::newRow("system caption text") << quint32(kSysCaptionText) << QColor(Qt::white);
    }
    void colours()
    {
        QFETCH(quint32, value);
        QFETCH(QColor, expected);
        QCOMPARE(color(value), expected);
    }

    void systemColoursFollowThePalette()
    {
        const QPalette saved = QApplication::palette();
        QPalette changed = saved;
        changed.setColor(QPalette::ButtonText, QColor(1, 2, 3));
        QApplication::setPalette(changed);
        QCOMPARE(color(kSysButtonText), QColor(1, 2, 3));
        QApplication::setPalette(saved);
    }

    void fontsArePixelSized_data()
    {
        QTest::addColumn<QFont>("font");
        QTest::addColumn<int>("pixels");
        QTest::newRow("8.25 pt") << arial(kSmallPx) << 11;
        QTest::newRow("9.75 pt") << arial(kButtonPx) << 13;
        QTest::newRow("11.25 pt bold italic") << arial(kCaptionPx, true, true) << 15;
        QTest::newRow("MS Sans Serif 8.25 pt") << msSansSerif() << 11;
    }
    void fontsArePixelSized()
    {
        QFETCH(QFont, font);
        QFETCH(int, pixels);
        QCOMPARE(QFontInfo(font).pixelSize(), pixels);
    }

    // The fixed layouts were measured in Arial: whatever face stands in for
    // it must have Arial's advance widths (in font units of a 2048-unit em).
    void arialResolvesToArialMetrics_data()
    {
        QTest::addColumn<QFont>("font");
        QTest::newRow("Arial") << arial(kCaptionPx);
        QTest::newRow("MS Sans Serif stand-in") << msSansSerif();
    }
    void arialResolvesToArialMetrics()
    {
        QFETCH(QFont, font);
        font.setPixelSize(2048);
        const QRawFont raw = QRawFont::fromFont(font);
        QVERIFY2(raw.isValid(), qPrintable(QFontInfo(font).family()));
        const QString sample = u" aceimrstAMW1."_s;
        const QList<int> arialUnits = {569, 1139, 1024, 1139, 455, 1706, 682,
                                       1024, 569, 1366, 1706, 1933, 1139, 569};
        const QList<quint32> glyphs = raw.glyphIndexesForString(sample);
        const QList<QPointF> advances = raw.advancesForGlyphIndexes(glyphs);
        QCOMPARE(advances.size(), arialUnits.size());
        for (qsizetype i = 0; i < advances.size(); ++i) {
            QVERIFY2(qAbs(advances[i].x() - arialUnits[i]) < 1.0,
                     qPrintable(u"'%1' is %2 units wide in %3, Arial's is %4"_s.arg(sample[i])
                                    .arg(advances[i].x()).arg(QFontInfo(font).family())
                                    .arg(arialUnits[i])));
        }
    }

    void wrap_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("widthOf");   // the label is exactly this wide
        QTest::addColumn<int>("extra");         // ... plus this many pixels
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("fits on one line") << u"uno dos"_s << u"uno dos"_s << 0
                                          << QStringList{u"uno dos"_s};
        QTest::newRow("one pixel short breaks") << u"uno dos"_s << u"uno dos"_s << -1
                                                << QStringList{u"uno"_s, u"dos"_s};
        QTest::newRow("run of spaces swallowed by the break")
            << u"uno          dos tre"_s << u"uno dos"_s << 0
            << QStringList{u"uno"_s, u"dos tre"_s};
        QTest::newRow("run of spaces kept inside a line")
            << u"uno   dos"_s << u"uno   dos"_s << 0 << QStringList{u"uno   dos"_s};
        QTest::newRow("trailing spaces drawn nowhere") << u"uno   "_s << u"uno"_s << 0
                                                       << QStringList{u"uno"_s};
        QTest::newRow("leading spaces stay on the first line")
            << u"  uno dos"_s << u"  uno"_s << 0 << QStringList{u"  uno"_s, u"dos"_s};
        QTest::newRow("long word broken between characters")
            << u"abcdefgh"_s << u"abcd"_s << 0 << QStringList{u"abcd"_s, u"efgh"_s};
        QTest::newRow("empty") << QString() << u"x"_s << 0 << QStringList{};
        QTest::newRow("only spaces") << u"    "_s << u"x"_s << 0 << QStringList{u"    "_s};
    }
    void wrap()
    {
        QFETCH(QString, text);
        QFETCH(QString, widthOf);
        QFETCH(int, extra);
        QFETCH(QStringList, lines);
        const QFont font = arial(kCaptionPx);
        const int width = QFontMetrics(font).horizontalAdvance(widthOf) + extra;
        QCOMPARE(Label::wrap(text, font, width), lines);
    }

    void wrapStopsAtMaxLines()
    {
        const QFont font = arial(kCaptionPx);
        const int width = QFontMetrics(font).horizontalAdvance(u"xxxx"_s);
        const QString longWord(5000, u'x');
        QCOMPARE(Label::wrap(longWord, font, width, 2), (QStringList{u"xxxx"_s, u"xxxx"_s}));
        const QStringList all = Label::wrap(longWord, font, width);
        QCOMPARE(all.size(), 1250);
        QCOMPARE(Label::wrap(u"uno dos tres"_s, font, QFontMetrics(font).horizontalAdvance(u"tres"_s), 2),
                 (QStringList{u"uno"_s, u"dos"_s}));
    }

    void labelShowsControlsAndMarkupAsText_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("shown");
        QTest::newRow("markup") << u"<b>Ana</b> & Co"_s << u"<b>Ana</b> & Co"_s;
        QTest::newRow("line feed and tab") << u"a\nb\tc"_s << u"a\u240Ab\u2409c"_s;
        QTest::newRow("nul and escape") << QString(u"a\0b\x1b"_s) << u"a\u2400b\u241B"_s;
        QTest::newRow("C1 control") << u"a\u0081b"_s << u"a\uFFFDb"_s;
        QTest::newRow("right-to-left override") << u"ab\u202Ecd"_s << u"ab\uFFFDcd"_s;
        QTest::newRow("accents untouched") << u"Peña Núñez"_s << u"Peña Núñez"_s;
    }
    void labelShowsControlsAndMarkupAsText()
    {
        QFETCH(QString, caption);
        QFETCH(QString, shown);
        QWidget window;
        Label label(u"l"_s, caption, QRect(0, 0, 300, 20), Label::Sizing::Fixed, &window);
        QCOMPARE(label.caption(), caption);
        QCOMPARE(label.lines().join(u' '), shown);
    }

    void autoSizedLabelFollowsItsCaption()
    {
        QWidget window;
        Label label(u"l"_s, u"Nombre:"_s, QRect(16, 16, 999, 999), Label::Sizing::AutoSize, &window);
        label.setTextFont(arial(kCaptionPx));
        const QFontMetrics metrics(arial(kCaptionPx));
        QCOMPARE(label.geometry(), QRect(16, 16, metrics.horizontalAdvance(u"Nombre:"_s), metrics.height()));
        label.setBorder(Label::Border::Sunken);
        QCOMPARE(label.size(), QSize(metrics.horizontalAdvance(u"Nombre:"_s) + 4, metrics.height() + 4));
        label.setCaption(u"Nombre más largo:"_s);
        QCOMPARE(label.pos(), QPoint(16, 16));
        QCOMPARE(label.width(), metrics.horizontalAdvance(u"Nombre más largo:"_s) + 4);

        // One never given a font takes its size in the window's font once shown.
        Label plain(u"p"_s, u"Teléfono:"_s, QRect(16, 40, 999, 999), Label::Sizing::AutoSize, &window);
        window.show();
        const QFontMetrics windowMetrics(window.font());
        QCOMPARE(plain.geometry(), QRect(16, 40, windowMetrics.horizontalAdvance(u"Teléfono:"_s), windowMetrics.height()));
    }

    void fixedLabelNeverGrows()
    {
        QWidget window;
        Label label(u"l"_s, QString(), QRect(10, 10, 80, 17), Label::Sizing::Fixed, &window);
        label.setBorder(Label::Border::Sunken);
        label.setCaption(u"un nombre mucho más largo que la etiqueta"_s);
        QCOMPARE(label.geometry(), QRect(10, 10, 80, 17));
        QCOMPARE(label.lines().size(), 1);
        QVERIFY(label.isShortened());
    }

    // A value that does not fit ends in "…" at the last whole word that fits
    // with it, or at the last character for a word too long for the line;
    // the lines before it are wrapped as ever.
    void fit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("widthOf"); // the line is exactly this wide
        QTest::addColumn<int>("extra");       // ... plus this many pixels
        QTest::addColumn<int>("maxLines");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("shortened");
        QTest::newRow("fits whole") << u"uno dos"_s << u"uno dos"_s << 0 << 1 << QStringList{u"uno dos"_s} << false;
        QTest::newRow("a pixel too narrow for the whole")
            << u"uno dos tres"_s << u"uno dos tres"_s << -1 << 1 << QStringList{u"uno dos…"_s} << true;
        QTest::newRow("cut after the last whole word")
            << u"uno dos tres"_s << u"uno dos…"_s << 0 << 1 << QStringList{u"uno dos…"_s} << true;
        QTest::newRow("a pixel less and the cut goes back a word")
            << u"uno dos tres"_s << u"uno dos…"_s << -1 << 1 << QStringList{u"uno…"_s} << true;
        QTest::newRow("a word too long: the last character that fits")
            << u"abcdefgh"_s << u"abcd…"_s << 0 << 1 << QStringList{u"abcd…"_s} << true;
        QTest::newRow("a first word that fits only without the ellipsis")
            << u"abcdefgh ij"_s << u"abcde…"_s << 0 << 1 << QStringList{u"abcde…"_s} << true;
        QTest::newRow("telephone with spaces")
            << u"+52 1 961 976 1527"_s << u"+52 1 961 976…"_s << 2 << 1 << QStringList{u"+52 1 961 976…"_s} << true;
        QTest::newRow("two lines, the second cut")
            << u"uno dos tres cuatro"_s << u"uno dos"_s << 0 << 2 << QStringList{u"uno dos"_s, u"tres…"_s} << true;
        QTest::newRow("two lines that hold it all")
            << u"uno dos tres"_s << u"uno dos"_s << 0 << 2 << QStringList{u"uno dos"_s, u"tres"_s} << false;
        QTest::newRow("empty") << QString() << u"x"_s << 0 << 1 << QStringList{} << false;
    }
    void fit()
    {
        QFETCH(QString, text);
        QFETCH(QString, widthOf);
        QFETCH(int, extra);
        QFETCH(int, maxLines);
        QFETCH(QStringList, lines);
        QFETCH(bool, shortened);
        const QFont font = arial(kCaptionPx);
        const int width = QFontMetrics(font).horizontalAdvance(widthOf) + extra;
        const Label::Fitted fitted = Label::fit(text, font, width, maxLines);
        QCOMPARE(fitted.lines, lines);
        QCOMPARE(fitted.shortened, shortened);
        // A label of that inner size lays the caption out the same way.
        QWidget window;
        Label label(u"l"_s, text, QRect(0, 0, width, maxLines * QFontMetrics(font).height()),
                    Label::Sizing::Fixed, &window);
        label.setTextFont(font);
        QCOMPARE(label.lines(), lines);
        QCOMPARE(label.isShortened(), shortened);
    }

    // A result too long for its label shows "…", and its whole value as its
    // tooltip and its accessible name; one that fits has no tooltip.
    void resultLabelShowsWholeValueElsewhere_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("telephone with country code") << u"+52 1 961 976 1527"_s << u"+52 1 961 976…"_s;
        QTest::newRow("extension") << u"961-976-1527 ext. 204"_s << u"961-976-1527…"_s;
        QTest::newRow("area code in brackets") << u"+52 (961) 976-15-27"_s << u"+52 (961)…"_s;
        QTest::newRow("one long word") << u"+52(961)976-15-27-204"_s << u"+52(961)976-1…"_s;
        QTest::newRow("fits") << u"961-976-1527"_s << u"961-976-1527"_s;
    }
    void resultLabelShowsWholeValueElsewhere()
    {
        QFETCH(QString, value);
        QFETCH(QString, shown);
        QWidget form;
        auto* label = new ResultLabel(u"lblTelefono"_s, QRect(10, 10, 89, 17), &form);
        label->setCaption(value);
        QCOMPARE(label->lines(), QStringList{shown});
        QCOMPARE(label->isShortened(), shown != value);
        QCOMPARE(label->toolTip(), shown != value ? value : QString());
        QCOMPARE(QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name), value);
        QCOMPARE(label->size(), QSize(89, 17));
    }

    // On a black form, a text box's sunken border is a result label's: from
    // the outside in, grey and black at the left, white and light grey
    // (never the form's black) at the right and bottom.
    void textBoxBorderIsTheResultLabels_data()
    {
        QTest::addColumn<bool>("isTextBox");
        QTest::newRow("text box") << true;
        QTest::newRow("result label") << false;
    }
    void textBoxBorderIsTheResultLabels()
    {
        QFETCH(bool, isTextBox);
        QWidget form;
        setupWindow(&form, 3000, 1000);
        const QRect geometry(10, 10, 120, 19);
        QWidget* control = isTextBox ? static_cast<QWidget*>(textBox(u"t"_s, geometry, arial(kSmallPx), &form))
                                     : new ResultLabel(u"l"_s, geometry, &form);
        const QImage image = control->grab().toImage();
        const QList<QColor> leftToRight = {image.pixelColor(0, 9), image.pixelColor(1, 9),
                                           image.pixelColor(118, 9), image.pixelColor(119, 9)};
        QCOMPARE(leftToRight, (QList<QColor>{QColor(0x78, 0x78, 0x78), QColor(0, 0, 0),
                                             QColor(0xF7, 0xF7, 0xF7), QColor(0xFF, 0xFF, 0xFF)}));
        const QList<QColor> bottom = {image.pixelColor(60, 17), image.pixelColor(60, 18)};
        QCOMPARE(bottom, (QList<QColor>{QColor(0xF7, 0xF7, 0xF7), QColor(0xFF, 0xFF, 0xFF)}));
    }

    // Resting the pointer on a shortened result shows it whole; on one that
    // fits, no tooltip comes.
    void tooltipComesOnHover()
    {
        QWidget form;
        setupWindow(&form, 3000, 1000);
        auto* cut = new ResultLabel(u"cut"_s, QRect(10, 10, 89, 17), &form);
        auto* whole = new ResultLabel(u"whole"_s, QRect(10, 40, 89, 17), &form);
        cut->setCaption(u"+52 1 961 976 1527"_s);
        whole->setCaption(u"961-976-1527"_s);
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QTest::mouseMove(&form, QPoint(150, 80)); // somewhere bare first
        QTest::mouseMove(cut, QPoint(40, 8));
        QTRY_VERIFY_WITH_TIMEOUT(QToolTip::isVisible(), 5000);
        QCOMPARE(QToolTip::text(), u"+52 1 961 976 1527"_s);
        QTest::mouseMove(whole, QPoint(40, 8));
        QTRY_VERIFY_WITH_TIMEOUT(!QToolTip::isVisible(), 5000);
        QTest::qWait(1000); // longer than the tooltip's delay
        QVERIFY(!QToolTip::isVisible());
        QToolTip::hideText();
    }

    // A value that looks like markup is shown in the tooltip as it is.
    void tooltipShowsMarkupAsText()
    {
        QCOMPARE(Label::plainToolTip(u"Ana"_s), u"Ana"_s);
        QCOMPARE(Label::plainToolTip(u"<b>Ana</b>  &"_s),
                 u"<p style=\"white-space:pre-wrap\">&lt;b&gt;Ana&lt;/b&gt;  &amp;</p>"_s);
    }

    // A tooltip is never wider nor taller than the screen: a long word is
    // broken, and past what fits a last line says Copiar gives the rest.
    void tooltipFitsTheScreen_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QSize>("room");
        QTest::addColumn<bool>("goesOn");
        QTest::newRow("fits on one line") << u"+52 1 961 976 1527"_s << QSize(1280, 900) << false;
        QTest::newRow("a 300-character word") << QString(300, u'W') << QSize(1280, 900) << false;
        QTest::newRow("words over several lines")
            << QStringList(200, u"Fernández"_s).join(u' ') << QSize(1280, 900) << false;
        QTest::newRow("longer than the screen holds") << QString(32766, u'5') << QSize(1280, 900) << true;
        QTest::newRow("a small screen") << QStringList(80, u"Ana"_s).join(u' ') << QSize(200, 80) << true;
        QTest::newRow("markup over lines") << QString(500, u'<') + u"b>"_s << QSize(640, 480) << false;
    }
    void tooltipFitsTheScreen()
    {
        QFETCH(QString, value);
        QFETCH(QSize, room);
        QFETCH(bool, goesOn);
        const QFont font = QToolTip::font();
        const QString tip = Label::fittedToolTip(value, font, room);
        QTextDocument document;
        document.setDocumentMargin(0);
        document.setDefaultFont(font);
        if (Qt::mightBeRichText(tip))
            document.setHtml(tip);
        else
            document.setPlainText(tip);
        const QStringList lines = document.toPlainText().split(u'\n');
        const QFontMetrics metrics(font);
        for (const QString& line : lines)
            QVERIFY2(metrics.horizontalAdvance(line) <= room.width() - Label::kToolTipMargin, qPrintable(line));
        QVERIFY(lines.size() * metrics.lineSpacing() <= room.height() - Label::kToolTipMargin);
        const QString flat = lines.join(QString()).remove(u' ');
        const QString note = QString(Label::kToolTipGoesOn).remove(u' ');
        QCOMPARE(flat.endsWith(note), goesOn);
        if (!goesOn) // every character is there, only the breaks between words are not
            QCOMPARE(flat, QString(value).remove(u' '));
        else
            QVERIFY(flat.chopped(note.size()).endsWith(u"…"_s));
    }

    // The tooltip the pointer brings is on the screen, whole.
    void tooltipShownLiesOnTheScreen()
    {
        QWidget form;
        setupWindow(&form, 3000, 1000);
        auto* label = new ResultLabel(u"l"_s, QRect(10, 10, 89, 17), &form);
        label->setCaption(QString(32766, u'5'));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QHelpEvent rest(QEvent::ToolTip, QPoint(40, 8), label->mapToGlobal(QPoint(40, 8)));
        QApplication::sendEvent(label, &rest);
        QTRY_VERIFY_WITH_TIMEOUT(QToolTip::isVisible(), 5000);
        QWidget* tip = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->inherits("QTipLabel") && w->isVisible())
                tip = w;
        QVERIFY(tip);
        const QRect screen = label->screen()->availableGeometry();
        QVERIFY2(screen.contains(tip->frameGeometry()),
                 qPrintable(u"%1,%2 %3x%4"_s.arg(tip->x()).arg(tip->y()).arg(tip->width()).arg(tip->height())));
        QVERIFY(QToolTip::text().endsWith(Label::kToolTipGoesOn));
        QToolTip::hideText();
    }

    // The context menu's "Copiar" puts the whole value on the clipboard,
    // also when the label shows it shortened.
    void copiarCopiesTheWholeValue_data()
    {
        QTest::addColumn<QKeyCombination>("key"); // none: a right click
        QTest::newRow("right click") << QKeyCombination();
        QTest::newRow("Menu key") << QKeyCombination(Qt::Key_Menu);
        QTest::newRow("Shift+F10") << QKeyCombination(Qt::ShiftModifier, Qt::Key_F10);
    }
    void copiarCopiesTheWholeValue()
    {
        QFETCH(QKeyCombination, key);
        QWidget form;
        setupWindow(&form, 3000, 1000);
        auto* label = new ResultLabel(u"l"_s, QRect(10, 10, 89, 17), &form);
        label->setCaption(u"961-976-1527 ext. 204"_s);
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QGuiApplication::clipboard()->setText(u"antes"_s);
        if (key != QKeyCombination()) {
            velmario::testing::typeKey(Qt::Key_Tab); // the label's turn in the tab order
            QCOMPARE(QApplication::focusWidget(), label);
        }
        // Whenever the menu is up, its items are read and Copiar is chosen.
        QString items;
        QTimer chooser;
        connect(&chooser, &QTimer::timeout, this, [&] {
            QWidget* menu = QApplication::activePopupWidget();
            if (!menu)
                return;
            chooser.stop();
            for (QAction* action : menu->actions())
                items += action->text() + u';';
            QTest::keyClick(menu, Qt::Key_C); // its accelerator
        });
        chooser.start(20);
        if (key == QKeyCombination()) {
            // Through the window, as the platform delivers a click: the
            // press brings the context menu, and takes no focus.
            label->clearFocus();
            QTest::mouseClick(form.windowHandle(), Qt::RightButton, {}, label->mapTo(&form, QPoint(30, 8)));
            QVERIFY(!label->hasFocus());
        } else {
            QTest::keyClick(form.windowHandle(), key.key(), key.keyboardModifiers());
        }
        QCOMPARE(items, u"&Copiar;"_s);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"961-976-1527 ext. 204"_s);
    }

    // A focused result shows a focus frame; so does a focused picture.
    void focusIsShown_data()
    {
        QTest::addColumn<bool>("picture");
        QTest::newRow("result") << false;
        QTest::newRow("picture") << true;
    }
    void focusIsShown()
    {
        QFETCH(bool, picture);
        QWidget form;
        setupWindow(&form, 3000, 1000);
        QWidget* control = picture
            ? static_cast<QWidget*>(new PictureBox(u"p"_s, u"p"_s, u":/pictures/cog.gif"_s, QRect(10, 10, 60, 40),
                                                   kBlack, &form))
            : new ResultLabel(u"l"_s, QRect(10, 10, 89, 17), &form);
        auto* other = new QPushButton(u"x"_s, &form);
        other->setGeometry(100, 10, 40, 20);
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        other->setFocus();
        const QImage unfocused = control->grab().toImage();
        control->setFocus();
        QTRY_VERIFY(control->grab().toImage() != unfocused);
        other->setFocus();
        QTRY_COMPARE(control->grab().toImage(), unfocused);
    }

    // Dragging across a result, or double-clicking it, selects it whole (and
    // gives it to the desktop's selection where there is one); a plain
    // click ends the selection, and so does a new value.
    void dragOrDoubleClickSelectsTheWholeValue()
    {
        QWidget form;
        setupWindow(&form, 3000, 1000);
        auto* label = new ResultLabel(u"l"_s, QRect(10, 10, 249, 17), &form);
        label->setCaption(u"José Peña Ibáñez"_s);
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        const QColor grey(0xE0, 0xE0, 0xE0);
        const QColor highlight(0x00, 0x78, 0xD7);
        QCOMPARE(label->grab().toImage().pixelColor(3, 3), grey);

        QTest::mousePress(label, Qt::LeftButton, {}, QPoint(20, 8));
        QTest::mouseMove(label, QPoint(60, 8));
        QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(60, 8));
        QVERIFY(label->isSelected());
        QCOMPARE(label->grab().toImage().pixelColor(3, 3), highlight);
        if (QGuiApplication::clipboard()->supportsSelection())
            QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Selection), u"José Peña Ibáñez"_s);

        QTest::mouseClick(label, Qt::LeftButton, {}, QPoint(20, 8));
        QVERIFY(!label->isSelected());
        QCOMPARE(label->grab().toImage().pixelColor(3, 3), grey);

        QTest::mouseDClick(label, Qt::LeftButton, {}, QPoint(20, 8));
        QVERIFY(label->isSelected());
        label->setCaption(u"María Muñoz López"_s);
        QVERIFY(!label->isSelected());
    }

    // A result label one line high shows its first line only: no pixel of
    // the second (accented capitals reach highest) in its last inner row.
    void resultLabelDrawsOnlyWholeLines()
    {
        QWidget form;
        setupWindow(&form, 4000, 1000);
        Label* label = new ResultLabel(u"l"_s, QRect(10, 10, 249, 17), &form);
        label->setCaption(u"ÁÉÍÓÚ ÑÁÉÍÓ "_s.repeated(8));
        QCOMPARE(label->lines(), QStringList{u"ÁÉÍÓÚ ÑÁÉÍÓ ÁÉÍÓÚ ÑÁÉÍÓ ÁÉÍÓÚ ÑÁÉÍÓ…"_s});
        QCOMPARE(QFontMetrics(label->font()).height(), 12); // the second line starts in row 2 + 12
        const QImage image = label->grab().toImage();
        for (int x = 2; x < 247; ++x)
            QCOMPARE(image.pixelColor(x, 14), QColor(0xE0, 0xE0, 0xE0));
        QVERIFY(image.pixelColor(4, 8) != QColor(0xE0, 0xE0, 0xE0)); // the first line is drawn
    }

    void orangeButton_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("clicks");
        QTest::newRow("Enter") << int(Qt::Key_Return) << int(Qt::NoModifier) << 1;
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 1;
        QTest::newRow("Space") << int(Qt::Key_Space) << int(Qt::NoModifier) << 1;
        QTest::newRow("Escape") << int(Qt::Key_Escape) << int(Qt::NoModifier) << 0;
        QTest::newRow("a letter") << int(Qt::Key_B) << int(Qt::NoModifier) << 0;
    }
    void orangeButton()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, clicks);
        QWidget window;
        auto* button = new OrangeButton(u"cmd"_s, u"&Buscar"_s, QRect(5, 5, 65, 25), &window);
        QCOMPARE(button->palette().color(QPalette::Button), QColor(255, 128, 0));
        QCOMPARE(button->palette().color(QPalette::ButtonText), QColor(Qt::black));
        QCOMPARE(QFontInfo(button->font()).pixelSize(), 13);
        QSignalSpy clicked(button, &QPushButton::clicked);
        QTest::keyClick(button, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(clicked.count(), clicks);
    }

    void acceleratorPressesAtOnce()
    {
        QWidget window;
        auto* button = new OrangeButton(u"cmd"_s, u"&Buscar"_s, QRect(5, 5, 65, 25), &window);
        auto* other = new OrangeButton(u"other"_s, u"&Otro"_s, QRect(80, 5, 65, 25), &window);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        other->setFocus();
        QSignalSpy clicked(button, &QPushButton::clicked);
        QTest::keyClick(other, Qt::Key_B, Qt::AltModifier);
        QCOMPARE(clicked.count(), 1); // no animated click to wait for
    }
};

VELMARIO_TEST_MAIN(TestLook)
#include "tst_look.moc"
