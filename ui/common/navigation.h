#pragma once
// How a window moves the user on: it names the window to show or hide and
// leaves creating, showing and ending to whoever runs the program's windows.

#include <cstddef>

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

class Navigation
{
public:
    // Makes the window visible and active, creating it first if needed.
    virtual void Show(FormId id) = 0;
    // Makes the window invisible, creating it first if needed. It stays loaded.
    virtual void Hide(FormId id) = 0;
    // Ends the program at once: no unload handler runs.
    virtual void End() = 0;

protected:
    ~Navigation() = default;
};

} // namespace velmario
