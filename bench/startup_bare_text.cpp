// A bare window that shows what any window of text and pictures must: one
// line of Arial text and the welcome window's JPEG emblem. Drawing text
// brings in fontconfig and FreeType, and the picture the JPEG decoder; a
// window that draws nothing pays for neither.
#include "startup_probe.h"

#include <QApplication>
#include <QLabel>
#include <QPixmap>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(309, 242);
    QLabel text(QStringLiteral("Bienvenidos"), &window);
    QFont arial(QStringLiteral("Arial"));
    arial.setPixelSize(11);
    text.setFont(arial);
    text.move(20, 150);
    QLabel picture(&window);
    picture.setPixmap(QPixmap(QStringLiteral(":/pictures/emblem.jpg")));
    picture.setScaledContents(true);
    picture.setGeometry(24, 8, 100, 83);
    FirstPaint probe(&window);
    window.show();
    return app.exec();
}
