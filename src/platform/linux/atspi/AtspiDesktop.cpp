#include "platform/linux/atspi/AtspiDesktop.h"

#include <atspi/atspi.h>
#include <dbus/dbus.h>
#include <gio/gio.h>
#include <xcb/xcb.h>

#include "core/Trace.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstring>

namespace selvina::platform {

namespace {

constexpr int kCallTimeoutMs = 350;
// The least time between two attempts to reach an accessibility bus that could not be reached.
constexpr auto kInitRetryInterval = std::chrono::seconds(3);
// Where a caller gives no limit (a single attribute), the children listed at most.
constexpr int kChildrenWithoutLimit = 256;
// Finding what a managed element shows: the step past a spot where nothing is, in pixels, and
// the most points one element may be asked about.
constexpr int kProbeStep = 8;
constexpr int kMaxProbes = 400;

using Ref = std::shared_ptr<AtspiAccessible>;

Ref adopt(AtspiAccessible* object)
{
    if (object == nullptr)
        return nullptr;
    return Ref(object, [](AtspiAccessible* o) { g_object_unref(o); });
}

AXError errorOf(const QString& text)
{
    const QString message = text.toLower();
    trace(QStringLiteral("AT-SPI: ") + text);
    if (message.contains(u"noreply") || message.contains(u"timeout") || message.contains(u"timed out")
        || message.contains(u"did not receive a reply"))
        return AXError::cannotComplete;
    if (message.contains(u"unknownobject") || message.contains(u"serviceunknown") || message.contains(u"does not exist")
        || message.contains(u"was not provided") || message.contains(u"disconnected") || message.contains(u"defunct")
        || message.contains(u"invalid") || message.contains(u"no such object") || message.contains(u"no longer exists"))
        return AXError::invalidElement;
    if (message.contains(u"unknownmethod") || message.contains(u"unknowninterface") || message.contains(u"not implement")
        || message.contains(u"not supported"))
        return AXError::notImplemented;
    return AXError::other;
}

// GError → the AX error vocabulary: time-outs, vanished objects, missing interfaces.
AXError errorOf(GError* error)
{
    if (error == nullptr)
        return AXError::success;
    const AXError e = errorOf(QString::fromUtf8(error->message));
    g_error_free(error);
    return e;
}

void onChange(const AtspiEvent*) {}

QString takeString(gchar* text)
{
    if (text == nullptr)
        return {};
    QString s = QString::fromUtf8(text);
    g_free(text);
    return s;
}

const char* pathOf(AtspiAccessible* object)
{
    return ATSPI_OBJECT(object)->path;
}

// AT-SPI states as one bit each (there are fewer than 64).
using States = quint64;

States statesOf(AtspiStateSet* set)
{
    States states = 0;
    if (set == nullptr)
        return states;
    if (GArray* list = atspi_state_set_get_states(set)) {
        for (guint i = 0; i < list->len; ++i)
            if (const int s = g_array_index(list, AtspiStateType, i); s >= 0 && s < 64)
                states |= States(1) << s;
        g_array_free(list, TRUE);
    }
    g_object_unref(set);
    return states;
}

// Role and states: what every read needs.
struct Basics {
    AtspiRole role = ATSPI_ROLE_INVALID;
    States states = 0;
    AtspiDesktop::RoleMapping mapping;

    Basics(AtspiRole r, States s)
        : role(r), states(s),
          mapping(AtspiDesktop::mapRole(int(r), has(ATSPI_STATE_MULTI_LINE), has(ATSPI_STATE_EDITABLE)))
    {
    }
    bool has(AtspiStateType s) const { return (states >> s) & 1; }
};

std::optional<QRectF> extentsOf(AtspiAccessible* object)
{
    AtspiComponent* component = atspi_accessible_get_component_iface(object);
    if (component == nullptr)
        return std::nullopt;
    GError* error = nullptr;
    AtspiRect* r = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, &error);
    g_object_unref(component);
    if (error) {
        errorOf(error);
        return std::nullopt;
    }
    std::optional<QRectF> rect;
    if (r)
        rect = QRectF(r->x, r->y, r->width, r->height);
    g_free(r);
    return rect;
}

// What a batch read asks beyond role, states and name, wherever the element is read from:
// libatspi's objects, or the application's own cache with the rest asked directly.
class Reads {
public:
    virtual ~Reads() = default;
    virtual QString description() = 0;
    virtual std::optional<QString> placeholder() = 0;
    virtual std::optional<QString> text() = 0; // none without the Text interface or when it fails
    virtual std::optional<double> number(bool asFraction) = 0; // the Value interface; a fraction of its range
    virtual std::optional<QRectF> frame() = 0;
};

// Checkable roles report 1/0 (2 when mixed), an expander 1/0, text its contents (never a password),
// a scroll bar its position as 0…1, other value holders their number.
AXValue valueOf(const Basics& b, Reads& reads)
{
    const QString& role = b.mapping.role;
    if (role == u"AXCheckBox" || role == u"AXRadioButton")
        return b.has(ATSPI_STATE_INDETERMINATE) ? 2.0
            : (b.has(ATSPI_STATE_CHECKED) || b.has(ATSPI_STATE_PRESSED)) ? 1.0
                                                                          : 0.0;
    if (role == u"AXDisclosureTriangle")
        return b.has(ATSPI_STATE_EXPANDED) ? 1.0 : 0.0;
    if (b.mapping.subrole == u"AXSecureTextField")
        return AXValue();
    if (role == u"AXTextField" || role == u"AXTextArea" || role == u"AXComboBox" || role == u"AXStaticText") {
        const auto contents = reads.text();
        return contents ? AXValue(*contents) : AXValue();
    }
    const auto number = reads.number(b.role == ATSPI_ROLE_SCROLL_BAR);
    return number ? AXValue(*number) : AXValue();
}

// Everything of a batch read but the children.
AXAttributes attributesOf(const Basics& b, const QString& name, Reads& reads)
{
    AXAttributes a;
    a.role = b.mapping.role;
    if (!b.mapping.subrole.isEmpty())
        a.subrole = b.mapping.subrole;
    // The description and the placeholder only stand in for a missing name: not asked otherwise.
    if (!name.trimmed().isEmpty()) {
        a.title = name;
    } else {
        const QString description = reads.description();
        if (!description.isEmpty())
            a.describedBy = description;
        if (a.role == u"AXTextField" || a.role == u"AXTextArea")
            a.placeholder = reads.placeholder();
    }
    a.rawValue = valueOf(b, reads);
    a.enabled = b.has(ATSPI_STATE_ENABLED) || b.has(ATSPI_STATE_SENSITIVE);
    a.focused = b.has(ATSPI_STATE_FOCUSED);
    a.selected = b.has(ATSPI_STATE_SELECTED) && a.role != u"AXRadioButton";
    a.frame = reads.frame();
    return a;
}

std::optional<QString> placeholderIn(GHashTable* attributes)
{
    std::optional<QString> out;
    if (attributes) {
        if (auto* v = static_cast<const gchar*>(g_hash_table_lookup(attributes, "placeholder-text")))
            out = QString::fromUtf8(v);
        g_hash_table_unref(attributes);
    }
    return out;
}

// MARK: libatspi elements

class Element final : public AXElement, private Reads {
public:
    explicit Element(Ref object) : m_object(std::move(object)) {}

    std::optional<AXAttributes> batch(const ReadLimits& limits) override;
    Result<AXValue, AXError> attribute(const QString& name) override;
    Result<QStringList, AXError> actionNames() override;
    Result<bool, AXError> isSettable(const QString& name) override;
    AXError setAttribute(const QString& name, const AXValue& value) override;
    AXError perform(const QString& action) override;

    const Ref& object() const { return m_object; }

private:
    // A failure means the element is gone or hung.
    Result<Basics, AXError> basics();
    std::vector<AXElementRef> children(const Basics& b, const ReadLimits& limits, bool& more);
    std::vector<AXElementRef> children(int limit);
    std::vector<AXElementRef> managedChildren(const ReadLimits& limits, bool& more);
    std::optional<QRectF> visibleArea();
    AXElementRef scrollBar(AtspiStateType orientation);

    QString description() override { return takeString(atspi_accessible_get_description(m_object.get(), nullptr)); }
    std::optional<QString> placeholder() override;
    std::optional<QString> text() override;
    std::optional<double> number(bool asFraction) override;
    std::optional<QRectF> frame() override { return extentsOf(m_object.get()); }

    Ref m_object;
};

Result<Basics, AXError> Element::basics()
{
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(m_object.get(), &error);
    if (error)
        return errorOf(error);
    Basics b(role, statesOf(atspi_accessible_get_state_set(m_object.get())));
    if (b.has(ATSPI_STATE_DEFUNCT))
        return AXError::invalidElement;
    return b;
}

std::vector<AXElementRef> Element::children(const Basics& b, const ReadLimits& limits, bool& more)
{
    std::vector<AXElementRef> out;
    if (limits.children <= 0)
        return out;
    GError* error = nullptr;
    const gint count = atspi_accessible_get_child_count(m_object.get(), &error);
    if (error) {
        errorOf(error);
        return out;
    }
    // Such an element may hold millions of children that exist only when asked for (a spreadsheet
    // reports 2^31): beyond what a read lists, what it shows is read instead. Fewer are listed as
    // any others (GTK 3 marks every list box so, and its rows out of view are worth reading).
    if (b.has(ATSPI_STATE_MANAGES_DESCENDANTS) && count > limits.children)
        return managedChildren(limits, more);
    const gint n = std::min(count, gint(limits.children));
    for (gint i = 0; i < n; ++i) {
        if (limits.expired()) {
            more = true;
            break;
        }
        GError* childError = nullptr;
        Ref child = adopt(atspi_accessible_get_child_at_index(m_object.get(), i, &childError));
        if (childError) {
            errorOf(childError);
            continue; // a child that vanished mid-walk
        }
        if (child)
            out.push_back(std::make_shared<Element>(std::move(child)));
    }
    return out;
}

// The children on screen, row by row (what lies at points across the visible part of the element),
// then the selected ones; each once.
std::vector<AXElementRef> Element::managedChildren(const ReadLimits& limits, bool& more)
{
    std::vector<AXElementRef> out;
    QSet<QByteArray> seen{QByteArray(pathOf(m_object.get()))};
    const auto take = [&](Ref child) {
        if (child && int(out.size()) < limits.children && !seen.contains(pathOf(child.get()))) {
            seen.insert(pathOf(child.get()));
            out.push_back(std::make_shared<Element>(std::move(child)));
        }
    };
    const auto full = [&] { return int(out.size()) >= limits.children; };
    bool cut = false;
    AtspiComponent* component = atspi_accessible_get_component_iface(m_object.get());
    const std::optional<QRectF> area = component ? visibleArea() : std::nullopt;
    if (component && area) {
        int probes = 0;
        for (double y = area->top(); y < area->bottom() && !full() && !cut;) {
            double rowBottom = std::numeric_limits<double>::infinity();
            for (double x = area->left(); x < area->right() && !full();) {
                if (++probes > kMaxProbes || limits.expired()) {
                    cut = true;
                    break;
                }
                Ref hit = adopt(atspi_component_get_accessible_at_point(component, int(x), int(y),
                                                                        ATSPI_COORD_TYPE_SCREEN, nullptr));
                const std::optional<QRectF> cell = hit ? extentsOf(hit.get()) : std::nullopt;
                if (!cell || cell->width() <= 0 || cell->height() <= 0 || cell->bottom() <= y) {
                    x += kProbeStep; // nothing here
                    continue;
                }
                rowBottom = std::min(rowBottom, cell->bottom());
                take(std::move(hit));
                if (cell->right() <= x)
                    break; // an element that ends before the point it was found at: nothing past it
                x = cell->right();
            }
            y = std::isfinite(rowBottom) ? std::max(y + 1, rowBottom) : y + kProbeStep;
        }
    }
    if (component)
        g_object_unref(component);
    if (AtspiSelection* selection = atspi_accessible_get_selection_iface(m_object.get())) {
        const gint n = atspi_selection_get_n_selected_children(selection, nullptr);
        for (gint i = 0; i < n && !full(); ++i) {
            if (limits.expired()) {
                cut = true;
                break;
            }
            take(adopt(atspi_selection_get_selected_child(selection, i, nullptr)));
        }
        g_object_unref(selection);
    }
    more = cut || atspi_accessible_get_child_count(m_object.get(), nullptr) > gint(out.size());
    return out;
}

// The element's extents cut to those of its containers up to the window: a scrolled list is as
// tall as all its rows, the part on screen is its viewport's.
std::optional<QRectF> Element::visibleArea()
{
    std::optional<QRectF> area = frame();
    Ref at = adopt(atspi_accessible_get_parent(m_object.get(), nullptr));
    for (int up = 0; up < 8 && at && area && !area->isEmpty(); ++up) {
        const AtspiRole role = atspi_accessible_get_role(at.get(), nullptr);
        if (role == ATSPI_ROLE_APPLICATION || role == ATSPI_ROLE_INVALID)
            break;
        if (const auto container = extentsOf(at.get()); container && container->width() > 0 && container->height() > 0)
            area = area->intersected(*container);
        at = adopt(atspi_accessible_get_parent(at.get(), nullptr));
    }
    if (area && area->isEmpty())
        return std::nullopt;
    return area;
}

std::optional<QString> Element::placeholder()
{
    GError* error = nullptr;
    GHashTable* attributes = atspi_accessible_get_attributes(m_object.get(), &error);
    if (error) {
        errorOf(error);
        return std::nullopt;
    }
    return placeholderIn(attributes);
}

std::optional<QString> Element::text()
{
    AtspiText* text = atspi_accessible_get_text_iface(m_object.get());
    if (text == nullptr)
        return std::nullopt;
    GError* error = nullptr;
    QString contents = takeString(atspi_text_get_text(text, 0, -1, &error));
    g_object_unref(text);
    if (error) {
        errorOf(error);
        return std::nullopt;
    }
    return contents;
}

std::optional<double> Element::number(bool asFraction)
{
    AtspiValue* value = atspi_accessible_get_value_iface(m_object.get());
    if (value == nullptr)
        return std::nullopt;
    GError* error = nullptr;
    const double current = atspi_value_get_current_value(value, &error);
    double result = current;
    if (!error && asFraction) {
        const double low = atspi_value_get_minimum_value(value, nullptr);
        const double high = atspi_value_get_maximum_value(value, nullptr);
        result = high > low ? (current - low) / (high - low) : 0;
    }
    g_object_unref(value);
    if (error) {
        errorOf(error);
        return std::nullopt;
    }
    return result;
}

std::optional<AXAttributes> Element::batch(const ReadLimits& limits)
{
    if (limits.fresh)
        atspi_accessible_clear_cache(m_object.get());
    const auto basics = this->basics();
    if (!basics.ok())
        return std::nullopt;
    GError* error = nullptr;
    const QString name = takeString(atspi_accessible_get_name(m_object.get(), &error));
    if (error) {
        errorOf(error);
        return std::nullopt;
    }
    AXAttributes a = attributesOf(basics.value(), name, *this);
    a.children = children(basics.value(), limits, a.moreChildren);
    return a;
}

std::vector<AXElementRef> Element::children(int limit)
{
    const auto b = basics();
    bool more = false;
    return b.ok() ? children(b.value(), ReadLimits{limit}, more) : std::vector<AXElementRef>();
}

// A scroll bar among the children, or one level below them: Qt wraps a scroll area's bars in a
// container of their own, and does not state their orientation (their shape does).
AXElementRef Element::scrollBar(AtspiStateType orientation)
{
    const auto matches = [orientation](Element* e) {
        const auto b = e->basics();
        if (!b.ok() || b.value().role != ATSPI_ROLE_SCROLL_BAR)
            return false;
        if (b.value().has(ATSPI_STATE_VERTICAL) || b.value().has(ATSPI_STATE_HORIZONTAL))
            return b.value().has(orientation);
        const auto f = e->frame();
        return f && (orientation == ATSPI_STATE_VERTICAL ? f->height() > f->width() : f->width() > f->height());
    };
    std::vector<AXElementRef> containers;
    for (const AXElementRef& child : children(kChildrenWithoutLimit)) {
        auto* e = static_cast<Element*>(child.get());
        if (matches(e))
            return child;
        const auto b = e->basics();
        if (b.ok() && (b.value().role == ATSPI_ROLE_FILLER || b.value().role == ATSPI_ROLE_PANEL))
            containers.push_back(child);
    }
    for (const AXElementRef& container : containers)
        for (const AXElementRef& child : static_cast<Element*>(container.get())->children(kChildrenWithoutLimit))
            if (matches(static_cast<Element*>(child.get())))
                return child;
    return nullptr;
}

Result<AXValue, AXError> Element::attribute(const QString& name)
{
    // A fresh answer, not the cache: this is how a vanished or changed element is noticed.
    atspi_accessible_clear_cache(m_object.get());
    const auto basics = this->basics();
    if (!basics.ok())
        return basics.error();
    const Basics& b = basics.value();
    GError* error = nullptr;
    if (name == u"AXRole")
        return AXValue(b.mapping.role);
    if (name == u"AXSubrole")
        return b.mapping.subrole.isEmpty() ? AXValue() : AXValue(b.mapping.subrole);
    if (name == u"AXTitle") {
        const QString title = takeString(atspi_accessible_get_name(m_object.get(), &error));
        if (error)
            return errorOf(error);
        return title.isEmpty() ? AXValue() : AXValue(title);
    }
    if (name == u"AXDescription") {
        const QString d = takeString(atspi_accessible_get_description(m_object.get(), &error));
        if (error)
            return errorOf(error);
        return d.isEmpty() ? AXValue() : AXValue(d);
    }
    if (name == u"AXPlaceholderValue") {
        const auto p = placeholder();
        return p ? AXValue(*p) : AXValue();
    }
    if (name == u"AXValue")
        return valueOf(b, *this);
    if (name == u"AXFocused")
        return AXValue(b.has(ATSPI_STATE_FOCUSED));
    if (name == u"AXEnabled")
        return AXValue(b.has(ATSPI_STATE_ENABLED) || b.has(ATSPI_STATE_SENSITIVE));
    if (name == u"AXSelected")
        return AXValue(b.has(ATSPI_STATE_SELECTED));
    if (name == u"AXParent") {
        Ref parent = adopt(atspi_accessible_get_parent(m_object.get(), &error));
        if (error)
            return errorOf(error);
        if (!parent || atspi_accessible_get_role(parent.get(), nullptr) == ATSPI_ROLE_APPLICATION)
            return AXValue();
        return AXValue(AXElementRef(std::make_shared<Element>(std::move(parent))));
    }
    if (name == u"AXVerticalScrollBar" || name == u"AXHorizontalScrollBar") {
        AXElementRef bar = scrollBar(name == u"AXVerticalScrollBar" ? ATSPI_STATE_VERTICAL : ATSPI_STATE_HORIZONTAL);
        return bar ? AXValue(bar) : AXValue();
    }
    if (name == u"AXPosition" || name == u"AXSize") {
        const auto f = frame();
        if (!f)
            return AXValue();
        return name == u"AXPosition" ? AXValue(f->topLeft()) : AXValue(f->size());
    }
    if (name == u"AXChildren")
        return AXValue(children(kChildrenWithoutLimit));
    return AXError::attributeUnsupported;
}

Result<QStringList, AXError> Element::actionNames()
{
    QStringList names;
    if (AtspiAction* action = atspi_accessible_get_action_iface(m_object.get())) {
        GError* error = nullptr;
        const gint n = atspi_action_get_n_actions(action, &error);
        if (error) {
            g_object_unref(action);
            return errorOf(error);
        }
        for (gint i = 0; i < n; ++i) {
            const QString mapped = AtspiDesktop::mapAction(takeString(atspi_action_get_action_name(action, i, nullptr)));
            if (!mapped.isEmpty() && !names.contains(mapped))
                names.append(mapped);
        }
        g_object_unref(action);
    }
    if (AtspiComponent* component = atspi_accessible_get_component_iface(m_object.get())) {
        names.append(QStringLiteral("AXScrollToVisible"));
        g_object_unref(component);
    }
    return names;
}

Result<bool, AXError> Element::isSettable(const QString& name)
{
    const auto basics = this->basics();
    if (!basics.ok())
        return basics.error();
    const Basics& b = basics.value();
    if (name == u"AXFocused") {
        AtspiComponent* component = atspi_accessible_get_component_iface(m_object.get());
        if (component)
            g_object_unref(component);
        return component != nullptr && b.has(ATSPI_STATE_FOCUSABLE);
    }
    if (name == u"AXValue") {
        if (AtspiEditableText* editable = atspi_accessible_get_editable_text_iface(m_object.get())) {
            g_object_unref(editable);
            return b.has(ATSPI_STATE_EDITABLE);
        }
        if (AtspiValue* value = atspi_accessible_get_value_iface(m_object.get())) {
            g_object_unref(value);
            return b.role != ATSPI_ROLE_PROGRESS_BAR && b.role != ATSPI_ROLE_LEVEL_BAR;
        }
        return false;
    }
    return false;
}

AXError Element::setAttribute(const QString& name, const AXValue& value)
{
    GError* error = nullptr;
    if (name == u"AXFocused") {
        AtspiComponent* component = atspi_accessible_get_component_iface(m_object.get());
        if (component == nullptr)
            return AXError::attributeUnsupported;
        atspi_component_grab_focus(component, &error);
        g_object_unref(component);
        return errorOf(error);
    }
    if (name != u"AXValue")
        return AXError::attributeUnsupported;
    if (const QString* text = std::get_if<QString>(&value)) {
        AtspiEditableText* editable = atspi_accessible_get_editable_text_iface(m_object.get());
        if (editable == nullptr)
            return AXError::attributeUnsupported;
        const gboolean done = atspi_editable_text_set_text_contents(editable, text->toUtf8().constData(), &error);
        g_object_unref(editable);
        if (error)
            return errorOf(error);
        return done ? AXError::success : AXError::illegalArgument;
    }
    if (const double* number = std::get_if<double>(&value)) {
        const auto basics = this->basics();
        AtspiValue* holder = atspi_accessible_get_value_iface(m_object.get());
        if (holder == nullptr)
            return AXError::attributeUnsupported;
        double target = *number;
        if (basics.ok() && basics.value().role == ATSPI_ROLE_SCROLL_BAR) {
            const double low = atspi_value_get_minimum_value(holder, nullptr);
            const double high = atspi_value_get_maximum_value(holder, nullptr);
            target = low + *number * (high - low);
        }
        const gboolean done = atspi_value_set_current_value(holder, target, &error);
        g_object_unref(holder);
        if (error)
            return errorOf(error);
        return done ? AXError::success : AXError::illegalArgument;
    }
    return AXError::illegalArgument;
}

AXError Element::perform(const QString& action)
{
    GError* error = nullptr;
    if (action == u"AXScrollToVisible") {
        AtspiComponent* component = atspi_accessible_get_component_iface(m_object.get());
        if (component == nullptr)
            return AXError::actionUnsupported;
        const gboolean scrolled = atspi_component_scroll_to(component, ATSPI_SCROLL_ANYWHERE, &error);
        if (error) {
            g_error_free(error);
            error = nullptr;
        }
        // GTK 3 widgets answer false and Qt's item views do not know the call: giving the element
        // the keyboard focus makes both toolkits bring it into view, as a screen reader would.
        g_object_unref(component);
        if (scrolled)
            return AXError::success;
        // The element itself or its nearest focusable container (a list row around a label).
        Ref at = m_object;
        for (int up = 0; up < 4 && at; ++up) {
            AtspiStateSet* states = atspi_accessible_get_state_set(at.get());
            const bool focusable = states && atspi_state_set_contains(states, ATSPI_STATE_FOCUSABLE);
            if (states)
                g_object_unref(states);
            if (focusable) {
                AtspiComponent* holder = atspi_accessible_get_component_iface(at.get());
                const gboolean focused = holder && atspi_component_grab_focus(holder, &error);
                if (holder)
                    g_object_unref(holder);
                if (error)
                    return errorOf(error);
                return focused ? AXError::success : AXError::notImplemented;
            }
            at = adopt(atspi_accessible_get_parent(at.get(), nullptr));
        }
        return AXError::notImplemented;
    }
    AtspiAction* holder = atspi_accessible_get_action_iface(m_object.get());
    if (holder == nullptr)
        return AXError::actionUnsupported;
    const gint n = atspi_action_get_n_actions(holder, &error);
    if (error) {
        g_object_unref(holder);
        return errorOf(error);
    }
    for (gint i = 0; i < n; ++i) {
        if (AtspiDesktop::mapAction(takeString(atspi_action_get_action_name(holder, i, nullptr))) == action) {
            atspi_action_do_action(holder, i, &error);
            g_object_unref(holder);
            return errorOf(error);
        }
    }
    g_object_unref(holder);
    return AXError::actionUnsupported;
}

// MARK: the application's cache

using Message = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;

Message noMessage()
{
    return Message(nullptr, dbus_message_unref);
}

// The application's end of the accessibility bus (its own peer-to-peer connection where it offers
// one, as libatspi uses it), for what libatspi has no batch form of.
class AppLink {
public:
    explicit AppLink(AtspiAccessible* any)
        : m_bus(dbus_connection_ref(ATSPI_OBJECT(any)->app->bus)), m_name(ATSPI_OBJECT(any)->app->bus_name)
    {
    }
    ~AppLink() { dbus_connection_unref(m_bus); }
    AppLink(const AppLink&) = delete;
    AppLink& operator=(const AppLink&) = delete;

    const QByteArray& name() const { return m_name; }

    // One method call, its arguments as for dbus_message_append_args; null on an error reply or a time-out.
    Message call(const char* path, const char* interface, const char* method, int firstArgumentType, ...) const
    {
        Message message(dbus_message_new_method_call(m_name.constData(), path, interface, method), dbus_message_unref);
        if (!message)
            return noMessage();
        va_list arguments;
        va_start(arguments, firstArgumentType);
        const bool appended = dbus_message_append_args_valist(message.get(), firstArgumentType, arguments);
        va_end(arguments);
        if (!appended)
            return noMessage();
        DBusError error;
        dbus_error_init(&error);
        Message reply(dbus_connection_send_with_reply_and_block(m_bus, message.get(), kCallTimeoutMs, &error),
                      dbus_message_unref);
        if (dbus_error_is_set(&error)) {
            errorOf(QString::fromUtf8(error.name) + QLatin1Char(' ') + QString::fromUtf8(error.message));
            dbus_error_free(&error);
        }
        return reply;
    }

private:
    DBusConnection* m_bus;
    QByteArray m_name;
};

QString stringAt(DBusMessageIter* it)
{
    const char* s = nullptr;
    dbus_message_iter_get_basic(it, &s);
    return QString::fromUtf8(s);
}

// One element as the application's cache describes it.
struct CacheItem {
    QByteArray path;
    QByteArray parent;
    int index = -1;
    int childCount = -1; // -1: not cached (a managed element, or one the toolkit keeps out)
    AtspiRole role = ATSPI_ROLE_INVALID;
    States states = 0;
    QString name;
    QString description;
    bool component = false, text = false, value = false;
};

// The whole tree an application exposes, as org.a11y.atspi.Cache.GetItems gives it in one reply.
class CacheTree {
public:
    // The reply of GTK's bridge (at-spi2-core 2.46): path, application, parent, index in parent,
    // child count, interfaces, name, role, description, states. Anything else is not used.
    static constexpr const char* kSignature = "a((so)(so)(so)iiassusau)";

    enum class Outcome { tree, unsupported, failed };

    static Outcome fetch(std::shared_ptr<AppLink> link, std::shared_ptr<const CacheTree>& out)
    {
        Message reply = link->call("/org/a11y/atspi/cache", "org.a11y.atspi.Cache", "GetItems", DBUS_TYPE_INVALID);
        if (!reply)
            return Outcome::failed;
        if (std::strcmp(dbus_message_get_signature(reply.get()), kSignature) != 0)
            return Outcome::unsupported;
        auto tree = std::make_shared<CacheTree>();
        tree->m_link = std::move(link);
        DBusMessageIter top, array;
        dbus_message_iter_init(reply.get(), &top);
        dbus_message_iter_recurse(&top, &array);
        for (; dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_STRUCT; dbus_message_iter_next(&array))
            tree->m_items.push_back(itemAt(&array));
        if (tree->m_items.empty())
            return Outcome::unsupported; // the interface is there, the cache is not (Qt 6.4)
        for (int i = 0; i < int(tree->m_items.size()); ++i) {
            tree->m_byPath.insert(tree->m_items[i].path, i);
            tree->m_children[tree->m_items[i].parent].push_back(i);
        }
        for (auto& siblings : tree->m_children)
            std::sort(siblings.begin(), siblings.end(),
                      [&](int a, int b) { return tree->m_items[a].index < tree->m_items[b].index; });
        out = std::move(tree);
        return Outcome::tree;
    }

    const CacheItem& item(int i) const { return m_items[std::size_t(i)]; }
    std::optional<int> find(const QByteArray& path) const
    {
        const auto it = m_byPath.constFind(path);
        return it == m_byPath.cend() ? std::nullopt : std::optional<int>(*it);
    }
    // The item's children in order, when the cache holds exactly all of them.
    const std::vector<int>* children(int i) const
    {
        static const std::vector<int> none;
        const CacheItem& parent = item(i);
        if (parent.childCount == 0)
            return &none;
        const auto it = m_children.constFind(parent.path);
        if (parent.childCount < 0 || it == m_children.cend() || int(it->size()) != parent.childCount)
            return nullptr;
        for (int k = 0; k < int(it->size()); ++k)
            if (item((*it)[std::size_t(k)]).index != k)
                return nullptr;
        return &*it;
    }
    const AppLink& link() const { return *m_link; }

private:
    static QByteArray pathOfReference(DBusMessageIter* it)
    {
        DBusMessageIter reference;
        dbus_message_iter_recurse(it, &reference);
        dbus_message_iter_next(&reference);
        const char* path = nullptr;
        dbus_message_iter_get_basic(&reference, &path);
        return QByteArray(path);
    }

    static CacheItem itemAt(DBusMessageIter* array)
    {
        CacheItem item;
        DBusMessageIter field;
        dbus_message_iter_recurse(array, &field);
        item.path = pathOfReference(&field);
        dbus_message_iter_next(&field); // the application
        dbus_message_iter_next(&field);
        item.parent = pathOfReference(&field);
        dbus_message_iter_next(&field);
        dbus_int32_t number = 0;
        dbus_message_iter_get_basic(&field, &number);
        item.index = number;
        dbus_message_iter_next(&field);
        dbus_message_iter_get_basic(&field, &number);
        item.childCount = number;
        dbus_message_iter_next(&field);
        DBusMessageIter list;
        dbus_message_iter_recurse(&field, &list);
        for (; dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRING; dbus_message_iter_next(&list)) {
            const QString interface = stringAt(&list);
            item.component = item.component || interface == u"org.a11y.atspi.Component";
            item.text = item.text || interface == u"org.a11y.atspi.Text";
            item.value = item.value || interface == u"org.a11y.atspi.Value";
        }
        dbus_message_iter_next(&field);
        item.name = stringAt(&field);
        dbus_message_iter_next(&field);
        dbus_uint32_t role = 0;
        dbus_message_iter_get_basic(&field, &role);
        item.role = AtspiRole(role);
        dbus_message_iter_next(&field);
        item.description = stringAt(&field);
        dbus_message_iter_next(&field);
        dbus_message_iter_recurse(&field, &list);
        for (int word = 0; word < 2 && dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_UINT32; ++word) {
            dbus_uint32_t bits = 0;
            dbus_message_iter_get_basic(&list, &bits);
            item.states |= States(bits) << (32 * word);
            dbus_message_iter_next(&list);
        }
        return item;
    }

    std::shared_ptr<AppLink> m_link;
    std::vector<CacheItem> m_items;
    QHash<QByteArray, int> m_byPath;
    QHash<QByteArray, std::vector<int>> m_children;
};

// An element of one read taken from the application's cache: role, states, name and the tree's
// shape come from there, the rest is asked of the application directly. Actions, and reads after
// the walk (fresh ones), go to the libatspi element, found through the parent by index.
class CachedElement final : public AXElement, private Reads, public std::enable_shared_from_this<CachedElement> {
public:
    CachedElement(std::shared_ptr<const CacheTree> tree, int item, std::shared_ptr<CachedElement> parent, Ref live)
        : m_tree(std::move(tree)), m_item(item), m_parent(std::move(parent))
    {
        if (live)
            m_live = std::make_shared<Element>(std::move(live));
    }

    std::optional<AXAttributes> batch(const ReadLimits& limits) override
    {
        const std::vector<int>* children = m_tree->children(m_item);
        if (limits.fresh || children == nullptr) {
            const auto live = this->live();
            return live ? live->batch(limits) : std::nullopt;
        }
        const CacheItem& it = m_tree->item(m_item);
        const Basics b(it.role, it.states);
        if (b.has(ATSPI_STATE_DEFUNCT))
            return std::nullopt;
        AXAttributes a = attributesOf(b, it.name, *this);
        const std::size_t n = std::min(children->size(), std::size_t(std::max(0, limits.children)));
        for (std::size_t k = 0; k < n; ++k) {
            if (limits.expired()) {
                a.moreChildren = true;
                break;
            }
            a.children.push_back(std::make_shared<CachedElement>(m_tree, (*children)[k], shared_from_this(), nullptr));
        }
        return a;
    }
    Result<AXValue, AXError> attribute(const QString& name) override
    {
        const auto live = this->live();
        return live ? live->attribute(name) : Result<AXValue, AXError>(AXError::invalidElement);
    }
    Result<QStringList, AXError> actionNames() override
    {
        const auto live = this->live();
        return live ? live->actionNames() : Result<QStringList, AXError>(AXError::invalidElement);
    }
    Result<bool, AXError> isSettable(const QString& name) override
    {
        const auto live = this->live();
        return live ? live->isSettable(name) : Result<bool, AXError>(AXError::invalidElement);
    }
    AXError setAttribute(const QString& name, const AXValue& value) override
    {
        const auto live = this->live();
        return live ? live->setAttribute(name, value) : AXError::invalidElement;
    }
    AXError perform(const QString& action) override
    {
        const auto live = this->live();
        return live ? live->perform(action) : AXError::invalidElement;
    }

private:
    const char* path() const { return m_tree->item(m_item).path.constData(); }

    // The child of the parent's live element at this item's index, if it is still this item.
    std::shared_ptr<Element> live()
    {
        if (m_live || !m_parent)
            return m_live;
        const auto parent = m_parent->live();
        if (!parent)
            return nullptr;
        Ref child = adopt(atspi_accessible_get_child_at_index(parent->object().get(), m_tree->item(m_item).index, nullptr));
        if (child && std::strcmp(pathOf(child.get()), path()) == 0)
            m_live = std::make_shared<Element>(std::move(child));
        return m_live;
    }

    QString description() override { return m_tree->item(m_item).description; }
    std::optional<QString> placeholder() override
    {
        Message reply = m_tree->link().call(path(), "org.a11y.atspi.Accessible", "GetAttributes", DBUS_TYPE_INVALID);
        DBusMessageIter top, list;
        if (!reply || !dbus_message_iter_init(reply.get(), &top) || dbus_message_iter_get_arg_type(&top) != DBUS_TYPE_ARRAY)
            return std::nullopt;
        std::optional<QString> out;
        dbus_message_iter_recurse(&top, &list);
        for (; dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&list)) {
            DBusMessageIter entry;
            dbus_message_iter_recurse(&list, &entry);
            if (stringAt(&entry) != u"placeholder-text")
                continue;
            dbus_message_iter_next(&entry);
            out = stringAt(&entry);
        }
        return out;
    }
    std::optional<QString> text() override
    {
        if (!m_tree->item(m_item).text)
            return std::nullopt;
        const dbus_int32_t from = 0, to = -1;
        Message reply = m_tree->link().call(path(), "org.a11y.atspi.Text", "GetText", DBUS_TYPE_INT32, &from,
                                            DBUS_TYPE_INT32, &to, DBUS_TYPE_INVALID);
        const char* contents = nullptr;
        if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &contents, DBUS_TYPE_INVALID))
            return std::nullopt;
        return QString::fromUtf8(contents);
    }
    std::optional<double> number(bool asFraction) override
    {
        if (!m_tree->item(m_item).value)
            return std::nullopt;
        const auto property = [this](const char* name) -> std::optional<double> {
            const char* interface = "org.a11y.atspi.Value";
            Message reply = m_tree->link().call(path(), "org.freedesktop.DBus.Properties", "Get", DBUS_TYPE_STRING,
                                                &interface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
            DBusMessageIter top, variant;
            if (!reply || !dbus_message_iter_init(reply.get(), &top) || dbus_message_iter_get_arg_type(&top) != DBUS_TYPE_VARIANT)
                return std::nullopt;
            dbus_message_iter_recurse(&top, &variant);
            if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_DOUBLE)
                return std::nullopt;
            double v = 0;
            dbus_message_iter_get_basic(&variant, &v);
            return v;
        };
        const auto current = property("CurrentValue");
        if (!current || !asFraction)
            return current;
        const double low = property("MinimumValue").value_or(0), high = property("MaximumValue").value_or(0);
        return high > low ? (*current - low) / (high - low) : 0;
    }
    std::optional<QRectF> frame() override
    {
        if (!m_tree->item(m_item).component)
            return std::nullopt;
        const dbus_uint32_t screen = ATSPI_COORD_TYPE_SCREEN;
        Message reply = m_tree->link().call(path(), "org.a11y.atspi.Component", "GetExtents", DBUS_TYPE_UINT32, &screen,
                                            DBUS_TYPE_INVALID);
        DBusMessageIter top, box;
        if (!reply || !dbus_message_iter_init(reply.get(), &top) || dbus_message_iter_get_arg_type(&top) != DBUS_TYPE_STRUCT)
            return std::nullopt;
        dbus_message_iter_recurse(&top, &box);
        dbus_int32_t v[4] = {0, 0, 0, 0};
        for (int i = 0; i < 4 && dbus_message_iter_get_arg_type(&box) == DBUS_TYPE_INT32; ++i, dbus_message_iter_next(&box))
            dbus_message_iter_get_basic(&box, &v[i]);
        return QRectF(v[0], v[1], v[2], v[3]);
    }

    std::shared_ptr<const CacheTree> m_tree;
    int m_item;
    std::shared_ptr<CachedElement> m_parent;
    std::shared_ptr<Element> m_live;
};

} // namespace

// MARK: desktop

AtspiDesktop::AtspiDesktop() = default;

AtspiDesktop::~AtspiDesktop() = default;

AtspiDesktop::RoleMapping AtspiDesktop::mapRole(int atspiRole, bool multiLine, bool editable)
{
    switch (AtspiRole(atspiRole)) {
    case ATSPI_ROLE_PUSH_BUTTON:
        return {QStringLiteral("AXButton"), {}};
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
        return {QStringLiteral("AXMenuButton"), {}};
    case ATSPI_ROLE_TOGGLE_BUTTON:
        return {QStringLiteral("AXCheckBox"), QStringLiteral("AXToggle")};
    case ATSPI_ROLE_CHECK_BOX:
        return {QStringLiteral("AXCheckBox"), {}};
    case ATSPI_ROLE_RADIO_BUTTON:
        return {QStringLiteral("AXRadioButton"), {}};
    case ATSPI_ROLE_PAGE_TAB:
        return {QStringLiteral("AXRadioButton"), QStringLiteral("AXTabButton")};
    case ATSPI_ROLE_PAGE_TAB_LIST:
        return {QStringLiteral("AXTabGroup"), {}};
    case ATSPI_ROLE_PASSWORD_TEXT:
        return {QStringLiteral("AXTextField"), QStringLiteral("AXSecureTextField")};
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
        return {multiLine ? QStringLiteral("AXTextArea") : QStringLiteral("AXTextField"), {}};
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_PARAGRAPH:
        return {QStringLiteral("AXStaticText"), {}};
    case ATSPI_ROLE_HEADING:
        return {QStringLiteral("AXHeading"), {}};
    case ATSPI_ROLE_LINK:
        return {QStringLiteral("AXLink"), {}};
    case ATSPI_ROLE_DOCUMENT_WEB:
        return {QStringLiteral("AXWebArea"), {}};
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
        return {QStringLiteral("AXList"), {}};
    case ATSPI_ROLE_LIST_ITEM:
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_TREE_ITEM:
        return {QStringLiteral("AXRow"), {}};
    case ATSPI_ROLE_TABLE:
        return {QStringLiteral("AXTable"), {}};
    case ATSPI_ROLE_TABLE_CELL:
        return {QStringLiteral("AXCell"), {}};
    case ATSPI_ROLE_TABLE_COLUMN_HEADER:
        return {QStringLiteral("AXColumn"), {}};
    case ATSPI_ROLE_TREE:
    case ATSPI_ROLE_TREE_TABLE:
        return {QStringLiteral("AXOutline"), {}};
    case ATSPI_ROLE_MENU_BAR:
        return {QStringLiteral("AXMenuBar"), {}};
    case ATSPI_ROLE_MENU:
        return {QStringLiteral("AXMenuBarItem"), {}};
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM:
        return {QStringLiteral("AXMenuItem"), {}};
    case ATSPI_ROLE_COMBO_BOX:
        return {editable ? QStringLiteral("AXComboBox") : QStringLiteral("AXPopUpButton"), {}};
    case ATSPI_ROLE_SLIDER:
        return {QStringLiteral("AXSlider"), {}};
    case ATSPI_ROLE_SPIN_BUTTON:
        return {QStringLiteral("AXIncrementor"), {}};
    case ATSPI_ROLE_PROGRESS_BAR:
        return {QStringLiteral("AXProgressIndicator"), {}};
    case ATSPI_ROLE_LEVEL_BAR:
        return {QStringLiteral("AXLevelIndicator"), {}};
    case ATSPI_ROLE_SCROLL_BAR:
        return {QStringLiteral("AXScrollBar"), {}};
    case ATSPI_ROLE_SCROLL_PANE:
        return {QStringLiteral("AXScrollArea"), {}};
    case ATSPI_ROLE_SPLIT_PANE:
        return {QStringLiteral("AXSplitGroup"), {}};
    case ATSPI_ROLE_SEPARATOR:
        return {QStringLiteral("AXSplitter"), {}};
    case ATSPI_ROLE_TOOL_BAR:
        return {QStringLiteral("AXToolbar"), {}};
    case ATSPI_ROLE_COLOR_CHOOSER:
        return {QStringLiteral("AXColorWell"), {}};
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
        return {QStringLiteral("AXImage"), {}};
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_FILE_CHOOSER:
        return {QStringLiteral("AXWindow"), {}};
    case ATSPI_ROLE_ALERT:
        return {QStringLiteral("AXSheet"), {}};
    default:
        return {QStringLiteral("AXGroup"), {}}; // panels, fillers, sections, forms and the rest
    }
}

QString AtspiDesktop::mapAction(const QString& atspiActionName)
{
    const QString n = atspiActionName.toLower();
    if (n == u"click" || n == u"press" || n == u"activate" || n == u"toggle" || n == u"jump" || n == u"select")
        return QStringLiteral("AXPress");
    if (n == u"open")
        return QStringLiteral("AXOpen");
    if (n == u"expand or contract" || n == u"expand" || n == u"collapse")
        return QStringLiteral("AXPress");
    if (n == u"menu" || n == u"showmenu" || n == u"popup" || n == u"show menu")
        return QStringLiteral("AXShowMenu");
    return {};
}

bool AtspiDesktop::ensureInitialised()
{
    if (m_available)
        return true;
    // At login the accessibility bus may come up after the first question: a failed connection
    // is tried again, at most once per interval.
    const auto now = std::chrono::steady_clock::now();
    if (m_lastAttempt && now - *m_lastAttempt < kInitRetryInterval)
        return false;
    m_lastAttempt = now;
    // atspi_init() returns 0 when it connected, 1 when already initialised, 2 when the
    // accessibility bus is unreachable. libatspi counts itself initialised even when it failed
    // (a later atspi_init() answers 1 without a bus); atspi_exit() clears that, so the next
    // attempt connects afresh.
    // libatspi dispatches its bus connections (the registry's and each application's own) on the
    // default GLib context. The process must not iterate that context on another thread (Qt's
    // main loop does unless QT_NO_GLIB=1, which the application sets): it is iterated here only.
    if (const int outcome = atspi_init(); outcome != 0 && outcome != 1) {
        trace(QStringLiteral("AT-SPI: no accessibility bus (%1), tried again later").arg(outcome));
        atspi_exit();
        return false;
    }
    m_available = true;
    // Listening for changes makes the applications send them and lets libatspi keep its cache
    // of roles, names, states and children current, so a read asks only for what changes
    // without notice (positions, text, values).
    for (const char* type : {"object:state-changed", "object:property-change", "object:children-changed"}) {
        GError* error = nullptr;
        atspi_event_listener_register_no_data(onChange, nullptr, type, &error);
        if (error)
            g_error_free(error);
    }
    atspi_set_timeout(kCallTimeoutMs, kCallTimeoutMs);
    return true;
}

void AtspiDesktop::dispatchPending()
{
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

bool AtspiDesktop::isTrusted()
{
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    auto call = [&](const char* method, GVariant* arguments) {
        GError* e = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus",
                                                      "org.freedesktop.DBus.Properties", method, arguments, nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &e);
        if (e)
            g_error_free(e);
        return reply;
    };
    bool enabled = false;
    if (GVariant* reply = call("Get", g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"))) {
        GVariant* inner = nullptr;
        g_variant_get(reply, "(v)", &inner);
        enabled = inner && g_variant_get_boolean(inner);
        if (inner)
            g_variant_unref(inner);
        g_variant_unref(reply);
        if (!enabled) {
            // Switched off for the session: switch it on, as a screen reader does; toolkits that
            // start from now on expose their windows.
            if (GVariant* set = call("Set", g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)))) {
                g_variant_unref(set);
                enabled = true;
            }
        }
    }
    g_object_unref(bus);
    return enabled && ensureInitialised();
}

std::optional<qint64> AtspiDesktop::activeWindowPid()
{
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (c == nullptr || xcb_connection_has_error(c)) {
        if (c)
            xcb_disconnect(c);
        return std::nullopt;
    }
    auto atom = [c](const char* name) {
        xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : XCB_ATOM_NONE;
        free(r);
        return a;
    };
    auto cardinal = [c](xcb_window_t w, xcb_atom_t property, xcb_atom_t type) -> std::optional<uint32_t> {
        xcb_get_property_reply_t* r = xcb_get_property_reply(c, xcb_get_property(c, 0, w, property, type, 0, 1), nullptr);
        std::optional<uint32_t> v;
        if (r && xcb_get_property_value_length(r) >= 4)
            v = *static_cast<uint32_t*>(xcb_get_property_value(r));
        free(r);
        return v;
    };
    std::optional<qint64> pid;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    if (const auto active = cardinal(root, atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW); active && *active != 0)
        if (const auto p = cardinal(*active, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL))
            pid = qint64(*p);
    xcb_disconnect(c);
    return pid;
}

std::vector<ForegroundCandidate> AtspiDesktop::candidates()
{
    std::vector<ForegroundCandidate> out;
    if (!ensureInitialised())
        return out;
    dispatchPending(); // events that arrived since the last call: registrations, cache updates
    const std::optional<qint64> activePid = activeWindowPid();
    Ref desktop = adopt(atspi_get_desktop(0));
    if (!desktop)
        return out;
    atspi_accessible_clear_cache(desktop.get());
    struct App {
        ForegroundCandidate candidate;
        int rank; // 0 the window manager's active window, 1 an active window, 2 a showing one, 3 none
    };
    std::vector<App> apps;
    const gint count = atspi_accessible_get_child_count(desktop.get(), nullptr);
    for (gint i = 0; i < count; ++i) {
        Ref app = adopt(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (!app)
            continue;
        GError* error = nullptr;
        const qint64 pid = atspi_accessible_get_process_id(app.get(), &error);
        if (error) {
            g_error_free(error);
            continue; // an application that stopped answering
        }
        int rank = 3;
        const gint windows = atspi_accessible_get_child_count(app.get(), nullptr);
        for (gint w = 0; w < windows && rank > 1; ++w) {
            Ref window = adopt(atspi_accessible_get_child_at_index(app.get(), w, nullptr));
            if (!window)
                continue;
            AtspiStateSet* states = atspi_accessible_get_state_set(window.get());
            if (states) {
                if (atspi_state_set_contains(states, ATSPI_STATE_ACTIVE))
                    rank = 1;
                else if (atspi_state_set_contains(states, ATSPI_STATE_SHOWING))
                    rank = std::min(rank, 2);
                g_object_unref(states);
            }
        }
        if (activePid && pid == *activePid)
            rank = 0;
        if (rank == 3)
            continue;
        apps.push_back({{pid, takeString(atspi_accessible_get_name(app.get(), nullptr)), rank <= 1}, rank});
    }
    std::stable_sort(apps.begin(), apps.end(), [](const App& a, const App& b) { return a.rank < b.rank; });
    for (auto& a : apps)
        out.push_back(a.candidate);
    return out;
}

AXElementRef AtspiDesktop::window(const ForegroundCandidate& candidate)
{
    if (!ensureInitialised())
        return nullptr;
    Ref desktop = adopt(atspi_get_desktop(0));
    const gint count = desktop ? atspi_accessible_get_child_count(desktop.get(), nullptr) : 0;
    for (gint i = 0; i < count; ++i) {
        Ref app = adopt(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (!app || qint64(atspi_accessible_get_process_id(app.get(), nullptr)) != candidate.pid)
            continue;
        // libatspi's cache is kept current by the application's change events, which candidates()
        // has just dispatched; a read then asks the application only for what is not cached.
        atspi_accessible_set_cache_mask(app.get(), ATSPI_CACHE_DEFAULT);
        Ref active;
        Ref showing;
        Ref first;
        const gint windows = atspi_accessible_get_child_count(app.get(), nullptr);
        for (gint w = 0; w < windows && !active; ++w) {
            Ref window = adopt(atspi_accessible_get_child_at_index(app.get(), w, nullptr));
            if (!window)
                continue;
            if (!first)
                first = window;
            const States states = statesOf(atspi_accessible_get_state_set(window.get()));
            if ((states >> ATSPI_STATE_ACTIVE) & 1)
                active = window;
            else if (((states >> ATSPI_STATE_SHOWING) & 1) && !showing)
                showing = window;
        }
        Ref chosen = active ? active : showing ? showing : first;
        if (chosen)
            return elementFor(std::move(chosen));
    }
    return nullptr;
}

// The window from the application's cache where it has one (one call for the whole tree), else
// as a libatspi element read element by element.
AXElementRef AtspiDesktop::elementFor(std::shared_ptr<AtspiAccessible> window)
{
    if (m_reading == Reading::applicationCache) {
        auto link = std::make_shared<AppLink>(window.get());
        if (!m_withoutCache.contains(link->name())) {
            std::shared_ptr<const CacheTree> tree;
            switch (CacheTree::fetch(link, tree)) {
            case CacheTree::Outcome::tree:
                if (const auto item = tree->find(pathOf(window.get())))
                    return std::make_shared<CachedElement>(tree, *item, nullptr, std::move(window));
                break;
            case CacheTree::Outcome::unsupported:
            case CacheTree::Outcome::failed: // a time-out costs a third of a read: not tried again
                m_withoutCache.insert(link->name());
                break;
            }
        }
    }
    return std::make_shared<Element>(std::move(window));
}

} // namespace selvina::platform
