#include "label.h"

#include <QAccessible>
#include <QEvent>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHash>
#include <QHelpEvent>
#include <QScreen>
#include <QToolTip>
#include <QtMath>
#include <QPainter>
#include <QTextDocument>

#include <algorithm>
#include <array>
#include <memory>

using namespace Qt::StringLiterals;

namespace velmario::look {

namespace {

const QString kEllipsis = u"…"_s;

// A line of a caption: the characters [start, end).
struct Span {
    qsizetype start;
    qsizetype end;
};

QList<Span> wrapSpans(const QString& text, const QFont& font, int width, qsizetype maxLines)
{
    const QFontMetrics metrics(font);
    const auto fits = [&](qsizetype from, qsizetype to) {
        return metrics.horizontalAdvance(text.sliced(from, to - from)) <= width;
    };
    QList<Span> lines;
    const qsizetype n = text.size();
    qsizetype i = 0;
    // Spaces that start the caption stay on its first line.
    while (i < n && text.at(i) == u' ')
        ++i;
    Span line{0, i};
    bool lineHasText = false;

    while (i < n) {
        while (i < n && text.at(i) == u' ')
            ++i;
        const qsizetype wordStart = i;
        while (i < n && text.at(i) != u' ')
            ++i;
        const qsizetype wordEnd = i;
        if (wordStart == wordEnd)
            break; // trailing spaces are never drawn

        if (lineHasText && fits(line.start, wordEnd)) {
            line.end = wordEnd;
            continue;
        }
        if (lineHasText) {
            // The break swallows the run of spaces.
            lines.append(line);
            if (lines.size() >= maxLines)
                return lines;
            line = {wordStart, wordStart};
        }
        // A word wider than the label is broken between characters. Only
        // prefixes up to a line's width are ever measured, so a long reply
        // costs time in proportion to the lines shown.
        qsizetype rest = wordStart;
        while (rest < wordEnd) {
            qsizetype take = 0;
            while (rest + take < wordEnd && fits(line.start, rest + take + 1))
                ++take;
            if (rest + take == wordEnd)
                break;
            if (take == 0 && line.end > line.start) {
                lines.append(line);
            } else {
                take = std::max<qsizetype>(take, 1);
                lines.append({line.start, rest + take});
                rest += take;
            }
            line = {rest, rest};
            if (lines.size() >= maxLines)
                return lines;
        }
        line.end = wordEnd;
        lineHasText = true;
    }
    if (lineHasText || line.end > line.start)
        lines.append(line);
    return lines;
}

// The text up to its last whole word that fits with "…" after it, or up to
// its last character that does when not even the first word does.
QString cutWithEllipsis(const QString& text, const QFont& font, int width)
{
    const QFontMetrics metrics(font);
    const auto fits = [&](qsizetype end) {
        return metrics.horizontalAdvance(text.first(end) + kEllipsis) <= width;
    };
    qsizetype best = 0;
    for (qsizetype i = 0; i < text.size();) {
        while (i < text.size() && text.at(i) == u' ')
            ++i;
        while (i < text.size() && text.at(i) != u' ')
            ++i;
        if (!fits(i))
            break;
        best = i;
    }
    if (best == 0) {
        while (best < text.size() && fits(best + 1))
            ++best;
    }
    return text.first(best) + kEllipsis;
}

using Advances = std::array<qreal, 256>;

// The advances of the first 256 characters in a font, measured once per font.
const Advances* advancesOf(const QFont& font)
{
    static QHash<QString, std::shared_ptr<Advances>> tables;
    std::shared_ptr<Advances>& table = tables[font.key()];
    if (!table) {
        table = std::make_shared<Advances>();
        const QFontMetricsF metrics(font);
        for (int c = 0; c < 256; ++c)
            (*table)[std::size_t(c)] = metrics.horizontalAdvance(QChar(char16_t(c)));
    }
    return table.get();
}

// Whether text surely fits on one line of `width`, told without shaping it:
// the sum of its characters' own advances is never less than the shaped
// width, less half a pixel of rounding (kerning only ever narrows). Results
// arrive with every lookup, and most fit: shaping them is the costly part.
bool surelyFits(const QString& text, const Advances& advances, int width)
{
    qreal sum = 0;
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return false; // not in the table: measure it properly
        sum += advances[c.unicode()];
    }
    return sum + 1 <= width;
}

// One line that surely fits, as wrap() would lay it out.
QStringList oneLine(const QString& text)
{
    qsizetype end = text.size();
    while (end > 0 && text.at(end - 1) == u' ')
        --end;
    if (end == 0)
        return text.isEmpty() ? QStringList{} : QStringList{text};
    return {text.first(end)};
}

} // namespace

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
    if (sizing == Sizing::AutoSize)
        m_sizePending = true; // measured in the font it is given next, or once polished
    else
        captionOrRoomChanged();
}

void Label::setCaption(const QString& caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    m_highlighted = false; // what was selected is gone
    // The caption is the label's accessible name (accessible.cpp). Told
    // only when a screen reader listens: building the event costs more
    // than the rest of setting a result.
    if (QAccessible::isActive()) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
    captionOrRoomChanged();
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
    captionOrRoomChanged();
}

void Label::setColors(ColorRef text, ColorRef ground)
{
    setPaletteColors(this, {{QPalette::WindowText, text}, {QPalette::Window, ground}});
    setAutoFillBackground(true);
}

void Label::setTextFont(const QFont& font)
{
    setFont(font);
    captionOrRoomChanged();
}

void Label::setCentered(bool centered)
{
    m_centered = centered;
    update();
}

void Label::setShowWholeOnHover(bool on)
{
    m_wholeOnHover = on;
    setAttribute(Qt::WA_TransparentForMouseEvents, !on);
    captionOrRoomChanged();
}

void Label::setHighlighted(bool highlighted)
{
    if (highlighted == m_highlighted)
        return;
    m_highlighted = highlighted;
    update();
}

bool Label::event(QEvent* event)
{
    if (event->type() == QEvent::Polish && m_sizePending)
        captionOrRoomChanged();
    if (event->type() == QEvent::ToolTip && !toolTip().isEmpty()) {
        // The whole caption, in lines that fit the screen the pointer is on.
        const auto* help = static_cast<QHelpEvent*>(event);
        const QScreen* screen = QGuiApplication::screenAt(help->globalPos());
        if (!screen)
            screen = this->screen();
        QToolTip::showText(help->globalPos(),
                           fittedToolTip(m_caption, QToolTip::font(), screen->availableGeometry().size()), this);
        return true;
    }
    return QFrame::event(event);
}

void Label::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange) {
        m_advances = nullptr;
        captionOrRoomChanged();
    }
    QFrame::changeEvent(event);
}

void Label::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    if (m_sizing != Sizing::AutoSize)
        captionOrRoomChanged();
}

const std::array<qreal, 256>& Label::advances() const
{
    if (!m_advances)
        m_advances = advancesOf(font());
    return *m_advances;
}

void Label::captionOrRoomChanged()
{
    m_layout.reset();
    if (m_sizing == Sizing::AutoSize) {
        m_sizePending = false;
        const QFontMetrics metrics(font());
        const int border = 2 * frameWidth();
        resize(metrics.horizontalAdvance(displayText(m_caption)) + border, metrics.height() + border);
        return;
    }
    if (!m_wholeOnHover)
        return;
    // The whole caption is a tooltip away whenever the label shortens it.
    const QString tip = isShortened() ? plainToolTip(m_caption) : QString();
    if (tip != toolTip())
        setToolTip(tip);
}

QSize Label::sizeHint() const
{
    return size();
}

QString Label::displayText(const QString& caption)
{
    const auto plain = [](QChar ch) {
        const char16_t c = ch.unicode();
        return c >= 0x20 && c != 0x7F && !(c >= 0x80 && c <= 0x9F) && !(c >= 0x200E && c <= 0x206F)
            && !ch.isSurrogate();
    };
    if (std::all_of(caption.begin(), caption.end(), plain))
        return caption; // shared, not copied: most captions are plain
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
    QStringList lines;
    for (const Span& span : wrapSpans(text, font, width, maxLines))
        lines.append(text.sliced(span.start, span.end - span.start));
    return lines;
}

Label::Fitted Label::fit(const QString& text, const QFont& font, int width, qsizetype maxLines)
{
    maxLines = std::max<qsizetype>(maxLines, 1);
    const QList<Span> spans = wrapSpans(text, font, width, maxLines + 1);
    Fitted fitted;
    const qsizetype shown = std::min(spans.size(), maxLines);
    for (qsizetype i = 0; i < shown; ++i)
        fitted.lines.append(text.sliced(spans[i].start, spans[i].end - spans[i].start));
    if (spans.size() > maxLines) {
        // The last line shown takes the rest of the text, cut to fit.
        fitted.lines.last() = cutWithEllipsis(text.sliced(spans[maxLines - 1].start), font, width);
        fitted.shortened = true;
    }
    return fitted;
}

QString Label::plainToolTip(const QString& text)
{
    QString shown = displayText(text);
    if (!Qt::mightBeRichText(shown))
        return shown;
    return u"<p style=\"white-space:pre-wrap\">"_s + shown.toHtmlEscaped() + u"</p>"_s;
}

const QString Label::kToolTipGoesOn = u"Sigue: Copiar (menú del botón derecho) da el valor entero."_s;

QString Label::fittedToolTip(const QString& text, const QFont& font, const QSize& room)
{
    // A tooltip lays its lines out at whole pixels: a line may take a pixel
    // more than the font's spacing.
    const int lineHeight = qCeil(QFontMetricsF(font).lineSpacing()) + 1;
    const int width = std::max(room.width() - kToolTipMargin, 1);
    const qsizetype maxLines = std::max<qsizetype>((room.height() - kToolTipMargin) / lineHeight, 2);
    const QString shown = displayText(text);
    QStringList lines = wrap(shown, font, width, maxLines + 1);
    if (lines.size() > maxLines) {
        // The last lines are the note that the value goes on.
        const QStringList note = wrap(kToolTipGoesOn, font, width);
        lines = fit(shown, font, width, std::max<qsizetype>(maxLines - note.size(), 1)).lines;
        lines += note;
    }
    QString joined = lines.join(u'\n');
    if (!Qt::mightBeRichText(joined))
        return joined;
    return u"<p style=\"white-space:pre\">"_s + joined.toHtmlEscaped() + u"</p>"_s;
}

const Label::Fitted& Label::layout() const
{
    if (m_layout)
        return *m_layout;
    const QString shown = displayText(m_caption);
    const int width = contentsRect().width();
    Fitted fitted;
    if (m_sizing == Sizing::AutoSize) {
        fitted.lines = {shown};
    } else if (surelyFits(shown, advances(), width)) {
        fitted.lines = oneLine(shown);
    } else if (m_sizing == Sizing::OneLine) {
        fitted.lines = {QFontMetrics(font()).elidedText(shown, Qt::ElideMiddle, width)};
        fitted.shortened = fitted.lines.first() != shown;
    } else {
        // Only whole lines are drawn: the top rows of a line that does not
        // fit (an accented capital's accent) would show in the last inner
        // row. The first line is drawn even where it does not fit whole.
        const int lineHeight = std::max(1, QFontMetrics(font()).height());
        fitted = fit(shown, font(), width, std::max(1, contentsRect().height() / lineHeight));
    }
    m_layout = std::move(fitted);
    return *m_layout;
}

QStringList Label::lines() const
{
    return layout().lines;
}

bool Label::isShortened() const
{
    return layout().shortened;
}

void Label::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event); // the border
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.setClipRect(area);
    painter.setFont(font());
    const QFontMetrics metrics(font());
    const QStringList& shownLines = layout().lines;
    int y = area.top();
    if (m_centered)
        y += (area.height() - metrics.height() * int(shownLines.size())) / 2;
    for (const QString& text : shownLines) {
        int x = area.left();
        if (m_centered)
            x += (area.width() - metrics.horizontalAdvance(text)) / 2;
        if (m_highlighted) {
            const QRect behind(x, y, metrics.horizontalAdvance(text), metrics.height());
            painter.fillRect(behind, palette().color(QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
        } else {
            painter.setPen(palette().color(QPalette::WindowText));
        }
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
