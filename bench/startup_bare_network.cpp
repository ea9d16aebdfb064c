// A bare window that also loads Qt Network, which the client needs for its
// connection: the part of start-up that comes with the network library.
#include "startup_probe.h"

#include <QApplication>
#include <QTcpSocket>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QTcpSocket socket; // the client holds one from its search window on
    QWidget window;
    window.resize(309, 242);
    FirstPaint probe(&window);
    window.show();
    return app.exec();
}
