#include "label.h"

#include <QEvent>
#include <QPainter>

#include <algorithm>

namespace velmario::look {

Label::Label(const QString& objectName, const QString& caption, const QRect& geometry,
             Sizing sizing, QWidget* parent)
    : QFrame(parent)
    , m_caption(caption)
    , m_sizing(sizing)
{
    setObjectName(objectName);
    setGeometry(geometry);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAccessibleName(caption);
    fitToCaption();
}

void Label::setCaption(const QString& caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    setAccessibleName(caption);
    fitToCaption();
    update();
}

void Label::setBuddy(QWidget* buddy)
{
    m_buddy = buddy;
    // A result label keeps its own text as its name.
    if (buddy && !qobject_cast<Label*>(buddy))
        buddy->setAccessibleName(m_caption);
}

void Label::setBorder(Border border)
{
    if (border == Border::Sunken) {
        setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    } else {
        setFrameStyle(QFrame::NoFrame);
    }
    fitToCaption();
}

void Label::setColors(ColorRef text, ColorRef ground)
{
    setPaletteColors(this, {{QPalette::WindowText, text}, {QPalette::Window, ground}});
    setAutoFillBackground(true);
}

void Label::setTextFont(const QFont& font)
{
    setFont(font);
    fitToCaption();
}

void Label::setCentered(bool centered)
{
    m_centered = centered;
    update();
}

void Label::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange)
        fitToCaption();
    QFrame::changeEvent(event);
}

void Label::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    if (m_sizing == Sizing::OneLine)
        fitToCaption();
}

void Label::fitToCaption()
{
    if (m_sizing == Sizing::OneLine) {
        // The whole caption is a tooltip away whenever the line cuts it.
        const QString shown = displayText(m_caption);
        setToolTip(lines().value(0) == shown ? QString() : m_caption);
        return;
    }
    if (m_sizing != Sizing::AutoSize)
        return;
    const QFontMetrics metrics(font());
    const int border = 2 * frameWidth();
    resize(metrics.horizontalAdvance(displayText(m_caption)) + border, metrics.height() + border);
}

QSize Label::sizeHint() const
{
    return size();
}

QString Label::displayText(const QString& caption)
{
    QString shown = caption;
    for (QChar& ch : shown) {
        const char16_t c = ch.unicode();
        if (c < 0x20)
            ch = QChar(char16_t(0x2400 + c)); // the Control Pictures block
        else if (c == 0x7F)
            ch = QChar(char16_t(0x2421));
        else if ((c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E)
                 || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F
                 || ch.isSurrogate())
            // C1 controls and direction overrides would hide or reorder text.
            ch = QChar(char16_t(0xFFFD));
    }
    return shown;
}

QStringList Label::wrap(const QString& text, const QFont& font, int width, qsizetype maxLines)
{
    const QFontMetrics metrics(font);
    const auto fits = [&](const QString& s) { return metrics.horizontalAdvance(s) <= width; };
    QStringList lines;
    QString current;
    bool lineHasText = false;
    qsizetype i = 0;
    const qsizetype n = text.size();

    // Spaces that start the caption stay on its first line.
    while (i < n && text.at(i) == u' ')
        current.append(text.at(i++));

    while (i < n) {
        qsizetype spacesStart = i;
        while (i < n && text.at(i) == u' ')
            ++i;
        const QString spaces = text.sliced(spacesStart, i - spacesStart);
        const qsizetype wordStart = i;
        while (i < n && text.at(i) != u' ')
            ++i;
        QString word = text.sliced(wordStart, i - wordStart);
        if (word.isEmpty())
            break; // trailing spaces are never drawn

        if (lineHasText && fits(current + spaces + word)) {
            current += spaces + word;
            continue;
        }
        if (lineHasText) {
            // The break swallows the run of spaces.
            lines.append(current);
            current.clear();
            if (lines.size() >= maxLines)
                return lines;
        }
        // A word wider than the label is broken between characters. Only
        // prefixes up to a line's width are ever measured, so a long reply
        // costs time in proportion to the lines shown.
        while (!word.isEmpty()) {
            qsizetype take = 0;
            while (take < word.size() && fits(current + word.first(take + 1)))
                ++take;
            if (take == word.size())
                break;
            if (take == 0 && !current.isEmpty()) {
                lines.append(current);
                current.clear();
            } else {
                take = std::max<qsizetype>(take, 1);
                lines.append(current + word.first(take));
                current.clear();
                word = word.sliced(take);
            }
            if (lines.size() >= maxLines)
                return lines;
        }
        current += word;
        lineHasText = true;
    }
    if (lineHasText || !current.isEmpty())
        lines.append(current);
    return lines;
}

QStringList Label::lines(qsizetype maxLines) const
{
    const QString shown = displayText(m_caption);
    if (m_sizing == Sizing::AutoSize)
        return {shown};
    if (m_sizing == Sizing::OneLine) {
        if (shown.isEmpty())
            return {};
        return {QFontMetrics(font()).elidedText(shown, Qt::ElideMiddle, contentsRect().width())};
    }
    return wrap(shown, font(), contentsRect().width(), maxLines);
}

void Label::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event); // the border
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.setClipRect(area);
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetrics metrics(font());
    // Only whole lines are drawn: the top rows of a line that does not fit
    // (an accented capital's accent) would show in the last inner row. The
    // first line is drawn even where it does not fit whole.
    const int wholeLines = std::max(1, area.height() / std::max(1, metrics.height()));
    const QStringList shownLines = lines(wholeLines);
    int y = area.top();
    if (m_centered)
        y += (area.height() - metrics.height() * int(shownLines.size())) / 2;
    for (const QString& text : shownLines) {
        int x = area.left();
        if (m_centered)
            x += (area.width() - metrics.horizontalAdvance(text)) / 2;
        painter.drawText(QPoint(x, y + metrics.ascent()), text);
        y += metrics.height();
    }
}

Label* captionLabel(const QString& objectName, const QString& caption, const QRect& geometry,
                    Label::Sizing sizing, QWidget* parent)
{
    auto* label = new Label(objectName, caption, geometry, sizing, parent);
    label->setColors(kOrange, kBlack);
    label->setTextFont(arial(kCaptionPx));
    return label;
}

} // namespace velmario::look
