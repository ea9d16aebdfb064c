#pragma once

#include "common/navigation.h"

#include <QWidget>

namespace velmario {
namespace look {
class Label;
class OrangeButton;
} // namespace look

// The welcome window: the program starts here and ends from here.
class FrmVelmario : public QWidget, public FormHandlers
{
    Q_OBJECT

public:
    explicit FrmVelmario(Navigation& navigation, QWidget* parent = nullptr);

    void cmdEntrar_Click();
    void cmdSalir_Click();

private:
    Navigation& m_navigation;
    look::Label* lblvosk = nullptr;
    look::OrangeButton* cmdEntrar = nullptr;
    look::OrangeButton* cmdSalir = nullptr;
};

} // namespace velmario
