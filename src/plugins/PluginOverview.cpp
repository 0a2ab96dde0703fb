#include "plugins/PluginOverview.h"

#include <QSet>

#include <qcoro/qcorotask.h>

#include <algorithm>
#include <cstdio>

namespace selvina::plugins {

namespace {

void print(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QCoro::Task<std::optional<PluginStoreError>> loadList(PluginStore& store)
{
    auto running = store.run({QStringLiteral("lista")});
    const auto result = co_await running;
    if (!result)
        co_return result.error();
    store.apply(result.value());
    co_return std::nullopt;
}

} // namespace

QString disabledText(const PluginCatalog& catalog)
{
    const QStringList ids = catalog.disabled();
    return QStringLiteral("Wyłączone wtyczki: ") + (ids.isEmpty() ? QStringLiteral("żadna") : ids.join(QStringLiteral(", ")))
        + QLatin1Char('\n');
}

QString overviewText(const PluginCatalog& catalog, const PluginStore& store, const std::optional<PluginStoreError>& lista)
{
    const QString none = QStringLiteral("  brak\n");
    QString text = QStringLiteral("Wbudowane:\n");
    if (catalog.plugins().isEmpty())
        text += none;
    for (const PluginCatalog::Plugin& plugin : catalog.plugins())
        text += QStringLiteral("  %1 (%2) — %3, %4\n")
                    .arg(plugin.id, plugin.name,
                         plugin.enabled ? QStringLiteral("włączona") : QStringLiteral("wyłączona"), plugin.origin.label());
    if (lista) {
        text += QStringLiteral("Magazyn wtyczek: ") + lista->description() + QLatin1Char('\n');
    } else {
        text += QStringLiteral("Zainstalowane:\n");
        if (store.installed().isEmpty())
            text += none;
        QSet<QString> installed;
        for (const PluginStore::Installed& plugin : store.installed()) {
            installed.insert(plugin.nazwa);
            text += QStringLiteral("  %1 %2 — %3\n").arg(plugin.nazwa, plugin.wersja, plugin.zrodlo);
        }
        QString installable;
        for (const PluginStore::Available& plugin : store.available())
            if (!installed.contains(plugin.nazwa))
                installable += QStringLiteral("  %1 %2 (%3)%4\n")
                                   .arg(plugin.nazwa, plugin.wersja, plugin.pakiet,
                                        plugin.domyslnie ? QStringLiteral(", z kompletu domyślnego") : QString());
        text += QStringLiteral("Do zainstalowania:\n") + (installable.isEmpty() ? none : installable);
    }
    QStringList servers(catalog.configuredServers().begin(), catalog.configuredServers().end());
    std::sort(servers.begin(), servers.end());
    text += QStringLiteral("Serwery z mcp.json: ") + (servers.isEmpty() ? QStringLiteral("żaden") : servers.join(QStringLiteral(", ")))
        + QLatin1Char('\n');
    return text + disabledText(catalog);
}

std::optional<int> runCommandLine(const QStringList& arguments, Clock& clock)
{
    const bool switching = arguments.size() == 4 && arguments.at(1) == u"--wtyczka";
    const bool listing = arguments.size() == 2 && arguments.at(1) == u"--wtyczki";
    if (!switching && !listing)
        return std::nullopt;
    PluginCatalog catalog;
    if (switching) {
        const bool stored =
            catalog.setEnabled(arguments.at(2), arguments.at(3) == u"wl" ? PluginCatalog::Switch::on : PluginCatalog::Switch::off);
        print(disabledText(catalog));
        return stored ? 0 : 1;
    }
    catalog.reload();
    PluginStore store(clock, catalog);
    const auto failure = QCoro::waitFor(loadList(store));
    print(overviewText(catalog, store, failure));
    return 0;
}

} // namespace selvina::plugins
