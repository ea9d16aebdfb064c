#include "frmacercade.h"

#include "ui/common/look.h"

using namespace Qt::StringLiterals;

namespace velmario {

frmAcercade::frmAcercade(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(u"frmAcercade"_s);
}

} // namespace velmario
