#include "resultlabel.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QKeyEvent>

using namespace Qt::StringLiterals;

namespace velmario::look {

ResultLabel::ResultLabel(const QString& objectName, const QRect& geometry, QWidget* parent)
    : Label(objectName, QString(), geometry, Sizing::Fixed, parent)
{
    setBorder(Border::Sunken);
    setColors(kSysButtonText, kLightGrey);
    setTextFont(arial(kSmallPx));
    setShowWholeOnHover(true);
    setCursor(Qt::IBeamCursor);
    setFocusPolicy(Qt::TabFocus);
    // Another program taking the selection ends this one's, as in a text box.
    QClipboard* clipboard = QGuiApplication::clipboard();
    connect(clipboard, &QClipboard::selectionChanged, this, [this, clipboard] {
        if (!clipboard->ownsSelection())
            unselect();
    });
}

void ResultLabel::copy() const
{
    QGuiApplication::clipboard()->setText(caption(), QClipboard::Clipboard);
}

void ResultLabel::select()
{
    if (caption().isEmpty())
        return;
    setHighlighted(true);
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard->supportsSelection())
        clipboard->setText(caption(), QClipboard::Selection);
}

void ResultLabel::unselect()
{
    setHighlighted(false);
}

void ResultLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        Label::mousePressEvent(event);
        return;
    }
    m_pressedAt = event->position().toPoint();
    m_dragging = false;
    event->accept();
}

void ResultLabel::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    if (!m_dragging
        && (event->position().toPoint() - m_pressedAt).manhattanLength() >= QApplication::startDragDistance()) {
        // Only the whole value is ever selected: part of it is no value.
        m_dragging = true;
        select();
    }
    event->accept();
}

void ResultLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        Label::mouseReleaseEvent(event);
        return;
    }
    // A click without a drag ends a selection, as in a text box.
    if (!m_dragging)
        unselect();
    m_dragging = false;
    event->accept();
}

void ResultLabel::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        Label::mouseDoubleClickEvent(event);
        return;
    }
    select();
    m_dragging = true; // the release that follows keeps the selection
    event->accept();
}

void ResultLabel::contextMenuEvent(QContextMenuEvent* event)
{
    // From the keyboard, the menu opens below the label rather than where
    // the pointer happens to be.
    openMenu(event->reason() == QContextMenuEvent::Keyboard ? mapToGlobal(rect().bottomLeft())
                                                            : event->globalPos());
    event->accept();
}

void ResultLabel::openMenu(const QPoint& globalPos)
{
    QMenu menu(this);
    menu.setObjectName(u"menuCopiar"_s);
    QAction* copyAction = menu.addAction(u"&Copiar"_s, this, &ResultLabel::copy);
    copyAction->setObjectName(u"Copiar"_s);
    copyAction->setEnabled(!caption().isEmpty());
    menu.exec(globalPos);
}

void ResultLabel::keyPressEvent(QKeyEvent* event)
{
    const QKeyCombination key = event->keyCombination();
    if (key == QKeyCombination(Qt::Key_Menu) || key == QKeyCombination(Qt::ShiftModifier, Qt::Key_F10)) {
        openMenu(mapToGlobal(rect().bottomLeft()));
        event->accept();
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        copy();
        event->accept();
        return;
    }
    Label::keyPressEvent(event);
}

void ResultLabel::focusInEvent(QFocusEvent* event)
{
    Label::focusInEvent(event);
    update();
}

void ResultLabel::focusOutEvent(QFocusEvent* event)
{
    Label::focusOutEvent(event);
    update();
}

void ResultLabel::paintEvent(QPaintEvent* event)
{
    Label::paintEvent(event);
    if (hasFocus())
        drawFocusFrame(this, contentsRect());
}

} // namespace velmario::look
