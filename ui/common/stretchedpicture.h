#pragma once
// A picture that belongs to a window's design, stretched to fill its
// rectangle (width and height scaled separately). It takes no focus and
// lets the mouse through.

#include <QRect>
#include <QString>

class QWidget;

namespace velmario::look {

QWidget* stretchedPicture(const QString& objectName, const QString& accessibleName,
                          const QString& resource, const QRect& geometry, QWidget* parent);

} // namespace velmario::look
