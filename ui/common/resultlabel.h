#pragma once

#include "label.h"

namespace velmario::look {

// A result shown by a window: Arial 8.25 pt in the button-text colour on
// light grey, in a sunken border, of a fixed size and empty at first.
Label* resultLabel(const QString& objectName, const QRect& geometry, QWidget* parent);

} // namespace velmario::look
