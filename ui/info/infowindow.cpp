#include "infowindow.h"

#include "common/look.h"

#include <QKeyEvent>
#include <QPainter>

using namespace Qt::StringLiterals;

namespace velmario {

using namespace look;

InfoWindow::InfoWindow(Navigation& navigation, FormId self, const QString& objectName, const QString& caption,
                       int widthTwips, int heightTwips, QWidget* parent)
    : QWidget(parent)
    , m_navigation(navigation)
    , m_self(self)
{
    setObjectName(objectName);
    setWindowTitle(caption);
    setupWindow(this, widthTwips, heightTwips);
}

OrangeButton* InfoWindow::addAceptar(int leftTwips, int topTwips)
{
    auto* button = new OrangeButton(u"cmdAceptar"_s, u"&Aceptar"_s, twipsRect(leftTwips, topTwips, 1215, 495), this);
    connect(button, &QPushButton::clicked, this, &InfoWindow::cmdAceptar_Click);
    return button;
}

void InfoWindow::cmdAceptar_Click()
{
    m_navigation.Hide(m_self);
    m_navigation.Show(FormId::BusquedaAl);
}

PictureBox::PictureBox(const QString& objectName, const QString& accessibleName, const QString& resource,
                       const QRect& geometry, quint32 ground, QWidget* parent)
    : QFrame(parent)
    , m_picture(resource)
{
    setObjectName(objectName);
    setAccessibleName(accessibleName);
    setGeometry(geometry);
    setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    setFocusPolicy(Qt::TabFocus);
    setPaletteColors(this, {{QPalette::Window, ground}});
    setAutoFillBackground(true);
}

void PictureBox::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setClipRect(contentsRect());
    painter.drawPixmap(contentsRect().topLeft(), m_picture);
}

void PictureBox::keyPressEvent(QKeyEvent* event)
{
    // Tab and Shift+Tab still move on (QWidget handles them before this).
    event->ignore();
}

} // namespace velmario
