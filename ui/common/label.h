#pragma once

#include "look.h"

#include <QFrame>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <limits>

namespace velmario::look {

// A label whose caption is plain text drawn as data, never as markup or
// accelerators.
//
// An auto-sizing label keeps its caption on one line and takes the size of
// the caption in its font (plus its border); only its top-left is fixed.
// A fixed-size label wraps the caption at spaces within its width: a run of
// spaces at which a line breaks is swallowed and never starts a line, a word
// wider than the label is broken between characters, and lines stand at the
// font's own height. Lines past the bottom edge are cut off, and only whole
// lines are drawn. A one-line label keeps a fixed size and its caption on
// one line: a caption too long for it is cut in the middle, where "…"
// stands for what is left out, and is then shown whole as the tooltip.
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

    // The lines the caption is drawn in, as laid out for the present width
    // (the first maxLines of them).
    QStringList lines(qsizetype maxLines = std::numeric_limits<qsizetype>::max()) const;
    // The text shown for a caption: control characters become visible
    // symbols instead of acting on the layout.
    static QString displayText(const QString& caption);
    // Breaks text into lines no wider than `width` in `font`, stopping after
    // maxLines lines.
    static QStringList wrap(const QString& text, const QFont& font, int width,
                            qsizetype maxLines = std::numeric_limits<qsizetype>::max());

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitToCaption();

    QString m_caption;
    QPointer<QWidget> m_buddy;
    Sizing m_sizing;
    bool m_centered = false;
};

// A caption: orange Arial 11.25 pt on the black ground.
Label* captionLabel(const QString& objectName, const QString& caption, const QRect& geometry,
                    Label::Sizing sizing, QWidget* parent);
} // namespace velmario::look
