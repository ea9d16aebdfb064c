#pragma once

#include "infowindow.h"

namespace velmario {

class frmAcercade : public InfoWindow
{
    Q_OBJECT

public:
    explicit frmAcercade(QWidget* parent = nullptr);
};

} // namespace velmario
