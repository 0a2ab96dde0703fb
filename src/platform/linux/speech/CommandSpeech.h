// Speech through speech-dispatcher's spd-say (the screen reader's own voice and settings), or
// espeak-ng directly when speech-dispatcher is not installed.
// Thread: main thread.
#pragma once

#include "platform/SpeechSynthesizer.h"

#include <QStringList>

namespace selvina::platform {

class CommandSpeech final : public SpeechSynthesizer {
public:
    // `searchPath`: folders to look in; empty means PATH.
    explicit CommandSpeech(QStringList searchPath = {});
    bool speak(const QString& text) override;

private:
    QStringList m_searchPath;
};

} // namespace selvina::platform
