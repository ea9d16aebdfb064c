#pragma once

#include "label.h"

namespace velmario::look {

// A window's status line: one line that says what is going on, orange
// Arial 8.25 pt on the black ground. A text too long for it is cut in the
// middle with "…" and shown whole as the tooltip when the pointer rests on
// it. A screen reader knows it as a status bar and hears each change of its
// text.
class StatusLine : public Label
{
    Q_OBJECT
public:
    StatusLine(const QString& objectName, const QString& caption, const QRect& geometry,
               QWidget* parent);
};

} // namespace velmario::look
