#pragma once
// The program's five windows: one instance of each at most, created the
// first time anything refers to it, and the commands that move the user
// between them.

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <array>

namespace velmario {

enum class FormId { Velmario, BusquedaAl, Acercade, Uso, Integ };
inline constexpr std::size_t kFormCount = 5;

// What a window does when it becomes the active one through the program's
// navigation, and when it is unloaded by its close box.
class FormHandlers
{
public:
    virtual ~FormHandlers() = default;
    virtual void Form_Activate() {}
    virtual void Form_Unload() {}
};

class Forms : public QObject
{
    Q_OBJECT

public:
    // Exactly one registry exists while the client runs; it owns the windows.
    Forms();
    ~Forms() override;
    static Forms& instance();

    // The window's instance, created (hidden) if its slot is empty.
    QWidget* form(FormId id);
    template <class T>
    T* form(FormId id) { return static_cast<T*>(form(id)); }
    bool isLoaded(FormId id) const;

    // Makes the window visible and active, creating it first if needed.
    void Show(FormId id);
    // Makes the window invisible, creating it first if needed. It stays loaded.
    void Hide(FormId id);
    // Ends the program at once: no unload handler runs.
    void End();
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
