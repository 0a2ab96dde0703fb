#include "platform/linux/gnome/GnomeCustomShortcut.h"

#include "platform/linux/KeySymbols.h"

#include <QPromise>
#include <QThreadPool>

#include <gio/gio.h>

#include <memory>

namespace selvina::platform {

const QString GnomeCustomShortcut::kPath = QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/selvina-voice/");
const QString GnomeCustomShortcut::kListSchema = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys");
const QString GnomeCustomShortcut::kEntrySchema = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys.custom-keybinding");

namespace {

constexpr char kListKey[] = "custom-keybindings";

// The GSettings objects of one operation, made on the worker thread inside a main context of its
// own: their change notices are queued there and dropped with it, never on the default context
// that the accessibility code iterates.
class Scope {
public:
    Scope() : m_context(g_main_context_new()) { g_main_context_push_thread_default(m_context); }
    ~Scope()
    {
        if (m_entry)
            g_object_unref(m_entry);
        if (m_list)
            g_object_unref(m_list);
        while (g_main_context_iteration(m_context, FALSE)) {
        }
        g_main_context_pop_thread_default(m_context);
        g_main_context_unref(m_context);
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    // False when GNOME's settings daemon schemas are not installed (g_settings_new would abort).
    bool open()
    {
        GSettingsSchemaSource* source = g_settings_schema_source_get_default();
        if (source == nullptr)
            return false;
        GSettingsSchema* list = g_settings_schema_source_lookup(source, GnomeCustomShortcut::kListSchema.toUtf8().constData(), TRUE);
        GSettingsSchema* entry = g_settings_schema_source_lookup(source, GnomeCustomShortcut::kEntrySchema.toUtf8().constData(), TRUE);
        const bool complete = list != nullptr && entry != nullptr && g_settings_schema_has_key(list, kListKey);
        if (complete) {
            m_list = g_settings_new_full(list, nullptr, nullptr);
            m_entry = g_settings_new_full(entry, nullptr, GnomeCustomShortcut::kPath.toUtf8().constData());
        }
        if (list)
            g_settings_schema_unref(list);
        if (entry)
            g_settings_schema_unref(entry);
        return complete;
    }

    QStringList list() const
    {
        QStringList out;
        gchar** paths = g_settings_get_strv(m_list, kListKey);
        for (gchar** p = paths; p && *p; ++p)
            out << QString::fromUtf8(*p);
        g_strfreev(paths);
        return out;
    }

    bool setList(const QStringList& paths)
    {
        std::vector<QByteArray> bytes;
        std::vector<const gchar*> raw;
        for (const QString& p : paths)
            bytes.push_back(p.toUtf8());
        for (const QByteArray& b : bytes)
            raw.push_back(b.constData());
        raw.push_back(nullptr);
        return g_settings_set_strv(m_list, kListKey, raw.data());
    }

    QString entry(const char* key) const
    {
        gchar* value = g_settings_get_string(m_entry, key);
        const QString out = QString::fromUtf8(value);
        g_free(value);
        return out;
    }
    bool setEntry(const char* key, const QString& value) { return g_settings_set_string(m_entry, key, value.toUtf8().constData()); }
    void resetEntry(const char* key) { g_settings_reset(m_entry, key); }

private:
    GMainContext* m_context;
    GSettings* m_list = nullptr;
    GSettings* m_entry = nullptr;
};

template <typename T, typename Work>
QFuture<T> onWorker(std::shared_ptr<std::mutex> serial, Work work)
{
    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, serial, work = std::move(work)]() mutable {
        std::lock_guard lock(*serial);
        promise->addResult(work());
        promise->finish();
    });
    return future;
}

} // namespace

bool GnomeCustomShortcut::offered(const QProcessEnvironment& environment)
{
    const bool gnome = environment.value(QStringLiteral("XDG_CURRENT_DESKTOP")).toUpper().split(QLatin1Char(':')).contains(QStringLiteral("GNOME"));
    const bool wayland = environment.value(QStringLiteral("XDG_SESSION_TYPE")) == u"wayland"
                         || !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
    return gnome && wayland;
}

QString GnomeCustomShortcut::acceleratorFor(std::uint32_t keyCode, std::uint32_t modifiers)
{
    const auto symbol = keySymbolFor(keyCode);
    if (!symbol)
        return {};
    QString out;
    if (modifiers & 0x1000)
        out += QStringLiteral("<Control>");
    if (modifiers & 0x800)
        out += QStringLiteral("<Alt>");
    if (modifiers & 0x200)
        out += QStringLiteral("<Shift>");
    if (modifiers & 0x100)
        out += QStringLiteral("<Super>");
    return out + QLatin1String(symbol->name);
}

QString GnomeCustomShortcut::sentenceFor(Outcome outcome, bool adding, const QString& spokenCombination)
{
    switch (outcome) {
    case Outcome::done:
        return adding ? QStringLiteral("Dodałam skrót %1 do ustawień klawiatury GNOME. Uruchamia Selvina Voice, a gdy "
                                       "rozmowa trwa, zamyka ją.")
                            .arg(spokenCombination)
                      : QStringLiteral("Usunęłam skrót Selvina z ustawień klawiatury GNOME. Twoje własne skróty zostały "
                                       "bez zmian.");
    case Outcome::noSchema:
        return QStringLiteral("Nie znalazłam ustawień klawiatury GNOME (pakiet gnome-settings-daemon), więc skrótu nie "
                              "da się tu dodać.");
    case Outcome::badKey:
        return QStringLiteral("Tego klawisza nie da się zapisać jako skrótu GNOME. Wybierz inny klawisz i spróbuj "
                              "jeszcze raz.");
    case Outcome::failed:
        break;
    }
    return adding ? QStringLiteral("Nie udało się zapisać skrótu w ustawieniach GNOME. Dodaj go sam w Ustawieniach, "
                                   "Klawiatura, Skróty własne: polecenie selvina-voice.")
                  : QStringLiteral("Nie udało się usunąć skrótu z ustawień GNOME. Usuń go sam w Ustawieniach, "
                                   "Klawiatura, Skróty własne: pozycja Selvina Voice.");
}

GnomeCustomShortcut::GnomeCustomShortcut(const QString& program) : m_command(program + QStringLiteral(" --skrot")) {}

QFuture<GnomeCustomShortcut::State> GnomeCustomShortcut::read()
{
    return onWorker<State>(m_serial, [] {
        Scope scope;
        State state;
        if (!scope.open())
            return state;
        state.available = true;
        state.ours = scope.list().contains(kPath);
        if (state.ours) {
            state.binding = scope.entry("binding");
            state.command = scope.entry("command");
        }
        return state;
    });
}

QFuture<GnomeCustomShortcut::Outcome> GnomeCustomShortcut::add(std::uint32_t keyCode, std::uint32_t modifiers)
{
    const QString accelerator = acceleratorFor(keyCode, modifiers);
    return onWorker<Outcome>(m_serial, [accelerator, command = m_command] {
        if (accelerator.isEmpty())
            return Outcome::badKey;
        Scope scope;
        if (!scope.open())
            return Outcome::noSchema;
        // The entry first, the list after: the daemon never sees our path without its key.
        bool ok = scope.setEntry("name", QStringLiteral("Selvina Voice")) && scope.setEntry("command", command)
                  && scope.setEntry("binding", accelerator);
        QStringList paths = scope.list();
        if (ok && !paths.contains(kPath)) {
            paths << kPath;
            ok = scope.setList(paths);
        }
        g_settings_sync();
        return ok ? Outcome::done : Outcome::failed;
    });
}

QFuture<GnomeCustomShortcut::Outcome> GnomeCustomShortcut::remove()
{
    return onWorker<Outcome>(m_serial, [] {
        Scope scope;
        if (!scope.open())
            return Outcome::noSchema;
        QStringList paths = scope.list();
        bool ok = true;
        if (paths.removeAll(kPath) > 0)
            ok = scope.setList(paths);
        for (const char* key : {"name", "command", "binding"})
            scope.resetEntry(key);
        g_settings_sync();
        return ok ? Outcome::done : Outcome::failed;
    });
}

} // namespace selvina::platform
