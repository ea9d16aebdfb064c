#pragma once
// A text box: a single-line edit box on light grey, text in the window-text
// colour, no length limit, in the sunken border a result label has.

#include <QFont>
#include <QRect>
#include <QString>

class QLineEdit;
class QWidget;

namespace velmario::look {

QLineEdit* textBox(const QString& objectName, const QRect& geometry, const QFont& font,
                   QWidget* parent);

} // namespace velmario::look
