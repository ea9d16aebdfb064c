#include "picturebox.h"

#include <QKeyEvent>
#include <QPainter>

namespace velmario::look {

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
    painter.end();
    // Where it holds the focus (the first control of its window), it shows so.
    if (hasFocus())
        drawFocusFrame(this, contentsRect());
}

void PictureBox::focusInEvent(QFocusEvent* event)
{
    QFrame::focusInEvent(event);
    update();
}

void PictureBox::focusOutEvent(QFocusEvent* event)
{
    QFrame::focusOutEvent(event);
    update();
}

void PictureBox::keyPressEvent(QKeyEvent* event)
{
    // Tab and Shift+Tab still move on (QWidget handles them before this).
    event->ignore();
}

} // namespace velmario::look
