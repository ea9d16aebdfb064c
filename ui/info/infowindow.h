#pragma once

#include "common/navigation.h"

#include <QWidget>

namespace velmario {
namespace look {
class OrangeButton;
}

// What the three Help windows share: a black window centred on the screen
// whose Aceptar button goes back to the search window.
class InfoWindow : public QWidget, public FormHandlers
{
    Q_OBJECT

public:
    void cmdAceptar_Click();

protected:
    InfoWindow(Navigation& navigation, FormId self, const QString& objectName, const QString& caption, int widthTwips,
               int heightTwips, QWidget* parent);
    look::OrangeButton* addAceptar(int leftTwips, int topTwips);

private:
    Navigation& m_navigation;
    FormId m_self;
};

} // namespace velmario
