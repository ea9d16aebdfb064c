#pragma once

#include "common/navigation.h"

#include <QFrame>
#include <QPixmap>
#include <QWidget>

namespace velmario {
namespace look {
class OrangeButton;
}

// What the three Help windows share: a black window centred on the screen
// whose Aceptar button goes back to the search window.
class InfoWindow : public QWidget, public FormHandlers
{
    Q_OBJECT

public:
    void cmdAceptar_Click();

protected:
    InfoWindow(Navigation& navigation, FormId self, const QString& objectName, const QString& caption, int widthTwips,
               int heightTwips, QWidget* parent);
    look::OrangeButton* addAceptar(int leftTwips, int topTwips);

private:
    Navigation& m_navigation;
    FormId m_self;
};

// A picture box: the picture at its natural size from the top-left of the
// area inside a sunken border, clipped to it. It takes the keyboard focus in
// tab order but reacts to no key or click.
class PictureBox : public QFrame
{
    Q_OBJECT

public:
    PictureBox(const QString& objectName, const QString& accessibleName, const QString& resource,
               const QRect& geometry, quint32 ground, QWidget* parent);
    const QPixmap& picture() const { return m_picture; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPixmap m_picture;
};

} // namespace velmario
