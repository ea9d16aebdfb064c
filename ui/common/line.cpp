#include "line.h"

#include <algorithm>

namespace velmario::look {

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

} // namespace velmario::look
