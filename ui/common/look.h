#pragma once
// The look every window of the client shares: twips, colours, fonts, the
// orange graphical buttons and the labels. Windows describe their controls
// in these terms and never restate them.

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QPalette>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QRect>
#include <QString>

#include <initializer_list>
#include <limits>
#include <utility>

class QAbstractButton;
class QApplication;
class QLineEdit;
class QWidget;

namespace velmario::look {

// --- Units -----------------------------------------------------------------

inline constexpr int kTwipsPerPixel = 15;

// Twips to pixels, rounded to the nearest pixel.
constexpr int px(int twips)
{
    return twips >= 0 ? (twips + kTwipsPerPixel / 2) / kTwipsPerPixel
                      : -((-twips + kTwipsPerPixel / 2) / kTwipsPerPixel);
}
QRect twipsRect(int left, int top, int width, int height);

// --- Colours ---------------------------------------------------------------

// Colours as 0x00BBGGRR values; a value with the high bit set names entry nn
// of the system colour table instead.
using ColorRef = quint32;
inline constexpr ColorRef kBlack = 0x00000000;
inline constexpr ColorRef kOrange = 0x000080FF;
inline constexpr ColorRef kLightGrey = 0x00E0E0E0;
inline constexpr ColorRef kSysWindowBackground = 0x80000005;
inline constexpr ColorRef kSysWindowText = 0x80000008;
inline constexpr ColorRef kSysCaptionText = 0x80000009;
inline constexpr ColorRef kSysButtonFace = 0x8000000F;
inline constexpr ColorRef kSysButtonText = 0x80000012;

QColor color(ColorRef value);

// Gives the widget's palette roles these colours.
void setPaletteColors(QWidget* widget,
                      std::initializer_list<std::pair<QPalette::ColorRole, ColorRef>> colors);

// --- Fonts -----------------------------------------------------------------

// Sizes in pixels at 96 dpi: fixed layouts must not follow the desktop's
// DPI setting, point sizes would.
inline constexpr int kSmallPx = 11;  // 8.25 pt
inline constexpr int kButtonPx = 13; // 9.75 pt
inline constexpr int kCaptionPx = 15; // 11.25 pt

QFont arial(int pixelSize, bool bold = false, bool italic = false);
// "MS Sans Serif" 8.25 pt, or the Arial-metric face where it is missing.
QFont msSansSerif();

// --- Application-wide ------------------------------------------------------

// The classic Windows style draws graphical buttons as designed (a face of
// exactly the button's colour, the two-pixel raised edge, a sinking pressed
// look, a dotted focus rectangle); it is set explicitly with the standard
// colour scheme, so the client looks the same on every desktop.
void applyApplicationLook(QApplication& app);

// A window's black ground and its window font, Arial 8.25 pt.
void setupWindow(QWidget* window, int clientWidthTwips, int clientHeightTwips);
// Places a window's client area centred on the primary screen.
void centreOnScreen(QWidget* window);
// A picture that belongs to a window's design, stretched to fill its
// rectangle (width and height scaled separately).
QWidget* stretchedPicture(const QString& objectName, const QString& accessibleName,
                          const QString& resource, const QRect& geometry, QWidget* parent);

// --- Controls --------------------------------------------------------------

// A graphical command button: orange face, caption in the button-text
// colour, Arial 9.75 pt. Enter or Space presses it while it has the focus;
// its Alt+letter accelerator presses it at once.
class OrangeButton : public QPushButton
{
    Q_OBJECT
public:
    OrangeButton(const QString& objectName, const QString& caption, const QRect& geometry,
                 QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;
};

// A label whose caption is plain text drawn as data, never as markup or
// accelerators.
//
// An auto-sizing label keeps its caption on one line and takes the size of
// the caption in its font (plus its border); only its top-left is fixed.
// A fixed-size label wraps the caption at spaces within its width: a run of
// spaces at which a line breaks is swallowed and never starts a line, a word
// wider than the label is broken between characters, and lines stand at the
// font's own height. Lines past the bottom edge are cut off, and only whole
// lines are drawn. A one-line label keeps a fixed size and its caption on
// one line: a caption too long for it is cut in the middle, where "…"
// stands for what is left out, and is then shown whole as the tooltip.
class Label : public QFrame
{
    Q_OBJECT
public:
    enum class Sizing { AutoSize, Fixed, OneLine };
    enum class Border { None, Sunken };

    Label(const QString& objectName, const QString& caption, const QRect& geometry, Sizing sizing,
          QWidget* parent);

    QString caption() const { return m_caption; }
    void setCaption(const QString& caption);

    // The control this label captions: a screen reader names a text box by
    // its caption, and says a result label is labelled by it.
    void setBuddy(QWidget* buddy);
    QWidget* buddy() const { return m_buddy; }

    void setBorder(Border border);
    void setColors(ColorRef text, ColorRef ground);
    void setTextFont(const QFont& font);
    void setCentered(bool centered);

    // The lines the caption is drawn in, as laid out for the present width
    // (the first maxLines of them).
    QStringList lines(qsizetype maxLines = std::numeric_limits<qsizetype>::max()) const;
    // The text shown for a caption: control characters become visible
    // symbols instead of acting on the layout.
    static QString displayText(const QString& caption);
    // Breaks text into lines no wider than `width` in `font`, stopping after
    // maxLines lines.
    static QStringList wrap(const QString& text, const QFont& font, int width,
                            qsizetype maxLines = std::numeric_limits<qsizetype>::max());

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitToCaption();

    QString m_caption;
    QPointer<QWidget> m_buddy;
    Sizing m_sizing;
    bool m_centered = false;
};

// A text box: a single-line edit box on light grey, text in the window-text
// colour, no length limit, in the sunken border a result label has.
QLineEdit* textBox(const QString& objectName, const QRect& geometry, const QFont& font,
                   QWidget* parent);

// A window's status line: one line that says what is going on, orange
// Arial 8.25 pt on the black ground. A screen reader knows it as a status
// bar and hears each change of its text.
class StatusLine : public Label
{
    Q_OBJECT
public:
    StatusLine(const QString& objectName, const QString& caption, const QRect& geometry,
               QWidget* parent);
};

// A picture box: the picture at its natural size from the top-left of the
// area inside a sunken border, clipped to it. It takes the keyboard focus in
// tab order but reacts to no key or click.
class PictureBox : public QFrame
{
    Q_OBJECT

public:
    PictureBox(const QString& objectName, const QString& accessibleName, const QString& resource,
               const QRect& geometry, ColorRef ground, QWidget* parent);
    const QPixmap& picture() const { return m_picture; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPixmap m_picture;
};

// A caption: orange Arial 11.25 pt on the black ground.
Label* captionLabel(const QString& objectName, const QString& caption, const QRect& geometry,
                    Label::Sizing sizing, QWidget* parent);
// A result shown by a window: Arial 8.25 pt in the button-text colour on
// light grey, in a sunken border, of a fixed size and empty at first.
Label* resultLabel(const QString& objectName, const QRect& geometry, QWidget* parent);

// A default button (Enter, unless another button has the focus, in which
// case Enter presses that one) and a cancel button (Escape, wherever the
// focus is) for a plain top-level window.
void setDefaultAndCancel(QWidget* window, QAbstractButton* defaultButton,
                         QAbstractButton* cancelButton);

// Gives the client's controls their roles, names and relations for screen
// readers (labels, the status line, pictures, lines, plain windows).
void installAccessibility();

// A line drawn on a window; a screen reader knows it as a separator.
class Line : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;
};

// A solid horizontal or vertical line one pixel wide, from twips to twips.
QWidget* line(const QString& objectName, int x1, int y1, int x2, int y2, ColorRef colorRef,
              QWidget* parent);

} // namespace velmario::look
