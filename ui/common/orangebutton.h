#pragma once
// A graphical command button: orange face, caption in the button-text
// colour, Arial 9.75 pt. Enter or Space presses it while it has the focus;
// its Alt+letter accelerator presses it at once.

#include <QPushButton>

namespace velmario::look {

class OrangeButton : public QPushButton
{
    Q_OBJECT
public:
    OrangeButton(const QString& objectName, const QString& caption, const QRect& geometry,
                 QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;
};

} // namespace velmario::look
