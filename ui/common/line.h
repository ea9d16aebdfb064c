#pragma once
// A line drawn on a window; a screen reader knows it as a separator.

#include "look.h"

#include <QWidget>

namespace velmario::look {

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
