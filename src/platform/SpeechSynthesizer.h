// SpeechSynthesizer: the desktop's own voice, for what must be heard outside a conversation.
// Thread: main thread.
#pragma once

#include <QString>

namespace selvina::platform {

class SpeechSynthesizer {
public:
    virtual ~SpeechSynthesizer() = default;
    // Polish ("pl-PL"); returns at once. False when no speech program could be started.
    virtual bool speak(const QString& text) = 0;
};

} // namespace selvina::platform
