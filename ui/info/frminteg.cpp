#include "frminteg.h"

#include "ui/common/look.h"

using namespace Qt::StringLiterals;

namespace velmario {

frmInteg::frmInteg(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(u"frmInteg"_s);
}

} // namespace velmario
