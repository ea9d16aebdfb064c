#include "frmacercade.h"

#include "common/label.h"
#include "common/look.h"

using namespace Qt::StringLiterals;

namespace velmario {

using namespace look;

namespace {
const QString kCredits =
    u"Este directorio telefónico fue realizado por los alumnos del curso de Programación "
    "como proyecto final de dicho curso. Agradecemos a nuestro profesor todo lo que nos "
    "enseñó en su curso, su paciencia y dedicación, que nos permitieron terminar este "
    "trabajo con éxito."_s;
} // namespace

frmAcercade::frmAcercade(Navigation& navigation, QWidget* parent)
    : InfoWindow(navigation, FormId::Acercade, u"frmAcercade"_s, u"Acerca del Velmario"_s, 4020, 3930, parent)
{
    captionLabel(u"lblAcerca"_s, kCredits, twipsRect(360, 360, 3375, 2535), Label::Sizing::Fixed, this);
    addAceptar(1320, 3120);
    centreOnScreen(this);
}

} // namespace velmario
