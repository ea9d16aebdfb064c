#pragma once

#include "app/forms.h"

#include <QWidget>

namespace velmario {

class frmBusquedaAl : public QWidget, public FormHandlers
{
    Q_OBJECT

public:
    explicit frmBusquedaAl(QWidget* parent = nullptr);
};

} // namespace velmario
