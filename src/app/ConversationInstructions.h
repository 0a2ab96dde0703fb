// The conversation instructions: the Polish system text that tells the speech model who it talks to
// and how it must behave.
// Thread: any.
#pragma once

#include <QString>

namespace selvina::app {

const QString& conversationInstructions();

} // namespace selvina::app
