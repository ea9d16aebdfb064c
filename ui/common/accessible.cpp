// What a screen reader is told about the client's own kinds of control. Qt
// knows its widgets; these are QFrames and QWidgets to it, which it would
// call frames and fillers, name after a surrounding group box, or not
// relate to the control they caption.
#include "line.h"
#include "look.h"
#include "picturebox.h"
#include "statusline.h"

#include <QAccessible>
#include <QAccessibleWidget>

using namespace Qt::StringLiterals;

namespace velmario::look {

namespace {

// A label, or the status line: named by its own caption (even an empty
// one), related to the control it captions or to the caption that names it.
class LabelInterface : public QAccessibleWidget
{
public:
    LabelInterface(Label* label, QAccessible::Role role)
        : QAccessibleWidget(label, role)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return static_cast<const Label*>(widget())->caption();
        // The tooltip of a shortened value is the value again, which the
        // name already says whole.
        if (t == QAccessible::Description)
            return {};
        return QAccessibleWidget::text(t);
    }

    QList<QPair<QAccessibleInterface*, QAccessible::Relation>>
    relations(QAccessible::Relation match) const override
    {
        auto related = QAccessibleWidget::relations(match);
        const auto* self = static_cast<const Label*>(widget());
        if ((match & QAccessible::Labelled) && self->buddy()) {
            if (QAccessibleInterface* buddy = QAccessible::queryAccessibleInterface(self->buddy()))
                related.append({buddy, QAccessible::Labelled});
        }
        if ((match & QAccessible::Label) && self->parentWidget()) {
            const auto siblings = self->parentWidget()->findChildren<Label*>(Qt::FindDirectChildrenOnly);
            for (Label* sibling : siblings) {
                if (sibling->buddy() != self)
                    continue;
                if (QAccessibleInterface* caption = QAccessible::queryAccessibleInterface(sibling))
                    related.append({caption, QAccessible::Label});
            }
        }
        return related;
    }
};

// An announcement: a notification whose name is what it says.
class AnnouncementInterface : public QAccessibleWidget
{
public:
    explicit AnnouncementInterface(Announcement* announcement)
        : QAccessibleWidget(announcement, QAccessible::Notification)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return static_cast<const Announcement*>(widget())->text();
        return QAccessibleWidget::text(t);
    }
};

bool is(const QString& className, const QMetaObject& type)
{
    return className == QLatin1StringView(type.className());
}

QAccessibleInterface* interfaceFor(const QString& className, QObject* object)
{
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return nullptr;
    if (is(className, StatusLine::staticMetaObject))
        return new LabelInterface(static_cast<Label*>(widget), QAccessible::StatusBar);
    if (is(className, Announcement::staticMetaObject))
        return new AnnouncementInterface(static_cast<Announcement*>(widget));
    if (is(className, Label::staticMetaObject))
        return new LabelInterface(static_cast<Label*>(widget), QAccessible::StaticText);
    if (is(className, PictureBox::staticMetaObject))
        return new QAccessibleWidget(widget, QAccessible::Graphic);
    if (is(className, Line::staticMetaObject))
        return new QAccessibleWidget(widget, QAccessible::Separator);
    // A plain top-level widget is a window with its caption as its name.
    if (className == u"QWidget"_s && widget->isWindow())
        return new QAccessibleWidget(widget, QAccessible::Window);
    return nullptr;
}

} // namespace

void installAccessibility()
{
    static bool installed = false;
    if (!installed)
        QAccessible::installFactory(interfaceFor);
    installed = true;
}

} // namespace velmario::look
