// Launch and developer preferences over the store as the INI file gives values back (text),
// the combination's names, and start at login through real autostart folders.
#include "TestSupport.h"
#include "activation/HotkeyCombo.h"
#include "platform/fake/MemoryStores.h"
#include "platform/linux/autostart/XdgAutostart.h"
#include "settings/LaunchPreferences.h"

#include <gtest/gtest.h>

using selvina::activation::HotkeyCombo;
using selvina::platform::XdgAutostart;
using selvina::platform::fake::MemoryPreferences;
using selvina::settings::DeveloperPreferences;
using selvina::settings::LaunchPreferences;
using selvina::testing::writeFile;

namespace {

TEST(HotkeyCombo, NamesFollowTheModifierOrderAndTheKeyTable)
{
    const struct {
        HotkeyCombo combo;
        const char *display, *spoken;
    } cases[] = {
        {HotkeyCombo::invocationDefault(), "Ctrl+Alt+Super+Spacja", "Control plus Alt plus Super plus Spacja"},
        {{53, 0}, "Esc", "Esc"},
        {{50, 0}, "klawisz 50", "klawisz 50"},
        {{122, 0x1000 | 0x800 | 0x200 | 0x100}, "Ctrl+Alt+Shift+Super+F1", "Control plus Alt plus Shift plus Super plus F1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.combo.displayName(), QString::fromUtf8(c.display));
        EXPECT_EQ(c.combo.spokenName(), QString::fromUtf8(c.spoken));
    }
}

// Start at login with the user's and the system's autostart folders of a temporary home.
class LoginItem : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
        qputenv("XDG_CONFIG_DIRS", m_dir.filePath(QStringLiteral("etc")).toUtf8());
        qputenv("XDG_CURRENT_DESKTOP", "XFCE");
        selvina::testing::writeExecutable(m_program, "#!/bin/sh\n");
    }
    void TearDown() override
    {
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_CURRENT_DESKTOP"})
            qunsetenv(name);
    }
    QString user() const { return m_dir.filePath(QStringLiteral("config/autostart/selvina-voice.desktop")); }
    QString system() const { return m_dir.filePath(QStringLiteral("etc/autostart/selvina-voice.desktop")); }
    QTemporaryDir m_dir;
    QString m_program = m_dir.filePath(QStringLiteral("Selvina Voice/selvina-voice"));
    XdgAutostart m_item{m_program};
};

TEST_F(LoginItem, TheRealStateIsWhatTheDesktopWillStart)
{
    const struct {
        const char *user, *system; // null: no entry in that folder
        bool starts;
    } cases[] = {
        {nullptr, nullptr, false},
        {"[Desktop Entry]\nExec=sh\n", nullptr, true},
        {"[Desktop Entry]\nExec=sh\nHidden=true\n", nullptr, false},
        {"[Desktop Entry]\nExec=sh\nX-GNOME-Autostart-enabled=false\n", nullptr, false},
        {"[Desktop Entry]\nExec=sh\nOnlyShowIn=GNOME;KDE;\n", nullptr, false},
        {"[Desktop Entry]\nExec=sh\nOnlyShowIn=GNOME;XFCE;\n", nullptr, true},
        {"[Desktop Entry]\nExec=sh\nNotShowIn=XFCE;\n", nullptr, false},
        {"[Other]\nHidden=true\n[Desktop Entry]\nExec=sh\n", nullptr, true},
        {nullptr, "[Desktop Entry]\nExec=sh\n", true},
        {"[Desktop Entry]\nHidden=true\n", "[Desktop Entry]\nExec=sh\n", false},
        // The program the entry starts is gone: a build an update removed.
        {"[Desktop Entry]\nExec=\"/nonexistent/selvina-voice/7/bin/selvina-voice\" --x\n", nullptr, false},
    };
    for (const auto& c : cases) {
        QFile::remove(user());
        QFile::remove(system());
        if (c.user)
            writeFile(user(), c.user);
        if (c.system)
            writeFile(system(), c.system);
        EXPECT_EQ(m_item.isEnabled(), c.starts) << (c.user ? c.user : "-") << " / " << (c.system ? c.system : "-");
    }
}

TEST_F(LoginItem, SwitchingWritesOrHidesTheEntryAndAFailureKeepsTheRealState)
{
    MemoryPreferences store;
    LaunchPreferences prefs(store, m_item);
    EXPECT_FALSE(prefs.autostart());
    EXPECT_TRUE(prefs.ustawAutostart(true));
    EXPECT_TRUE(prefs.autostart());
    EXPECT_TRUE(selvina::testing::readFile(user()).contains("Exec=\"" + m_program.toUtf8() + "\"\n"));

    // Off with a system entry: a user entry hides it, rather than nothing at all.
    writeFile(system(), "[Desktop Entry]\nExec=sh\n");
    EXPECT_TRUE(prefs.ustawAutostart(false));
    EXPECT_FALSE(prefs.autostart());
    EXPECT_TRUE(QFile::exists(user()));
    QFile::remove(system());
    EXPECT_TRUE(prefs.ustawAutostart(false));
    EXPECT_FALSE(QFile::exists(user()));

    // The autostart folder cannot be made (a file stands in its place).
    QDir(m_dir.filePath(QStringLiteral("config"))).removeRecursively();
    writeFile(m_dir.filePath(QStringLiteral("config/autostart")), "not a folder");
    int changes = 0;
    QObject::connect(&prefs, &LaunchPreferences::autostartChanged, [&changes] { ++changes; });
    const auto switched = prefs.ustawAutostart(true);
    ASSERT_FALSE(switched);
    const QString sentence = switched.error().description();
    EXPECT_TRUE(sentence.startsWith(QStringLiteral("Nie udało się zmienić autostartu: nie można utworzyć katalogu ")));
    EXPECT_TRUE(sentence.endsWith(QStringLiteral(". Najczęściej znaczy to, że nie da się zapisać katalogu ~/.config/autostart.")));
    EXPECT_FALSE(prefs.autostart());
    EXPECT_EQ(changes, 0);
}

TEST(LaunchPreferences, StoredValuesOfTheWrongShapeReadAsTheDefaultsAndOnlyRealChangesAreWritten)
{
    XdgAutostart item(QStringLiteral("selvina-voice"));
    const HotkeyCombo fallback = HotkeyCombo::invocationDefault();
    const struct {
        QVariant wake, key, modifiers;
        bool zawolanie;
        HotkeyCombo combo;
    } cases[] = {
        {{}, {}, {}, true, fallback},
        {QStringLiteral("false"), QStringLiteral("0"), QStringLiteral("2048"), false, {0, 2048}},
        {false, 36, 4096, false, {36, 4096}},
        {QStringLiteral("no"), QStringLiteral("49"), {}, true, fallback},
        {1, QStringLiteral("-1"), QStringLiteral("256"), true, fallback},
        {{}, QStringLiteral("4294967296"), QStringLiteral("256"), true, fallback},
        {{}, QStringLiteral("4294967295"), QStringLiteral("0"), true, {4294967295u, 0}},
        {{}, QStringLiteral("12abc"), QStringLiteral("256"), true, fallback},
        {{}, 1.5, QStringLiteral("256"), true, fallback},
    };
    for (const auto& c : cases) {
        MemoryPreferences store;
        for (const auto& [key, value] : {std::pair{LaunchPreferences::kZawolanie, c.wake}, {LaunchPreferences::kSkrotKlawisz, c.key},
                                         {LaunchPreferences::kSkrotModyfikatory, c.modifiers}})
            if (value.isValid())
                store.values.insert(QLatin1String(key), value);
        LaunchPreferences prefs(store, item);
        EXPECT_EQ(prefs.zawolanie(), c.zawolanie) << c.wake.toString().toStdString();
        EXPECT_EQ(prefs.skrot(), c.combo) << c.key.toString().toStdString() << " " << c.modifiers.toString().toStdString();
        EXPECT_TRUE(prefs.skrotWlaczony());
    }

    // Changes are written and announced only when they change.
    MemoryPreferences store;
    LaunchPreferences prefs(store, item);
    int wake = 0, combo = 0;
    QObject::connect(&prefs, &LaunchPreferences::zawolanieChanged, [&wake] { ++wake; });
    QObject::connect(&prefs, &LaunchPreferences::skrotChanged, [&combo] { ++combo; });
    prefs.setZawolanie(true);
    prefs.setZawolanie(false);
    prefs.setZawolanie(false);
    EXPECT_EQ(wake, 1);
    EXPECT_EQ(store.values.value(QLatin1String(LaunchPreferences::kZawolanie)), QVariant(false));
    prefs.setSkrot({1, 0x1000});
    prefs.setSkrot({1, 0x1000});
    EXPECT_EQ(combo, 1);
    EXPECT_EQ(store.values.value(QLatin1String(LaunchPreferences::kSkrotKlawisz)).toLongLong(), 1);
    EXPECT_EQ(store.values.value(QLatin1String(LaunchPreferences::kSkrotModyfikatory)).toLongLong(), 0x1000);
}

TEST(DeveloperPreferences, TheRunLogSwitchWritesOneMarkerPerRealChange)
{
    MemoryPreferences store;
    store.values.insert(QLatin1String(DeveloperPreferences::kShowDebugPanel), QStringLiteral("true"));
    QStringList markers;
    DeveloperPreferences prefs(store, [&markers](const QString& m) { markers.append(m); });
    EXPECT_TRUE(DeveloperPreferences::runLogEnabled());
    prefs.setShowDebugPanel(true);
    prefs.setShowDebugPanel(false);
    prefs.setShowDebugPanel(false);
    EXPECT_EQ(markers, (QStringList{"=== zapis przebiegu włączony ===", "=== zapis przebiegu wyłączony ==="}));
    EXPECT_FALSE(DeveloperPreferences::runLogEnabled());
    EXPECT_EQ(DeveloperPreferences::logSize(QStringLiteral("/nonexistent/debug.log")), std::nullopt);
}

} // namespace
