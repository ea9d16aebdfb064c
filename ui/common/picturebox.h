#pragma once
// A picture box: the picture at its natural size from the top-left of the
// area inside a sunken border, clipped to it. It takes the keyboard focus in
// tab order, showing a focus frame over the picture while it has it, but
// reacts to no key or click.

#include "look.h"

#include <QFrame>
#include <QPixmap>

namespace velmario::look {

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
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QPixmap m_picture;
};

} // namespace velmario::look
