#pragma once
// The program's five windows: one instance of each at most, created the
// first time anything refers to it, and the commands that move the user
// between them.

#include "common/navigation.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <array>

namespace velmario {

// Runs the program: the welcome window, then the event loop until the
// program ends, then the process leaves at once, with the windows and their
// connection closed but without waiting for anything else.
[[noreturn]] void runProgram();

class Forms : public QObject, public Navigation
{
    Q_OBJECT

public:
    // Owns the windows; each one it creates moves the user through it.
    Forms();
    ~Forms() override;

    // The window's instance, created (hidden) if its slot is empty.
    QWidget* form(FormId id);
    template <class T>
    T* form(FormId id) { return static_cast<T*>(form(id)); }
    bool isLoaded(FormId id) const;

    void Show(FormId id) override;
    void Hide(FormId id) override;
    void End() override;
    bool hasEnded() const { return m_ended; }

signals:
    void unloaded(velmario::FormId id);
    void ended();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* create(FormId id);
    void unload(FormId id);
    void endAfterLastWindow();
    static void quitEventLoop();

    std::array<QPointer<QWidget>, kFormCount> m_slots{};
    bool m_ended = false;
};

} // namespace velmario
