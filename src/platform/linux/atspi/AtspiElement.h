// One accessible object of libatspi as an AXElement, and the reading helpers that the libatspi
// element and the cached element share (states, value, the batch of attributes, GError mapping).
// Thread: the accessibility worker only, like every libatspi call (see AtspiDesktop.h).
#pragma once

#include "platform/Accessibility.h"
#include "platform/linux/atspi/AtspiRoles.h"

#include <atspi/atspi.h>

#include <memory>
#include <optional>

namespace selvina::platform::atspi {

// The longest any D-Bus call of the backend waits for an application.
inline constexpr int kCallTimeoutMs = 350;

using Ref = std::shared_ptr<AtspiAccessible>;

Ref adopt(AtspiAccessible* object); // takes over the reference; null stays null

// The bus's error text in the AX error vocabulary: time-outs, vanished objects, missing interfaces.
AXError errorOf(const QString& text);
// Whether a call of this thread timed out since the last reset: the application stopped
// answering, and asking it anything more costs another time-out.
bool silenceHeard();
void resetSilence();
// The elements that last reported getting the focus (from the change events), latest first, and noting one.
std::vector<Ref> lastFocused();
void noteFocused(Ref object);
// The application of `object` answers a ping within a short wait.
bool answers(AtspiAccessible* object);
AXError errorOf(GError* error); // frees a non-null error
Status<AXError> statusOf(GError* error); // success when null; frees the error

QString takeString(gchar* text); // frees the text
const char* pathOf(AtspiAccessible* object);
States statesOf(AtspiStateSet* set); // releases the set
std::optional<QRectF> extentsOf(AtspiAccessible* object);
std::optional<QRectF> componentExtents(AtspiAccessible* object); // without asking whether it is a component
std::optional<QString> placeholderIn(GHashTable* attributes); // releases the table

// Role and states: what every read needs.
struct Basics {
    AtspiRole role = ATSPI_ROLE_INVALID;
    States states = 0;
    RoleMapping mapping;

    Basics(AtspiRole r, States s) : role(r), states(s), mapping(roleMapping(r, s)) {}
    bool has(AtspiStateType s) const { return hasState(states, s); }
};

// A Value interface's number as it stands, or as its place between the minimum and the maximum.
enum class NumberScale { asIs, fractionOfRange };

// What a batch read asks beyond role, states and name, wherever the element is read from:
// libatspi's objects, or the application's own cache with the rest asked directly.
class Reads {
public:
    virtual ~Reads() = default;
    virtual QString description() = 0;
    virtual std::optional<QString> placeholder() = 0;
    virtual std::optional<QString> text() = 0; // none without the Text interface or when it fails
    virtual bool hasText() = 0;                // the element offers the Text interface
    virtual std::optional<double> number(NumberScale scale) = 0; // none without the Value interface
    virtual std::optional<QRectF> frame() = 0;
    virtual std::optional<QString> documentUrl() = 0; // a web document's address
};

// The name a toolkit gives, without what is not a name: GTK 4 falls back to the widget's class
// ("GtkButton", "AdwGizmo") and doubles a button's label into it ("7 7").
QString cleanName(const QString& name, AtspiRole role);

// Whether the element's value is its text: fields, labels and (where they offer text) cells.
bool showsText(const Basics& b);
AXValue valueOf(const Basics& b, Reads& reads);
// An element that a batch read within `limits` leaves at its role and visibility: neither on
// screen nor visible, or only visible where the walk lists only what is on screen.
bool readNoFurther(const Basics& b, const ReadLimits& limits);
// Everything of a batch read but the children.
AXAttributes attributesOf(const Basics& b, const QString& name, Reads& reads, const ReadLimits& limits);

// What a bulk read learnt of an element before its walk asks: role, states, name, and the text
// of one whose read shows it (none without the Text interface).
struct Known {
    Basics basics;
    QString name;
    int childCount = -1; // -1: not known
    bool textAsked = false;
    std::optional<QString> text;
};

// The Known of each object, asked of its application all at once and the answers collected after
// (a sheet's cells on screen cost one wait instead of four each); none for an object whose basics
// did not come back.
std::vector<std::optional<Known>> readInBulk(const std::vector<Ref>& objects);

class Siblings;

class Element final : public AXElement, private Reads {
public:
    explicit Element(Ref object, std::optional<Known> known = std::nullopt)
        : m_object(std::move(object)), m_known(std::move(known))
    {
    }
    // One of the children a read found together: what it is comes with its siblings'.
    Element(std::shared_ptr<Siblings> siblings, std::size_t index);

    Result<AXAttributes, AXError> batch(const ReadLimits& limits) override;
    Result<AXValue, AXError> attribute(const QString& name) override;
    Result<QStringList, AXError> actionNames() override;
    Result<bool, AXError> isSettable(const QString& name) override;
    Status<AXError> setAttribute(const QString& name, const AXValue& value) override;
    Status<AXError> perform(const QString& action) override;

    const Ref& object() const { return m_object; }

private:
    // A failure means the element is gone or hung.
    Result<Basics, AXError> basics();
    std::vector<AXElementRef> children(const Basics& b, const ReadLimits& limits, bool& more);
    std::vector<AXElementRef> children(int limit);
    std::vector<Ref> childObjects(int n, int count, const ReadLimits& limits, bool& more);
    std::vector<AXElementRef> managedChildren(const ReadLimits& limits, bool& more);
    std::optional<QRectF> visibleArea();
    // Makes this element the only one selected in its parent, as a click on it does; none when the
    // parent keeps no selection or refused this one.
    std::optional<Status<AXError>> selectAlone();
    // Whether one of its actions is a click of its own (not GTK 3's "activate" of a cell).
    bool offersClick();
    AXElementRef scrollBar(AtspiStateType orientation);

    QString description() override { return takeString(atspi_accessible_get_description(m_object.get(), nullptr)); }
    std::optional<QString> placeholder() override;
    std::optional<QString> text() override;
    bool hasText() override
    {
        if (m_known && m_known->textAsked)
            return m_known->text.has_value();
        AtspiText* text = atspi_accessible_get_text_iface(m_object.get());
        if (text)
            g_object_unref(text);
        return text != nullptr;
    }
    std::optional<double> number(NumberScale scale) override;
    std::optional<QRectF> frame() override { return extentsOf(m_object.get()); }
    std::optional<QString> documentUrl() override;

    Ref m_object;
    std::optional<Known> m_known; // for the walk's one batch read; every later question is asked anew
    std::shared_ptr<Siblings> m_siblings; // until the first batch read, which takes its Known from them
    std::size_t m_index = 0;
};

} // namespace selvina::platform::atspi
