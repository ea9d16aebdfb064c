#pragma once
// What the window tests share: the application's look, a fresh window
// registry per test, and keys typed where the user's focus is.

#include "forms.h"
#include "common/look.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

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

} // namespace velmario::testing

// A QApplication with the client's look, as main() sets it up.
#define VELMARIO_TEST_MAIN(TestClass)                                                              \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));                                \
        QApplication app(argc, argv);                                                              \
        QApplication::setQuitOnLastWindowClosed(false);                                            \
        velmario::look::applyApplicationLook(app);                                                 \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
