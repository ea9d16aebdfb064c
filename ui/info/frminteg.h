#pragma once

#include "app/forms.h"

#include <QWidget>

namespace velmario {

class frmInteg : public QWidget, public FormHandlers
{
    Q_OBJECT

public:
    explicit frmInteg(QWidget* parent = nullptr);
};

} // namespace velmario
