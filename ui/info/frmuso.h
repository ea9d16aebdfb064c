#pragma once

#include "infowindow.h"

namespace velmario {

class frmUso : public InfoWindow
{
    Q_OBJECT

public:
    explicit frmUso(Navigation& navigation, QWidget* parent = nullptr);
};

} // namespace velmario
