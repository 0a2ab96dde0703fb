// The real selvina-voice opens its settings window (SELVINA_SETTINGS=1) on Xvfb with a window
// manager, a private session bus and an accessibility bus started before it; the window is then
// walked over AT-SPI pane by pane, as a screen reader sees it, with keys pressed through XTEST.
#include "../platform/linux/atspi/DesktopFixture.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atspi/atspi.h>

#include <functional>
#include <set>

using namespace selvina::testing;

namespace {

bool wait(const std::function<bool()>& c, int ms = 20000) { return waitFor(c, std::chrono::milliseconds(ms)); }

QString nameOf(AtspiAccessible* a)
{
    gchar* n = atspi_accessible_get_name(a, nullptr);
    const QString s = QString::fromUtf8(n != nullptr ? n : "");
    g_free(n);
    return s;
}

bool has(AtspiAccessible* a, AtspiStateType state)
{
    AtspiStateSet* set = atspi_accessible_get_state_set(a);
    const bool on = set != nullptr && atspi_state_set_contains(set, state);
    if (set != nullptr)
        g_object_unref(set);
    return on;
}

// `visit` sees each child while it lasts; it takes a reference of its own to keep one.
void forEachChild(AtspiAccessible* a, const std::function<void(AtspiAccessible*)>& visit)
{
    const int n = atspi_accessible_get_child_count(a, nullptr);
    for (int i = 0; i < n; ++i)
        if (AtspiAccessible* child = atspi_accessible_get_child_at_index(a, i, nullptr)) {
            visit(child);
            g_object_unref(child);
        }
}

// Visits every object under `a` that is showing, with the path of names down to it.
void walk(AtspiAccessible* a, const std::function<void(AtspiAccessible*, const QString& path)>& visit, const QString& path = {})
{
    forEachChild(a, [&](AtspiAccessible* child) {
        if (!has(child, ATSPI_STATE_SHOWING))
            return;
        const QString here = path + QStringLiteral(" / ") + nameOf(child);
        visit(child, here);
        walk(child, visit, here);
    });
}

// The roles a screen reader announces as a control with its state.
bool announcedControl(AtspiRole role)
{
    static const std::set<AtspiRole> roles{
        ATSPI_ROLE_PUSH_BUTTON, ATSPI_ROLE_CHECK_BOX,  ATSPI_ROLE_TOGGLE_BUTTON, ATSPI_ROLE_COMBO_BOX,   ATSPI_ROLE_ENTRY,
        ATSPI_ROLE_TEXT,        ATSPI_ROLE_LIST,       ATSPI_ROLE_LIST_ITEM,     ATSPI_ROLE_LABEL,       ATSPI_ROLE_STATIC,
        ATSPI_ROLE_SPIN_BUTTON, ATSPI_ROLE_SLIDER,     ATSPI_ROLE_RADIO_BUTTON,  ATSPI_ROLE_MENU_ITEM,   ATSPI_ROLE_PAGE_TAB,
        ATSPI_ROLE_TABLE_CELL,  ATSPI_ROLE_SCROLL_BAR, ATSPI_ROLE_PASSWORD_TEXT};
    return roles.contains(role);
}

class SettingsWindowOverAtspi : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_display.ok());
        const QString address = startSessionBus(m_bus);
        ASSERT_FALSE(address.isEmpty());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
        qputenv("XDG_RUNTIME_DIR", m_runtime.path().toUtf8());
        // An application that finds no accessibility registry at its start never appears on the bus.
        ASSERT_FALSE(startAccessibilityBus().isEmpty());
        ASSERT_EQ(atspi_init() >= 0, true);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        for (const auto& [name, value] : {std::pair{"SELVINA_SETTINGS", "1"}, {"SELVINA_WAKE", "0"}, {"QT_QPA_PLATFORM", "xcb"},
                                          {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"}})
            env.insert(QString::fromLatin1(name), QString::fromLatin1(value));
        m_app.setProcessEnvironment(env);
        m_app.start(QStringLiteral(SELVINA_VOICE_BIN), {});
        ASSERT_TRUE(m_app.waitForStarted(10000));
        ASSERT_TRUE(wait([&] { return (m_frame = findFrame()) != nullptr; }, 40000)) << "the window never appeared on AT-SPI";
    }
    void TearDown() override
    {
        if (m_frame != nullptr)
            g_object_unref(m_frame);
        m_app.terminate();
        if (!m_app.waitForFinished(10000))
            m_app.kill();
        stopProcess(m_bus);
    }

    AtspiAccessible* findFrame()
    {
        AtspiAccessible* desktop = atspi_get_desktop(0);
        AtspiAccessible* found = nullptr;
        forEachChild(desktop, [&](AtspiAccessible* app) {
            forEachChild(app, [&](AtspiAccessible* w) {
                if (found == nullptr && nameOf(w) == u"Ustawienia Selvina" && atspi_accessible_get_role(w, nullptr) == ATSPI_ROLE_FRAME
                    && has(w, ATSPI_STATE_SHOWING))
                    found = static_cast<AtspiAccessible*>(g_object_ref(w));
            });
        });
        g_object_unref(desktop);
        return found;
    }

    // The first showing object under the window with this role (and name, when given).
    AtspiAccessible* find(AtspiRole role, const QString& name = {})
    {
        AtspiAccessible* found = nullptr;
        walk(m_frame, [&](AtspiAccessible* a, const QString&) {
            if (found == nullptr && atspi_accessible_get_role(a, nullptr) == role && (name.isEmpty() || nameOf(a) == name))
                found = static_cast<AtspiAccessible*>(g_object_ref(a));
        });
        return found;
    }
    // The path of names down to the focused object; empty when nothing in the window has focus.
    QString focusedPath()
    {
        // A list reports its current item as focused even while the focus is elsewhere; the item
        // counts only when its list has the focus too.
        QStringList focused;
        QStringList items;
        walk(m_frame, [&](AtspiAccessible* a, const QString& here) {
            if (!has(a, ATSPI_STATE_FOCUSED))
                return;
            (atspi_accessible_get_role(a, nullptr) == ATSPI_ROLE_LIST_ITEM ? items : focused).append(here);
        });
        for (const QString& item : items)
            if (focused.contains(item.left(item.lastIndexOf(QStringLiteral(" / ")))))
                return item;
        return focused.isEmpty() ? QString() : focused.back();
    }
    // Moves the focus to the search field through AT-SPI; true once it is there.
    bool focusSearch()
    {
        const QString name = QStringLiteral("Szukaj w ustawieniach");
        AtspiAccessible* search = find(ATSPI_ROLE_TEXT, name);
        if (search == nullptr && (search = find(ATSPI_ROLE_ENTRY, name)) == nullptr)
            return false;
        atspi_component_grab_focus(ATSPI_COMPONENT(search), nullptr);
        g_object_unref(search);
        return wait([&] { return focusedPath().contains(name); });
    }
    QStringList listedPanes()
    {
        QStringList out;
        if (AtspiAccessible* list = find(ATSPI_ROLE_LIST, QStringLiteral("Panele ustawień"))) {
            forEachChild(list, [&](AtspiAccessible* item) { out.append(nameOf(item)); });
            g_object_unref(list);
        }
        return out;
    }

    XDisplay m_display;
    QProcess m_bus, m_app;
    QTemporaryDir m_home, m_runtime;
    AtspiAccessible* m_frame = nullptr;
};

} // namespace

TEST_F(SettingsWindowOverAtspi, EveryPaneIsReachedByTabAndEveryControlIsNamed)
{
    AtspiAccessible* back = find(ATSPI_ROLE_PUSH_BUTTON, QStringLiteral("Wstecz"));
    ASSERT_NE(back, nullptr) << "no push button named Wstecz";
    g_object_unref(back);
    ASSERT_TRUE(wait([&] { return focusedPath().contains(QStringLiteral("Szukaj w ustawieniach")); }))
        << "the window opens with the focus in the search field, not: " << focusedPath().toStdString();

    const QStringList titles = {"Uruchamianie", "Inteligencja", "Mowa", "Wtyczki", "Uprawnienia", "Developer", "O aplikacji"};
    for (int i = 0; i < titles.size(); ++i) {
        const QString& title = titles[i];
        // From the search field: Tab to the sidebar, the arrow to the pane, Tab into the pane.
        ASSERT_TRUE(focusSearch());
        XDisplay::key(QStringLiteral("Tab"));
        XDisplay::key(QStringLiteral("Home"));
        for (int down = 0; down < i; ++down)
            XDisplay::key(QStringLiteral("Down"));
        ASSERT_TRUE(wait([&] { return focusedPath().endsWith(QStringLiteral("Panele ustawień / ") + title); }))
            << title.toStdString() << ": the sidebar is at " << focusedPath().toStdString();
        XDisplay::key(QStringLiteral("Tab"));
        ASSERT_TRUE(wait([&] { return focusedPath().contains(title + QStringLiteral(" / ") + title); }))
            << title.toStdString() << ": Tab did not reach the pane; focus at " << focusedPath().toStdString();

        // The permissions pane fills in once its audit has answered; the others are there at once.
        if (title == u"Uprawnienia")
            wait([&] { AtspiAccessible* b = find(ATSPI_ROLE_PUSH_BUTTON, QStringLiteral("Odśwież"));
                       return b != nullptr && (g_object_unref(b), true) && !focusedPath().isEmpty(); });
        int focusable = 0;
        walk(m_frame, [&](AtspiAccessible* a, const QString& path) {
            if (!has(a, ATSPI_STATE_FOCUSABLE))
                return;
            ++focusable;
            const AtspiRole role = atspi_accessible_get_role(a, nullptr);
            EXPECT_FALSE(nameOf(a).trimmed().isEmpty()) << title.toStdString() << ": unnamed focusable object at "
                                                        << path.toStdString() << " role " << role;
            EXPECT_TRUE(announcedControl(role)) << title.toStdString() << ": role " << role << " at " << path.toStdString();
        });
        EXPECT_GT(focusable, 3) << title.toStdString();
    }

    ASSERT_TRUE(focusSearch());
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("ZAWOLANIE")});
    EXPECT_TRUE(wait([&] { return listedPanes() == QStringList{QStringLiteral("Uruchamianie")}; }))
        << listedPanes().join(QStringLiteral(", ")).toStdString();
}
