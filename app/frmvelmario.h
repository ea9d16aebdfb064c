#pragma once

#include "forms.h"

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
    explicit FrmVelmario(QWidget* parent = nullptr);

    void cmdEntrar_Click();
    void cmdSalir_Click();

private:
    look::Label* lblvosk = nullptr;
    look::OrangeButton* cmdEntrar = nullptr;
    look::OrangeButton* cmdSalir = nullptr;
};

} // namespace velmario
