#include "settingswindow/Announcement.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <chrono>

namespace selvina::settingswindow {

namespace {

// Qt 6.4 sends no AT-SPI announcement, and Orca 43 ignores a label whose text or name changes
// away from the focus. What Orca does speak without moving the focus is an object with the
// notification role that becomes showing: it says "powiadomienie" and the object's name. So each
// window holds one such object, one pixel in its corner, hidden and shown again per sentence.
class Announcer : public QWidget {
public:
    explicit Announcer(QWidget* window) : QWidget(window)
    {
        setObjectName(QStringLiteral("selvina_announcer"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        setGeometry(0, 0, 1, 1);
        hide();
        m_flush.setSingleShot(true);
        // A result often comes with a rebuild that puts the focus back on a control: said a moment
        // later, the notification follows that focus instead of racing it (a busy Orca dropped a
        // notification that the focus event overtook).
        m_flush.setInterval(kSettle);
        QObject::connect(&m_flush, &QTimer::timeout, this, [this] { speakQueued(); });
        // A rebuild that takes longer than that (a busy machine) moves the focus later: each move
        // within the window starts the wait again, up to kLongestWait after the first sentence.
        QObject::connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
            if (m_flush.isActive() && now != nullptr && now->window() == this->window() && m_queuedFor.elapsed() < kLongestWait.count())
                m_flush.start();
        });
    }
    QString sentence() const { return m_sentence; }

    static constexpr std::chrono::milliseconds kSettle{200};
    static constexpr std::chrono::milliseconds kLongestWait{1500};

    // Sentences queued within kSettle are said as one, in order, each once: a rebuild may report
    // the same result from two places, and two results in a row must both be heard, not the
    // second cut off by the first.
    void queue(const QString& text)
    {
        if (!m_queued.contains(text))
            m_queued.append(text);
        if (!m_flush.isActive()) {
            m_queuedFor.start();
            m_flush.start();
        }
    }

private:
    void speakQueued()
    {
        m_sentence = m_queued.join(QLatin1Char(' '));
        m_queued.clear();
        hide();
        raise();
        show();
    }

    QStringList m_queued;
    QString m_sentence;
    QTimer m_flush;
    QElapsedTimer m_queuedFor;
};

class AnnouncerAccessible : public QAccessibleWidget {
public:
    explicit AnnouncerAccessible(Announcer* announcer) : QAccessibleWidget(announcer, QAccessible::Notification) {}
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return static_cast<const Announcer*>(widget())->sentence();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* announcerInterface(const QString&, QObject* object)
{
    if (auto* announcer = dynamic_cast<Announcer*>(object))
        return new AnnouncerAccessible(announcer);
    return nullptr;
}

} // namespace

void announce(QWidget* source, const QString& text)
{
    if (source == nullptr || text.trimmed().isEmpty())
        return;
    QWidget* window = source->window();
    // A hidden window has no reader listening in it; the result stays in its note.
    if (!window->isVisible())
        return;
    static const bool installed = (QAccessible::installFactory(&announcerInterface), true);
    Q_UNUSED(installed);
    Announcer* announcer = nullptr;
    for (QObject* child : window->children())
        if ((announcer = dynamic_cast<Announcer*>(child)) != nullptr)
            break;
    if (announcer == nullptr)
        announcer = new Announcer(window);
    announcer->queue(text.trimmed());
}

QString lastAnnouncement(QWidget* window)
{
    for (QObject* child : window->children())
        if (auto* announcer = dynamic_cast<Announcer*>(child))
            return announcer->sentence();
    return {};
}

} // namespace selvina::settingswindow
