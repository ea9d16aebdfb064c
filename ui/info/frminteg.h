#pragma once

#include "infowindow.h"

namespace velmario {

class frmInteg : public InfoWindow
{
    Q_OBJECT

public:
    explicit frmInteg(Navigation& navigation, QWidget* parent = nullptr);
};

} // namespace velmario
