#pragma once

#include "label.h"

#include <QTimer>

#include <chrono>

namespace velmario::look {

// What a status line says to screen readers when an action ends: an
// invisible notification inside it, shown afresh with each announcement.
// Screen readers present a notification as it appears (Orca speaks it as it
// shows), without the focus moving.
class Announcement : public QWidget
{
    Q_OBJECT
public:
    explicit Announcement(QWidget* parent);
    QString text() const { return m_text; }
    void present(const QString& text);

private:
    QString m_text;
};

// A window's status line: one line that says what is going on, orange
// Arial 8.25 pt on the black ground. A text too long for it is cut in the
// middle with "…" and shown whole as the tooltip when the pointer rests on
// it. A screen reader knows it as a status bar, and hears the texts that
// tell how an action ended (announce()).
class StatusLine : public Label
{
    Q_OBJECT
public:
    // How long a text to announce must stand before it is announced: a
    // reply in pieces, or a close right after a reply, is said once, as it
    // ends.
    static constexpr std::chrono::milliseconds kSettle{150};

    StatusLine(const QString& objectName, const QString& caption, const QRect& geometry,
               QWidget* parent);

    // Shows the text; announced says it also tells how an action ended, and
    // is to be said to screen readers once it has stood for kSettle. A text
    // that is not announced cancels an announcement still waiting.
    void setStatus(const QString& text, bool announced);

private:
    void onSettle();

    Announcement* m_announcement;
    // Not restarted with every change (that costs more than the rest of a
    // quick answer's handling): when it fires, it waits on for whatever is
    // left of kSettle since the last change.
    QTimer m_settle;
    bool m_pending = false;
    std::chrono::steady_clock::time_point m_changedAt;
};

} // namespace velmario::look
