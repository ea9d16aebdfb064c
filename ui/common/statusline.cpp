#include "statusline.h"

namespace velmario::look {

Announcement::Announcement(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("anuncio"));
    // Nothing to see or press: it exists for screen readers alone.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(0, 0, 0, 0);
    QWidget::hide();
}

void Announcement::present(const QString& text)
{
    // A notification is presented as it appears: hidden first, so that even
    // the same text said again appears anew.
    QWidget::hide();
    m_text = text;
    QWidget::show();
}

StatusLine::StatusLine(const QString& objectName, const QString& caption, const QRect& geometry,
                       QWidget* parent)
    : Label(objectName, caption, geometry, Sizing::OneLine, parent)
    , m_announcement(new Announcement(this))
{
    setColors(kOrange, kBlack);
    setTextFont(arial(kSmallPx));
    setShowWholeOnHover(true);
    m_settle.setSingleShot(true);
    connect(&m_settle, &QTimer::timeout, this, &StatusLine::onSettle);
}

void StatusLine::setStatus(const QString& text, bool announced)
{
    setCaption(text);
    m_pending = announced;
    if (!announced)
        return;
    m_changedAt = std::chrono::steady_clock::now();
    if (!m_settle.isActive())
        m_settle.start(kSettle);
}

void StatusLine::onSettle()
{
    if (!m_pending)
        return; // a status under way came since
    const auto stood = std::chrono::steady_clock::now() - m_changedAt;
    if (stood < kSettle) {
        m_settle.start(std::chrono::ceil<std::chrono::milliseconds>(kSettle - stood));
        return;
    }
    m_pending = false;
    m_announcement->present(caption());
}

} // namespace velmario::look
