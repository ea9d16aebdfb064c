#include "frmuso.h"

#include "ui/common/look.h"

using namespace Qt::StringLiterals;

namespace velmario {

frmUso::frmUso(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(u"frmUso"_s);
}

} // namespace velmario
