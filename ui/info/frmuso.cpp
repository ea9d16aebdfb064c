#include "frmuso.h"

#include "common/label.h"
#include "common/look.h"
#include "common/orangebutton.h"
#include "common/picturebox.h"

using namespace Qt::StringLiterals;

namespace velmario {

using namespace look;

namespace {
// The steps are separated by runs of spaces (21, 13 and 11), so that each
// starts a line of its own at the label's width.
const QString kSteps =
    u"1- Ingresar al velmario(dar le click en el botón de entrar).                     "
    "2- Seleccionar la opción según la información que necesita.             "
    "3- Escribir el nombre de la persona que desea buscar.           "
    "4- Dar click en el botón de Buscar correspondiente."_s;
} // namespace

frmUso::frmUso(Navigation& navigation, QWidget* parent)
    : InfoWindow(navigation, FormId::Uso, u"frmUso"_s, u"Uso del Velmario"_s, 4290, 4680, parent)
{
    captionLabel(u"lbl1"_s, u"Pasos: "_s, twipsRect(480, 1080, 750, 255), Label::Sizing::AutoSize, this);

    Picture1 = new PictureBox(u"Picture1"_s, u"Emblema de aniversario"_s, u":/pictures/cog.gif"_s,
                              twipsRect(2520, 120, 1215, 1095), kSysCaptionText, this);
    auto* cmdAceptar = addAceptar(1538, 3840);

    captionLabel(u"Label1"_s, kSteps, twipsRect(360, 1440, 3375, 2055), Label::Sizing::Fixed, this);

    setTabOrder(Picture1, cmdAceptar);
    centreOnScreen(this);
}

} // namespace velmario
