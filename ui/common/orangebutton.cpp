#include "orangebutton.h"

#include "look.h"

#include <QKeyEvent>
#include <QShortcutEvent>

namespace velmario::look {

OrangeButton::OrangeButton(const QString& objectName, const QString& caption,
                           const QRect& geometry, QWidget* parent)
    : QPushButton(caption, parent)
{
    setObjectName(objectName);
    setGeometry(geometry);
    setFont(arial(kButtonPx));
    setAutoDefault(false);
    setFocusPolicy(Qt::StrongFocus);
    setPaletteColors(this, {{QPalette::Button, kOrange}, {QPalette::ButtonText, kSysButtonText}});
}

void OrangeButton::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        click();
        event->accept();
        return;
    }
    QPushButton::keyPressEvent(event);
}

bool OrangeButton::event(QEvent* event)
{
    // The accelerator presses the button now rather than after Qt's
    // animated click.
    if (event->type() == QEvent::Shortcut && !static_cast<QShortcutEvent*>(event)->isAmbiguous()) {
        click();
        return true;
    }
    return QPushButton::event(event);
}

} // namespace velmario::look
