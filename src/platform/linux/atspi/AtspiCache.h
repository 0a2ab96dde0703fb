// A window read from its application's own cache of accessible objects (org.a11y.atspi.Cache),
// the whole tree in one reply, where the application offers one (GTK's bridge does; Qt 6.4
// answers with an empty one).
// Thread: the accessibility worker only, like every libatspi call (see AtspiDesktop.h).
#pragma once

#include "platform/linux/atspi/AtspiElement.h"

namespace selvina::platform::atspi {

struct CachedWindow {
    enum class Outcome { tree, unsupported, failed };
    Outcome outcome = Outcome::failed;
    // `unsupported` too where the tree lacks the window's children.
    // With `tree`: the window as an element of that tree; null when the tree does not hold it.
    // Role, states, name and the shape come from the tree, the rest is asked of the application
    // directly; actions and fresh reads go to the live libatspi element.
    AXElementRef element;
};

CachedWindow readCachedWindow(const Ref& window);

} // namespace selvina::platform::atspi
