// The desktop's accessibility tree as the screen tools see it: live elements with AX-named
// attributes and actions, and the applications in the foreground.
// Thread: one serial worker; a backend may block there (every call carries its own time-out).
#pragma once

#include "core/Result.h"

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace selvina::platform {

// How a question to an application's accessibility interface fails.
class AXError {
public:
    enum class Kind {
        valueRefused,         // the application would not take the value
        elementGone,          // the object vanished (closed, rebuilt, defunct)
        noResponse,           // the application did not answer in time
        attributeUnsupported, // the element has no such attribute, or not a settable one
        actionUnsupported,    // the element offers no such action
        interfaceMissing,     // the toolkit does not implement that part of AT-SPI
        failed,               // anything else the bus reported
    };

    static AXError valueRefused() { return AXError(Kind::valueRefused); }
    static AXError elementGone() { return AXError(Kind::elementGone); }
    static AXError noResponse() { return AXError(Kind::noResponse); }
    static AXError attributeUnsupported() { return AXError(Kind::attributeUnsupported); }
    static AXError actionUnsupported() { return AXError(Kind::actionUnsupported); }
    static AXError interfaceMissing() { return AXError(Kind::interfaceMissing); }
    static AXError failed() { return AXError(Kind::failed); }

    Kind kind() const { return m_kind; }
    // What the user hears when control_ui fails on it.
    QString description() const
    {
        switch (m_kind) {
        case Kind::valueRefused:
            return QStringLiteral("Aplikacja odrzuciła podaną wartość.");
        case Kind::elementGone:
            return QStringLiteral("Element już nie istnieje — odczytaj ekran ponownie.");
        case Kind::noResponse:
            return QStringLiteral("Aplikacja nie odpowiada.");
        case Kind::attributeUnsupported:
            return QStringLiteral("Element nie ma tej właściwości.");
        case Kind::actionUnsupported:
            return QStringLiteral("Element nie obsługuje tej akcji.");
        case Kind::interfaceMissing:
            return QStringLiteral("Aplikacja nie wspiera tej części API dostępności.");
        case Kind::failed:
            break;
        }
        return QStringLiteral("Nie udało się — błąd dostępności AT-SPI.");
    }
    bool operator==(const AXError&) const = default;

private:
    explicit AXError(Kind kind) : m_kind(kind) {}
    Kind m_kind;
};

class AXElement;
using AXElementRef = std::shared_ptr<AXElement>;

// An attribute's value: none, text, number, flag, element, point, size or a list of elements.
using AXValue = std::variant<std::monostate, QString, double, bool, AXElementRef, QPointF, QSizeF,
                             std::vector<AXElementRef>>;

// The attributes a walk reads of every element.
struct AXAttributes {
    std::optional<QString> role, subrole, title, describedBy, placeholder;
    AXValue rawValue;
    std::optional<bool> enabled, focused, selected;
    std::optional<QRectF> frame;
    std::vector<AXElementRef> children;
    // The element has children beyond those listed: out of time, or ones its toolkit does not let
    // anyone enumerate (it manages them) and that are not on screen or selected.
    bool moreChildren = false;
    // Whether the toolkit draws it: `shown` (on screen), `visibleOnly` (meant to be visible, but
    // the toolkit does not say it is on screen: a closed menu's items in some toolkits, every
    // element in others, which never set that state below the window), `hidden`.
    enum class Visibility { shown, visibleOnly, hidden };
    Visibility visibility = Visibility::shown;
    // A document the window is there for (a web page, a sheet, a text): read before the window's chrome.
    bool document = false;
    std::optional<QString> url; // where a web document was loaded from
    // A document its application says it is still loading or building (busy, stale): elements
    // may be missing from it, or still without their names.
    bool loading = false;
};

// What one batch read may ask for.
struct ReadLimits {
    int children = 0; // the first ones, at most
    std::function<bool()> expired = [] { return false; }; // no further question once it says true
    // Ask the application anew, not what the current read has already learnt of it.
    bool fresh = false;
    // Ask for the element's frame: a walk that knows from the toolkit's own states what is on
    // screen spares itself the question.
    bool frame = true;
    // The walk leaves out what the toolkit marks visible but not on screen (a closed menu's
    // items): such an element is read no further than its role and states.
    bool onlyShown = false;
    // Role, visibility, whether it is a document, and the children: what a search for the
    // window's documents needs, nothing more (no names, values or frames; no probing for what a
    // table shows).
    bool shapeOnly = false;
    // The window's documents have been read already: one is read only as far as its shape.
    bool passDocuments = false;
};

class AXElement {
public:
    virtual ~AXElement() = default;
    // One attribute by its AX name ("AXRole", "AXValue", "AXFocused", "AXParent", …).
    virtual Result<AXValue, AXError> attribute(const QString& name) = 0;
    // The walk's attributes in as few round trips as the backend can; the error when that fails (an
    // element gone, an application that does not answer). A backend never asks for more children
    // than the limit, whatever count the element reports.
    virtual Result<AXAttributes, AXError> batch(const ReadLimits& limits) = 0;
    virtual Result<QStringList, AXError> actionNames() = 0;
    virtual Result<bool, AXError> isSettable(const QString& name) = 0;
    virtual Status<AXError> setAttribute(const QString& name, const AXValue& value) = 0;
    virtual Status<AXError> perform(const QString& action) = 0;
};

struct ForegroundCandidate {
    qint64 pid = 0;
    QString name;
    bool isRegular = true; // an ordinary application window, not a panel or a desktop component
    bool responding = true; // false: it did not answer the last question put to it, and still does not
};

class AccessibilityDesktop {
public:
    virtual ~AccessibilityDesktop() = default;
    // The accessibility bus is reachable and switched on.
    virtual bool isTrusted() = 0;
    // The foreground applications, most likely first; this process may be among them.
    virtual std::vector<ForegroundCandidate> candidates() = 0;
    // The candidate's focused window (else its first one); null when it has none.
    virtual AXElementRef window(const ForegroundCandidate& candidate) = 0;
    // Types the text as key presses into whatever holds the keyboard focus (for fields that ignore
    // a value set through the accessibility interface); `interfaceMissing` where the desktop offers
    // no way to synthesise keys.
    // `replacingContents` selects what the focused field holds first. A line break is the Return key.
    enum class Typing { intoFocus, replacingContents };
    virtual Status<AXError> typeText(const QString& text, Typing typing) = 0;
    // Turns the mouse wheel `clicks` times at the point (screen pixels), for views that ignore a
    // value set on their scroll bar; `interfaceMissing` where the desktop offers no way to do it.
    enum class Wheel { up, down, left, right };
    virtual Status<AXError> turnWheel(QPointF at, Wheel wheel, int clicks) = 0;
    // The application of `pid` did not answer in time: later candidate lists put it last and say
    // so, without waiting for it again, until it answers.
    virtual void noteSilent(qint64 pid) = 0;
};

} // namespace selvina::platform
