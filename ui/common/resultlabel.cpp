#include "resultlabel.h"

namespace velmario::look {

Label* resultLabel(const QString& objectName, const QRect& geometry, QWidget* parent)
{
    auto* label = new Label(objectName, QString(), geometry, Label::Sizing::Fixed, parent);
    label->setBorder(Label::Border::Sunken);
    label->setColors(kSysButtonText, kLightGrey);
    label->setTextFont(arial(kSmallPx));
    return label;
}

} // namespace velmario::look
