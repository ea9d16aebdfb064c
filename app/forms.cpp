#include "forms.h"

#include "frmvelmario.h"
#include "info/frmacercade.h"
#include "info/frminteg.h"
#include "info/frmuso.h"
#include "common/look.h"
#include "search/frmbusquedaal.h"

#include <QApplication>
#include <QCloseEvent>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace velmario {
namespace {

constexpr std::size_t slotOf(FormId id) { return static_cast<std::size_t>(id); }

FormHandlers* handlersOf(QWidget* window)
{
    return dynamic_cast<FormHandlers*>(window);
}

// The first control of the window, in tab order, that can take the focus.
QWidget* firstInTabOrder(QWidget* window)
{
    for (QWidget* w = window->nextInFocusChain(); w && w != window; w = w->nextInFocusChain()) {
        if (w->window() == window && w->isEnabled() && w->isVisibleTo(window)
            && (w->focusPolicy() & Qt::TabFocus))
            return w;
    }
    return nullptr;
}

} // namespace

void runProgram()
{
    int code = 0;
    {
        Forms forms;
        forms.Show(FormId::Velmario);
        code = QApplication::exec();
    } // the windows go, and the connection with them: the server sees it close
    // End ends the program at once. An ordinary return would run the static
    // destructors, and Qt's host-lookup thread pool waits there for a lookup
    // still under way until the name server gives up, many seconds later,
    // with no window left. Nothing of the program's is left to save.
    std::fflush(nullptr);
    std::_Exit(code);
}

Forms::Forms() = default;

Forms::~Forms()
{
    // Destroying the windows at program end runs no unload handler.
    for (auto& window : m_slots)
        delete window.data();
}

QWidget* Forms::create(FormId id)
{
    switch (id) {
    case FormId::Velmario: return new FrmVelmario(*this);
    case FormId::BusquedaAl: return new frmBusquedaAl(*this);
    case FormId::Acercade: return new frmAcercade(*this);
    case FormId::Uso: return new frmUso(*this);
    case FormId::Integ: return new frmInteg(*this);
    }
    Q_UNREACHABLE();
}

QWidget* Forms::form(FormId id)
{
    auto& slot = m_slots[slotOf(id)];
    if (!slot) {
        slot = create(id);
        slot->installEventFilter(this);
    }
    return slot;
}

bool Forms::isLoaded(FormId id) const
{
    return !m_slots[slotOf(id)].isNull();
}

void Forms::Show(FormId id)
{
    if (m_ended)
        return;
    QWidget* window = form(id);
    // Every Show starts at the first control, wherever the focus was when
    // the window was last hidden: Enter then does what it did at start-up.
    if (QWidget* first = firstInTabOrder(window))
        first->setFocus(Qt::OtherFocusReason);
    look::keepOnScreen(window);
    window->show();
    look::keepOnScreen(window); // with the frame, where the desktop has told it by now
    if (QGuiApplication::platformName() != u"offscreen")
        window->raise();
    window->activateWindow();
    // Activation runs on the program's own navigation, never when the user
    // merely switches back from another application.
    if (auto* handlers = handlersOf(window))
        handlers->Form_Activate();
}

void Forms::Hide(FormId id)
{
    if (m_ended)
        return;
    form(id)->hide();
}

void Forms::End()
{
    if (m_ended)
        return;
    m_ended = true;
    for (auto& window : m_slots) {
        if (window)
            window->hide();
    }
    emit ended();
    quitEventLoop();
}

void Forms::quitEventLoop()
{
    // Handlers run inside the application's event loop, which this ends.
    // Outside any loop (a test driving the windows directly) there is
    // nothing to end, and exit() would make every later loop return at once.
    if (QThread::currentThread()->loopLevel() > 0)
        QCoreApplication::exit(0);
}

void Forms::unload(FormId id)
{
    auto& slot = m_slots[slotOf(id)];
    QWidget* window = slot;
    if (!window)
        return;
    if (auto* handlers = handlersOf(window))
        handlers->Form_Unload();
    slot = nullptr;
    window->removeEventFilter(this);
    window->deleteLater();
    emit unloaded(id);
}

void Forms::endAfterLastWindow()
{
    for (const auto& window : m_slots) {
        if (window && window->isVisible())
            return;
    }
    // No window is left to show: the hidden ones are destroyed with the
    // program.
    for (std::size_t i = 0; i < kFormCount; ++i) {
        if (m_slots[i])
            unload(static_cast<FormId>(i));
    }
    m_ended = true;
    emit ended();
    quitEventLoop();
}

bool Forms::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Close && !m_ended) {
        for (std::size_t i = 0; i < kFormCount; ++i) {
            if (m_slots[i] == watched) {
                event->accept();
                unload(static_cast<FormId>(i));
                endAfterLastWindow();
                return false;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace velmario
