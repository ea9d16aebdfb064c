// The floor for start-up: a bare Qt Widgets window of the same size.
#include "startup_probe.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(309, 242);
    FirstPaint probe(&window);
    window.show();
    return app.exec();
}
