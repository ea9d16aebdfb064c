#include "look.h"

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QScreen>
#include <QShortcut>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QStyleFactory>
#include <QWindow>

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
    // Where Arial itself is not installed, fontconfig's metric aliases put
    // Liberation Sans, which has Arial's metrics, in its place. Naming it
    // here as well would make Qt look it up a second time.
    font.setFamily(u"Arial"_s);
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
    // Where there is no fontconfig to alias it (Qt's own font database, as
    // on Windows without Arial), Liberation Sans, which has Arial's metrics,
    // stands in for Arial; Qt turns to it only when Arial is missing.
    QFont::insertSubstitution(u"Arial"_s, u"Liberation Sans"_s);
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

void drawFocusFrame(QWidget* control, const QRect& area)
{
    QPainter painter(control);
    QStyleOptionFocusRect option;
    option.initFrom(control);
    option.rect = area.adjusted(1, 1, -1, -1);
    option.backgroundColor = control->palette().color(control->backgroundRole());
    control->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, control);
}

QRect placedInside(const QRect& frame, const QRect& available)
{
    QRect placed = frame;
    if (placed.right() > available.right())
        placed.moveRight(available.right());
    if (placed.bottom() > available.bottom())
        placed.moveBottom(available.bottom());
    if (placed.left() < available.left())
        placed.moveLeft(available.left());
    if (placed.top() < available.top())
        placed.moveTop(available.top());
    return placed;
}

void keepOnScreen(QWidget* window)
{
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // The desktop's frame is known once it has framed the window; before,
    // allow for a title bar and borders as the style draws them.
    QMargins frame = window->windowHandle() ? window->windowHandle()->frameMargins() : QMargins();
    if (frame.isNull()) {
        const int border = window->style()->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth);
        frame = QMargins(border, window->style()->pixelMetric(QStyle::PM_TitleBarHeight) + border, border, border);
    }
    const QRect framed = window->geometry().marginsAdded(frame);
    const QRect placed = placedInside(framed, screen->availableGeometry());
    if (placed != framed)
        window->move(window->pos() + (placed.topLeft() - framed.topLeft()));
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

} // namespace velmario::look
