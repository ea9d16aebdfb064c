#pragma once

#include "app/forms.h"

#include <QWidget>

namespace velmario {

class frmUso : public QWidget, public FormHandlers
{
    Q_OBJECT

public:
    explicit frmUso(QWidget* parent = nullptr);
};

} // namespace velmario
