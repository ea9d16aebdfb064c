#pragma once
// A result shown by a window: Arial 8.25 pt in the button-text colour on
// light grey, in a sunken border, of a fixed size and empty at first.
//
// A value too long for it ends in "…" (label.h), and the whole value is then
// its tooltip; it is always its accessible name. The value can be taken
// whole with the mouse: dragging across it or double-clicking it selects it
// (and gives it to the desktop's selection, where there is one), and its
// context menu's "Copiar" puts it on the clipboard. It takes the focus from
// the keyboard only, so that it can be reached after a window's designed tab
// stops: focused, it shows a focus frame, a screen reader reads its whole
// value, and the Menu key or Shift+F10 opens its context menu.

#include "label.h"

namespace velmario::look {

class ResultLabel : public Label
{
    Q_OBJECT
public:
    ResultLabel(const QString& objectName, const QRect& geometry, QWidget* parent);

    bool isSelected() const { return isHighlighted(); }
    // Puts the whole value on the clipboard, as "Copiar" does.
    void copy() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void openMenu(const QPoint& globalPos);
    void select();
    void unselect();

    QPoint m_pressedAt;
    bool m_dragging = false;
};

} // namespace velmario::look
