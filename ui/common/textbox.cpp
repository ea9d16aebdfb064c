#include "textbox.h"

#include "look.h"

#include <QLineEdit>

#include <limits>

namespace velmario::look {

QLineEdit* textBox(const QString& objectName, const QRect& geometry, const QFont& font,
                   QWidget* parent)
{
    auto* box = new QLineEdit(parent);
    box->setObjectName(objectName);
    box->setGeometry(geometry);
    box->setFont(font);
    box->setMaxLength(std::numeric_limits<int>::max());
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, color(kLightGrey));
    palette.setColor(QPalette::Text, color(kSysWindowText));
    // The classic style draws a line edit's inner bottom and right edge in
    // the Window colour, which a box on a form inherits as the form's black;
    // a framed label draws that edge in Midlight. One colour for both.
    palette.setColor(QPalette::Window, palette.color(QPalette::Midlight));
    box->setPalette(palette);
    return box;
}

} // namespace velmario::look
