#pragma once

#include "infowindow.h"

namespace velmario {
namespace look {
class PictureBox;
}

class frmUso : public InfoWindow
{
    Q_OBJECT

public:
    explicit frmUso(Navigation& navigation, QWidget* parent = nullptr);

private:
    look::PictureBox* Picture1 = nullptr;
};

} // namespace velmario
