#include "frmvelmario.h"

#include "common/label.h"
#include "common/look.h"
#include "common/orangebutton.h"
#include "common/stretchedpicture.h"

using namespace Qt::StringLiterals;

namespace velmario {

using namespace look;

FrmVelmario::FrmVelmario(Navigation& navigation, QWidget* parent)
    : QWidget(parent)
    , m_navigation(navigation)
{
    setObjectName(u"FrmVelmario"_s);
    setWindowTitle(u"Bienvenidos"_s);
    setupWindow(this, 4635, 3630);

    stretchedPicture(u"Image2"_s, u"Emblema del Velmario"_s, u":/pictures/emblem.jpg"_s,
                     twipsRect(360, 120, 1500, 1245), this);

    lblvosk = new Label(u"lblvosk"_s, u"Velmario Telefónico"_s, twipsRect(2040, 600, 2295, 315),
                        Label::Sizing::AutoSize, this);
    lblvosk->setColors(kOrange, kBlack);
    lblvosk->setTextFont(arial(kCaptionPx, true, true));
    lblvosk->setBorder(Label::Border::Sunken);
    lblvosk->setCentered(true);

    stretchedPicture(u"Image1"_s, u"Directorio telefónico Velmario"_s, u":/pictures/banner.bmp"_s,
                     twipsRect(330, 1560, 3975, 975), this);

    cmdEntrar = new OrangeButton(u"cmdEntrar"_s, u"&Entrar"_s, twipsRect(1080, 2880, 1215, 495), this);
    cmdSalir = new OrangeButton(u"cmdSalir"_s, u"&Salir"_s, twipsRect(2520, 2880, 1215, 495), this);
    connect(cmdEntrar, &QPushButton::clicked, this, &FrmVelmario::cmdEntrar_Click);
    connect(cmdSalir, &QPushButton::clicked, this, &FrmVelmario::cmdSalir_Click);
    setTabOrder(cmdEntrar, cmdSalir);
    setDefaultAndCancel(this, cmdEntrar, cmdSalir);

    centreOnScreen(this);
}

void FrmVelmario::cmdEntrar_Click()
{
    m_navigation.Hide(FormId::Velmario);
    m_navigation.Show(FormId::BusquedaAl);
}

void FrmVelmario::cmdSalir_Click()
{
    m_navigation.End();
}

} // namespace velmario
