#pragma once
// What the window tests share: the application's look, a fresh window
// registry per test, and keys typed where the user's focus is.

#include "forms.h"
#include "common/label.h"
#include "common/look.h"
#include "common/orangebutton.h"
#include "common/picturebox.h"
#include "common/resultlabel.h"
#include "common/statusline.h"
#include "common/textbox.h"
#include "testsockets.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>


namespace velmario::testing {

// Sends a key to whichever widget has the keyboard focus, as typing does.
inline void typeKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget* target = QApplication::focusWidget();
    if (!target)
        target = QApplication::activeWindow();
    QVERIFY2(target, "no widget to type into");
    QTest::keyClick(target, key, modifiers);
}

// Types text into a widget, letters beyond ASCII (ñ, 中) included, as a
// keyboard layout or input method delivers them.
inline void typeText(QWidget* target, const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClick(target, char(c.unicode()));
        } else {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(target, &press);
            QApplication::sendEvent(target, &release);
        }
    }
}

// The server's side of the connection whose local port is `peerPort`;
// connections left over from earlier tests are dropped on the way.
inline QTcpSocket* acceptPeer(QTcpServer& server, quint16 peerPort, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        while (QTcpSocket* peer = server.nextPendingConnection()) {
            if (peer->peerPort() == peerPort)
                return peer;
            delete peer;
        }
        server.waitForNewConnection(50);
    }
    return nullptr;
}

// A listener that never accepts, its queue filled: the kernel drops further
// connection attempts without an answer, so a connect to it stays pending.
class StalledListener
{
public:
    StalledListener(const char* address, quint16 port)
    {
        m_listening = m_socket.listenOn(address, port, 0);
        for (int i = 0; m_listening && i < 3; ++i) {
            m_fillers.emplace_back();
            m_fillers.back().connectWithoutWaiting(address, port);
        }
        // Time for the kernel to complete the fillers' handshakes.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    bool isListening() const { return m_listening; }

private:
    RawSocket m_socket;
    bool m_listening = false;
    std::vector<RawSocket> m_fillers;
};

inline QString focusName()
{
    QWidget* focus = QApplication::focusWidget();
    return focus ? focus->objectName() : QString();
}

template <class T>
T* child(QWidget* window, const QString& name)
{
    T* found = window->findChild<T*>(name);
    if (!found)
        qWarning("no %s named %s", T::staticMetaObject.className(), qPrintable(name));
    return found;
}

// The Ayuda menu's item that opens a Help window.
inline const char* helpItem(FormId id)
{
    switch (id) {
    case FormId::Acercade: return "mnuAyuda_Acercade";
    case FormId::Uso: return "mnuAyuda_Uso";
    default: return "mnuAyuda_Integrantes";
    }
}

} // namespace velmario::testing

// A QApplication with the client's look, as main() sets it up.
#define VELMARIO_TEST_MAIN(TestClass)                                                              \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        if (!qEnvironmentVariable("QT_QPA_PLATFORM").startsWith(u"offscreen"))                      \
            qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));                            \
        QApplication app(argc, argv);                                                              \
        QApplication::setQuitOnLastWindowClosed(false);                                            \
        velmario::look::applyApplicationLook(app);                                                 \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
