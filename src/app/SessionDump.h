// The diagnostic dump of the session configuration and of the speech key's source.
// Thread: main thread.
#pragma once

#include "settings/Configuration.h"
#include "voice/RealtimeProtocol.h"

#include <QByteArray>

namespace selvina::app {

// Pretty JSON with sorted keys, then "klucz OpenAI: <source>", each line ended by a line feed.
QByteArray sessionDump(const voice::SpeechSettings& settings, settings::KeySource keySource);

} // namespace selvina::app
