#include "frmbusquedaal.h"

#include "ui/common/look.h"

using namespace Qt::StringLiterals;

namespace velmario {

frmBusquedaAl::frmBusquedaAl(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(u"frmBusquedaAl"_s);
}

} // namespace velmario
