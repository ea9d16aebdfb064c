// The client's start-up, as main() does it, up to the welcome window's first paint.
#include "startup_probe.h"

#include "forms.h"
#include "common/look.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    velmario::look::applyApplicationLook(app);
    velmario::Forms forms;
    FirstPaint probe(forms.form(velmario::FormId::Velmario));
    forms.Show(velmario::FormId::Velmario);
    return app.exec();
}
