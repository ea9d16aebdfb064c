#include "frminteg.h"

#include "common/label.h"
#include "common/look.h"
#include "common/stretchedpicture.h"

using namespace Qt::StringLiterals;

namespace velmario {

using namespace look;

namespace {
// Five names separated by runs of spaces; at the label's width each stands
// on a line of its own.
const QString kMembers =
    u"Ana Lucía Gutiérrez Peña         Carlos Andrés Ibáñez Soto         "
    "Marta Elena Domínguez Ruiz         Jorge Luis Castañeda Mora         "
    "Patricia Núñez Villaseñor"_s;
} // namespace

frmInteg::frmInteg(Navigation& navigation, QWidget* parent)
    : InfoWindow(navigation, FormId::Integ, u"frmInteg"_s, u"Integrantes"_s, 4275, 4305, parent)
{
    // A fixed single frame: movable and closable, never resized, no minimize
    // or maximize box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
    setFixedSize(size());

    addAceptar(1477, 3600);
    captionLabel(u"lblIntegrantes"_s, kMembers, twipsRect(585, 2040, 3105, 1275), Label::Sizing::Fixed, this);
    stretchedPicture(u"Image1"_s, u"Foto de los integrantes del proyecto"_s, u":/pictures/group.jpg"_s,
                     twipsRect(997, 240, 2280, 1680), this);
    centreOnScreen(this);
}

} // namespace velmario
