#pragma once
// The look every window of the client shares: twips, colours, fonts, the
// application's style and palette, and a window's ground, font and place.
// Each kind of control has a file of its own beside this one (orangebutton,
// label, resultlabel, statusline, textbox, picturebox, stretchedpicture,
// line); windows describe their controls in these terms and never restate
// them.

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QRect>

#include <initializer_list>
#include <utility>

class QAbstractButton;
class QApplication;
class QWidget;

namespace velmario::look {

// --- Units -----------------------------------------------------------------

inline constexpr int kTwipsPerPixel = 15;

// Twips to pixels, rounded to the nearest pixel.
constexpr int px(int twips)
{
    return twips >= 0 ? (twips + kTwipsPerPixel / 2) / kTwipsPerPixel
                      : -((-twips + kTwipsPerPixel / 2) / kTwipsPerPixel);
}
QRect twipsRect(int left, int top, int width, int height);

// --- Colours ---------------------------------------------------------------

// Colours as 0x00BBGGRR values; a value with the high bit set names entry nn
// of the system colour table instead.
using ColorRef = quint32;
inline constexpr ColorRef kBlack = 0x00000000;
inline constexpr ColorRef kOrange = 0x000080FF;
inline constexpr ColorRef kLightGrey = 0x00E0E0E0;
inline constexpr ColorRef kSysWindowBackground = 0x80000005;
inline constexpr ColorRef kSysWindowText = 0x80000008;
inline constexpr ColorRef kSysCaptionText = 0x80000009;
inline constexpr ColorRef kSysButtonFace = 0x8000000F;
inline constexpr ColorRef kSysButtonText = 0x80000012;

QColor color(ColorRef value);

// Gives the widget's palette roles these colours.
void setPaletteColors(QWidget* widget,
                      std::initializer_list<std::pair<QPalette::ColorRole, ColorRef>> colors);

// --- Fonts -----------------------------------------------------------------

// Sizes in pixels at 96 dpi: fixed layouts must not follow the desktop's
// DPI setting, point sizes would.
inline constexpr int kSmallPx = 11;  // 8.25 pt
inline constexpr int kButtonPx = 13; // 9.75 pt
inline constexpr int kCaptionPx = 15; // 11.25 pt

QFont arial(int pixelSize, bool bold = false, bool italic = false);
// "MS Sans Serif" 8.25 pt, or the Arial-metric face where it is missing.
QFont msSansSerif();

// --- Application-wide ------------------------------------------------------

// The classic Windows style draws graphical buttons as designed (a face of
// exactly the button's colour, the two-pixel raised edge, a sinking pressed
// look, a dotted focus rectangle); it is set explicitly with the standard
// colour scheme, so the client looks the same on every desktop.
void applyApplicationLook(QApplication& app);

// Gives the client's controls their roles, names and relations for screen
// readers (labels, the status line, pictures, lines, plain windows).
void installAccessibility();

// --- Windows ---------------------------------------------------------------

// A window's black ground and its window font, Arial 8.25 pt.
void setupWindow(QWidget* window, int clientWidthTwips, int clientHeightTwips);
// Draws the style's focus frame (a dotted rectangle) just inside `area` of a
// control that has the focus.
void drawFocusFrame(QWidget* control, const QRect& area);
// Places a window's client area centred on the primary screen.
void centreOnScreen(QWidget* window);
// Where a window's frame goes so that it lies inside the screen's available
// area, keeping its size: where it is when it fits, else moved the least
// (to the area's top-left where it is larger than the area).
QRect placedInside(const QRect& frame, const QRect& available);
// Moves a window placed by its design inside its screen's available area
// when it would not fit there (a large scale factor, a small screen), with
// the frame the desktop draws around it.
void keepOnScreen(QWidget* window);

// A default button (Enter, unless another button has the focus, in which
// case Enter presses that one) and a cancel button (Escape, wherever the
// focus is) for a plain top-level window.
void setDefaultAndCancel(QWidget* window, QAbstractButton* defaultButton,
                         QAbstractButton* cancelButton);

} // namespace velmario::look
