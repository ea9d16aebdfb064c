#pragma once

#include "infowindow.h"

namespace velmario {

class frmAcercade : public InfoWindow
{
    Q_OBJECT

public:
    explicit frmAcercade(Navigation& navigation, QWidget* parent = nullptr);
};

} // namespace velmario
