#include "look.h"

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QShortcutEvent>
#include <QStyleFactory>

using namespace Qt::StringLiterals;

namespace velmario::look {

QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}

QColor color(ColorRef value)
{
    if (value & 0x80000000u) {
        const QPalette palette = QApplication::palette();
        switch (value & 0xFFu) {
        case 0x05: return palette.color(QPalette::Base);
        case 0x08: return palette.color(QPalette::Text);
        case 0x09: return palette.color(QPalette::BrightText);
        case 0x0F: return palette.color(QPalette::Button);
        case 0x12: return palette.color(QPalette::ButtonText);
        default: return palette.color(QPalette::WindowText);
        }
    }
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

QFont arial(int pixelSize, bool bold, bool italic)
{
    QFont font;
    // Liberation Sans has Arial's metrics; it stands in where Arial itself
    // is not installed.
    font.setFamilies({u"Arial"_s, u"Liberation Sans"_s});
    font.setPixelSize(pixelSize);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    font.setItalic(italic);
    return font;
}

QFont msSansSerif()
{
    QFont font;
    font.setFamilies({u"MS Sans Serif"_s, u"Microsoft Sans Serif"_s, u"Arial"_s,
                      u"Liberation Sans"_s});
    font.setPixelSize(kSmallPx);
    return font;
}

void applyApplicationLook(QApplication& app)
{
    app.setStyle(QStyleFactory::create(u"Windows"_s));
    // The standard colour scheme: system colours named by the windows (button
    // text, window text) are black whatever the desktop's theme.
    QPalette palette(QColor(0xF0, 0xF0, 0xF0));
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::ButtonText, Qt::black);
    palette.setColor(QPalette::Text, Qt::black);
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::Highlight, QColor(0x00, 0x78, 0xD7));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    app.setPalette(palette);
    app.setFont(arial(kSmallPx));
    installAccessibility();

    // Every window shows the program's one icon.
    QIcon icon;
    icon.addFile(u":/pictures/icon16.png"_s, QSize(16, 16));
    icon.addFile(u":/pictures/icon32.png"_s, QSize(32, 32));
    QApplication::setWindowIcon(icon);
}

void setPaletteColors(QWidget* widget,
                      std::initializer_list<std::pair<QPalette::ColorRole, ColorRef>> colors)
{
    QPalette palette = widget->palette();
    for (const auto& [role, value] : colors)
        palette.setColor(role, color(value));
    widget->setPalette(palette);
}

void setupWindow(QWidget* window, int clientWidthTwips, int clientHeightTwips)
{
    setPaletteColors(window, {{QPalette::Window, kBlack}});
    window->setAutoFillBackground(true);
    window->setFont(arial(kSmallPx));
    window->resize(px(clientWidthTwips), px(clientHeightTwips));
}

// --- OrangeButton ----------------------------------------------------------

OrangeButton::OrangeButton(const QString& objectName, const QString& caption,
                           const QRect& geometry, QWidget* parent)
    : QPushButton(caption, parent)
{
    setObjectName(objectName);
    setGeometry(geometry);
    setFont(arial(kButtonPx));
    setAutoDefault(false);
    setFocusPolicy(Qt::StrongFocus);
    setPaletteColors(this, {{QPalette::Button, kOrange}, {QPalette::ButtonText, kSysButtonText}});
}

void OrangeButton::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        click();
        event->accept();
        return;
    }
    QPushButton::keyPressEvent(event);
}

bool OrangeButton::event(QEvent* event)
{
    // The accelerator presses the button now rather than after Qt's
    // animated click.
    if (event->type() == QEvent::Shortcut && !static_cast<QShortcutEvent*>(event)->isAmbiguous()) {
        click();
        return true;
    }
    return QPushButton::event(event);
}

// --- Label -----------------------------------------------------------------

Label::Label(const QString& objectName, const QString& caption, const QRect& geometry,
             Sizing sizing, QWidget* parent)
    : QFrame(parent)
    , m_caption(caption)
    , m_sizing(sizing)
{
    setObjectName(objectName);
    setGeometry(geometry);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAccessibleName(caption);
    fitToCaption();
}

void Label::setCaption(const QString& caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    setAccessibleName(caption);
    fitToCaption();
    update();
}

void Label::setBuddy(QWidget* buddy)
{
    m_buddy = buddy;
    // A result label keeps its own text as its name.
    if (buddy && !qobject_cast<Label*>(buddy))
        buddy->setAccessibleName(m_caption);
}

void Label::setBorder(Border border)
{
    if (border == Border::Sunken) {
        setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    } else {
        setFrameStyle(QFrame::NoFrame);
    }
    fitToCaption();
}

void Label::setColors(ColorRef text, ColorRef ground)
{
    setPaletteColors(this, {{QPalette::WindowText, text}, {QPalette::Window, ground}});
    setAutoFillBackground(true);
}

void Label::setTextFont(const QFont& font)
{
    setFont(font);
    fitToCaption();
}

void Label::setCentered(bool centered)
{
    m_centered = centered;
    update();
}

void Label::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange)
        fitToCaption();
    QFrame::changeEvent(event);
}

void Label::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    if (m_sizing == Sizing::OneLine)
        fitToCaption();
}

void Label::fitToCaption()
{
    if (m_sizing == Sizing::OneLine) {
        // The whole caption is a tooltip away whenever the line cuts it.
        const QString shown = displayText(m_caption);
        setToolTip(lines().value(0) == shown ? QString() : m_caption);
        return;
    }
    if (m_sizing != Sizing::AutoSize)
        return;
    const QFontMetrics metrics(font());
    const int border = 2 * frameWidth();
    resize(metrics.horizontalAdvance(displayText(m_caption)) + border, metrics.height() + border);
}

QSize Label::sizeHint() const
{
    return size();
}

QString Label::displayText(const QString& caption)
{
    QString shown = caption;
    for (QChar& ch : shown) {
        const char16_t c = ch.unicode();
        if (c < 0x20)
            ch = QChar(char16_t(0x2400 + c)); // the Control Pictures block
        else if (c == 0x7F)
            ch = QChar(char16_t(0x2421));
        else if ((c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E)
                 || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F
                 || ch.isSurrogate())
            // C1 controls and direction overrides would hide or reorder text.
            ch = QChar(char16_t(0xFFFD));
    }
    return shown;
}

QStringList Label::wrap(const QString& text, const QFont& font, int width, qsizetype maxLines)
{
    const QFontMetrics metrics(font);
    const auto fits = [&](const QString& s) { return metrics.horizontalAdvance(s) <= width; };
    QStringList lines;
    QString current;
    bool lineHasText = false;
    qsizetype i = 0;
    const qsizetype n = text.size();

    // Spaces that start the caption stay on its first line.
    while (i < n && text.at(i) == u' ')
        current.append(text.at(i++));

    while (i < n) {
        qsizetype spacesStart = i;
        while (i < n && text.at(i) == u' ')
            ++i;
        const QString spaces = text.sliced(spacesStart, i - spacesStart);
        const qsizetype wordStart = i;
        while (i < n && text.at(i) != u' ')
            ++i;
        QString word = text.sliced(wordStart, i - wordStart);
        if (word.isEmpty())
            break; // trailing spaces are never drawn

        if (lineHasText && fits(current + spaces + word)) {
            current += spaces + word;
            continue;
        }
        if (lineHasText) {
            // The break swallows the run of spaces.
            lines.append(current);
            current.clear();
            if (lines.size() >= maxLines)
                return lines;
        }
        // A word wider than the label is broken between characters. Only
        // prefixes up to a line's width are ever measured, so a long reply
        // costs time in proportion to the lines shown.
        while (!word.isEmpty()) {
            qsizetype take = 0;
            while (take < word.size() && fits(current + word.first(take + 1)))
                ++take;
            if (take == word.size())
                break;
            if (take == 0 && !current.isEmpty()) {
                lines.append(current);
                current.clear();
            } else {
                take = std::max<qsizetype>(take, 1);
                lines.append(current + word.first(take));
                current.clear();
                word = word.sliced(take);
            }
            if (lines.size() >= maxLines)
                return lines;
        }
        current += word;
        lineHasText = true;
    }
    if (lineHasText || !current.isEmpty())
        lines.append(current);
    return lines;
}

QStringList Label::lines(qsizetype maxLines) const
{
    const QString shown = displayText(m_caption);
    if (m_sizing == Sizing::AutoSize)
        return {shown};
    if (m_sizing == Sizing::OneLine) {
        if (shown.isEmpty())
            return {};
        return {QFontMetrics(font()).elidedText(shown, Qt::ElideMiddle, contentsRect().width())};
    }
    return wrap(shown, font(), contentsRect().width(), maxLines);
}

void Label::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event); // the border
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.setClipRect(area);
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetrics metrics(font());
    // Only whole lines are drawn: the top rows of a line that does not fit
    // (an accented capital's accent) would show in the last inner row. The
    // first line is drawn even where it does not fit whole.
    const int wholeLines = std::max(1, area.height() / std::max(1, metrics.height()));
    const QStringList shownLines = lines(wholeLines);
    int y = area.top();
    if (m_centered)
        y += (area.height() - metrics.height() * int(shownLines.size())) / 2;
    for (const QString& text : shownLines) {
        int x = area.left();
        if (m_centered)
            x += (area.width() - metrics.horizontalAdvance(text)) / 2;
        painter.drawText(QPoint(x, y + metrics.ascent()), text);
        y += metrics.height();
    }
}

// --- Default and cancel buttons ---------------------------------------------

namespace {

class DefaultButtonFilter : public QObject
{
public:
    DefaultButtonFilter(QAbstractButton* button, QObject* parent)
        : QObject(parent)
        , m_button(button)
    {
    }

protected:
    // Sees Enter only when the focused control has not taken it itself.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
            if (enter && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
                m_button->click();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QAbstractButton* m_button;
};

} // namespace

void setDefaultAndCancel(QWidget* window, QAbstractButton* defaultButton,
                         QAbstractButton* cancelButton)
{
    if (defaultButton)
        window->installEventFilter(new DefaultButtonFilter(defaultButton, window));
    if (cancelButton) {
        auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
        escape->setContext(Qt::WindowShortcut);
        QObject::connect(escape, &QShortcut::activated, cancelButton, &QAbstractButton::click);
    }
}

QWidget* line(const QString& objectName, int x1, int y1, int x2, int y2, ColorRef colorRef,
              QWidget* parent)
{
    auto* widget = new Line(parent);
    widget->setObjectName(objectName);
    const int left = px(std::min(x1, x2));
    const int top = px(std::min(y1, y2));
    const int width = std::max(1, px(std::max(x1, x2)) - left);
    const int height = std::max(1, px(std::max(y1, y2)) - top);
    widget->setGeometry(left, top, width, height);
    setPaletteColors(widget, {{QPalette::Window, colorRef}});
    widget->setAutoFillBackground(true);
    widget->setAttribute(Qt::WA_TransparentForMouseEvents);
    return widget;
}

StatusLine::StatusLine(const QString& objectName, const QString& caption, const QRect& geometry,
                       QWidget* parent)
    : Label(objectName, caption, geometry, Sizing::OneLine, parent)
{
    setColors(kOrange, kBlack);
    setTextFont(arial(kSmallPx));
}

PictureBox::PictureBox(const QString& objectName, const QString& accessibleName, const QString& resource,
                       const QRect& geometry, ColorRef ground, QWidget* parent)
    : QFrame(parent)
    , m_picture(resource)
{
    setObjectName(objectName);
    setAccessibleName(accessibleName);
    setGeometry(geometry);
    setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    setFocusPolicy(Qt::TabFocus);
    setPaletteColors(this, {{QPalette::Window, ground}});
    setAutoFillBackground(true);
}

void PictureBox::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setClipRect(contentsRect());
    painter.drawPixmap(contentsRect().topLeft(), m_picture);
}

void PictureBox::keyPressEvent(QKeyEvent* event)
{
    // Tab and Shift+Tab still move on (QWidget handles them before this).
    event->ignore();
}

QLineEdit* textBox(const QString& objectName, const QRect& geometry, const QFont& font,
                   QWidget* parent)
{
    auto* box = new QLineEdit(parent);
    box->setObjectName(objectName);
    box->setGeometry(geometry);
    box->setFont(font);
    box->setMaxLength(std::numeric_limits<int>::max());
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, color(kLightGrey));
    palette.setColor(QPalette::Text, color(kSysWindowText));
    // The classic style draws a line edit's inner bottom and right edge in
    // the Window colour, which a box on a form inherits as the form's black;
    // a framed label draws that edge in Midlight. One colour for both.
    palette.setColor(QPalette::Window, palette.color(QPalette::Midlight));
    box->setPalette(palette);
    return box;
}

Label* captionLabel(const QString& objectName, const QString& caption, const QRect& geometry,
                    Label::Sizing sizing, QWidget* parent)
{
    auto* label = new Label(objectName, caption, geometry, sizing, parent);
    label->setColors(kOrange, kBlack);
    label->setTextFont(arial(kCaptionPx));
    return label;
}

Label* resultLabel(const QString& objectName, const QRect& geometry, QWidget* parent)
{
    auto* label = new Label(objectName, QString(), geometry, Label::Sizing::Fixed, parent);
    label->setBorder(Label::Border::Sunken);
    label->setColors(kSysButtonText, kLightGrey);
    label->setTextFont(arial(kSmallPx));
    return label;
}


void centreOnScreen(QWidget* window)
{
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    // setGeometry places the client area itself, whatever frame the desktop
    // draws around it.
    window->setGeometry(QRect(area.center() - QPoint(window->width() / 2, window->height() / 2),
                              window->size()));
}

QWidget* stretchedPicture(const QString& objectName, const QString& accessibleName,
                          const QString& resource, const QRect& geometry, QWidget* parent)
{
    auto* picture = new QLabel(parent);
    picture->setObjectName(objectName);
    picture->setAccessibleName(accessibleName);
    picture->setGeometry(geometry);
    picture->setPixmap(QPixmap(resource));
    picture->setScaledContents(true);
    picture->setFocusPolicy(Qt::NoFocus);
    picture->setAttribute(Qt::WA_TransparentForMouseEvents);
    return picture;
}

} // namespace velmario::look
