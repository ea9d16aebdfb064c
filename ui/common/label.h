#pragma once
// A label whose caption is plain text drawn as data, never as markup or
// accelerators.
//
// An auto-sizing label keeps its caption on one line and takes the size of
// the caption in its font (plus its border); only its top-left is fixed. It
// takes that size when its caption, font or border changes, and at the
// latest when it is polished before it is first shown, so that it is never
// measured in a font it is about to leave.
//
// A fixed-size label wraps the caption at spaces within its width: a run of
// spaces at which a line breaks is swallowed and never starts a line, a word
// wider than the label is broken between characters, and lines stand at the
// font's own height. It draws the whole lines its height holds (at least
// one); when the caption goes on beyond them, the last line drawn ends in
// "…" after the last whole word that fits with it (or the last character
// that fits, for a word too long for the line), so that part of a value is
// never shown as if it were the whole.
//
// A one-line label keeps a fixed size and its caption on one line: a
// caption too long for it is cut in the middle, where "…" stands for what
// is left out.
//
// Either fixed kind can show its whole caption as its tooltip whenever it is
// shortened (showWholeOnHover); the caption is always its accessible name
// (accessible.cpp), whole.

#include "look.h"

#include <QFrame>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <limits>
#include <optional>

namespace velmario::look {

class Label : public QFrame
{
    Q_OBJECT
public:
    enum class Sizing { AutoSize, Fixed, OneLine };
    enum class Border { None, Sunken };

    Label(const QString& objectName, const QString& caption, const QRect& geometry, Sizing sizing,
          QWidget* parent);

    QString caption() const { return m_caption; }
    void setCaption(const QString& caption);

    // The control this label captions: a screen reader names a text box by
    // its caption, and says a result label is labelled by it.
    void setBuddy(QWidget* buddy);
    QWidget* buddy() const { return m_buddy; }

    void setBorder(Border border);
    void setColors(ColorRef text, ColorRef ground);
    void setTextFont(const QFont& font);
    void setCentered(bool centered);
    // The whole caption becomes the tooltip whenever the label shortens it;
    // the label then takes the mouse, so that the tooltip can come.
    void setShowWholeOnHover(bool on);

    // The lines the caption is drawn in, as laid out for the present size.
    QStringList lines() const;
    // Whether those lines leave part of the caption out.
    bool isShortened() const;

    // The text shown for a caption: control characters become visible
    // symbols instead of acting on the layout.
    static QString displayText(const QString& caption);
    // Breaks text into lines no wider than `width` in `font`, stopping after
    // maxLines lines.
    static QStringList wrap(const QString& text, const QFont& font, int width,
                            qsizetype maxLines = std::numeric_limits<qsizetype>::max());

    struct Fitted {
        QStringList lines;
        bool shortened = false;
    };
    // The text in at most maxLines lines of `width`, wrapped as wrap() does;
    // when it goes on beyond them, the last line ends in "…" after the last
    // whole word that fits with it, or after the last character that fits
    // when not even the first word does.
    static Fitted fit(const QString& text, const QFont& font, int width, qsizetype maxLines);
    // A tooltip that shows the text as it is, even where it looks like markup.
    static QString plainToolTip(const QString& text);
    // The text as a tooltip that fits in `room` (the screen's): broken into
    // lines no wider than it, a word too long for a line between characters;
    // past the lines its height holds, the last one ends in "…" and a line
    // says that Copiar gives the whole value. Shown as it is, as
    // plainToolTip() does.
    static QString fittedToolTip(const QString& text, const QFont& font, const QSize& room);
    // What the tooltip's frame and margins take of the room, across and down.
    static constexpr int kToolTipMargin = 24;
    static const QString kToolTipGoesOn;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Draws the shown text as selected text.
    void setHighlighted(bool highlighted);
    bool isHighlighted() const { return m_highlighted; }

private:
    const Fitted& layout() const;
    const std::array<qreal, 256>& advances() const;
    void captionOrRoomChanged();

    QString m_caption;
    QPointer<QWidget> m_buddy;
    Sizing m_sizing;
    bool m_centered = false;
    bool m_wholeOnHover = false;
    bool m_highlighted = false;
    bool m_sizePending = false; // an auto-sizing label not measured yet
    mutable std::optional<Fitted> m_layout; // until the caption or the room changes
    mutable const std::array<qreal, 256>* m_advances = nullptr; // of the font's first 256 characters
};

// A caption: orange Arial 11.25 pt on the black ground.
Label* captionLabel(const QString& objectName, const QString& caption, const QRect& geometry,
                    Label::Sizing sizing, QWidget* parent);

} // namespace velmario::look
