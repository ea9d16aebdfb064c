#include "infowindow.h"

#include "common/look.h"
#include "common/orangebutton.h"

using namespace Qt::StringLiterals;

namespace velmario {

using namespace look;

InfoWindow::InfoWindow(Navigation& navigation, FormId self, const QString& objectName, const QString& caption,
                       int widthTwips, int heightTwips, QWidget* parent)
    : QWidget(parent)
    , m_navigation(navigation)
    , m_self(self)
{
    setObjectName(objectName);
    setWindowTitle(caption);
    setupWindow(this, widthTwips, heightTwips);
}

OrangeButton* InfoWindow::addAceptar(int leftTwips, int topTwips)
{
    auto* button = new OrangeButton(u"cmdAceptar"_s, u"&Aceptar"_s, twipsRect(leftTwips, topTwips, 1215, 495), this);
    connect(button, &QPushButton::clicked, this, &InfoWindow::cmdAceptar_Click);
    return button;
}

void InfoWindow::cmdAceptar_Click()
{
    m_navigation.Hide(m_self);
    m_navigation.Show(FormId::BusquedaAl);
}

} // namespace velmario
