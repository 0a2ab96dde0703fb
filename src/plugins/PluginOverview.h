// The plug-in modes of the command line: "--wtyczka ID wl|…" switches one plug-in and prints the
// ids switched off; "--wtyczki" prints the overview of the plug-ins.
// Thread: main thread, before the application starts.
#pragma once

#include "core/Clock.h"
#include "plugins/PluginCatalog.h"
#include "plugins/PluginStore.h"

#include <QStringList>

#include <optional>

namespace selvina::plugins {

// The overview as printed: built-in plug-ins, installed ones, installable ones, the servers of
// mcp.json and the ids switched off; `lista` is the store's answer, or why there is none.
QString overviewText(const PluginCatalog& catalog, const PluginStore& store,
                     const std::optional<PluginStoreError>& lista);
QString disabledText(const PluginCatalog& catalog);

// Handles the plug-in modes (the program's arguments, the program's name first): prints and
// gives the exit status. None when the arguments ask for neither.
std::optional<int> runCommandLine(const QStringList& arguments, Clock& clock);

} // namespace selvina::plugins
