#include "stretchedpicture.h"

#include <QLabel>
#include <QPixmap>

namespace velmario::look {

QWidget* stretchedPicture(const QString& objectName, const QString& accessibleName,
                          const QString& resource, const QRect& geometry, QWidget* parent)
{
    auto* picture = new QLabel(parent);
    picture->setObjectName(objectName);
    picture->setAccessibleName(accessibleName);
    picture->setGeometry(geometry);
    picture->setPixmap(QPixmap(resource));
    picture->setScaledContents(true);
    picture->setFocusPolicy(Qt::NoFocus);
    picture->setAttribute(Qt::WA_TransparentForMouseEvents);
    return picture;
}

} // namespace velmario::look
