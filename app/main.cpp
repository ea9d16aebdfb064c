#include "forms.h"
#include "common/look.h"

#include <QApplication>

using namespace Qt::StringLiterals;

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(VELMARIO_PRODUCT_NAME));
    QApplication::setApplicationVersion(QStringLiteral(VELMARIO_VERSION_TEXT));
    QApplication::setOrganizationName(u"Velmario"_s);
    QApplication::setDesktopFileName(u"org.velmario.Velmario"_s);
    QApplication::setQuitOnLastWindowClosed(false);
    velmario::look::applyApplicationLook(app);
    velmario::runProgram();
}
