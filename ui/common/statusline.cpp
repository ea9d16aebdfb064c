#include "statusline.h"

namespace velmario::look {

StatusLine::StatusLine(const QString& objectName, const QString& caption, const QRect& geometry,
                       QWidget* parent)
    : Label(objectName, caption, geometry, Sizing::OneLine, parent)
{
    setColors(kOrange, kBlack);
    setTextFont(arial(kSmallPx));
    setShowWholeOnHover(true);
}

} // namespace velmario::look
