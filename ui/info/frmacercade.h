#pragma once

#include "app/forms.h"

#include <QWidget>

namespace velmario {

class frmAcercade : public QWidget, public FormHandlers
{
    Q_OBJECT

public:
    explicit frmAcercade(QWidget* parent = nullptr);
};

} // namespace velmario
