#include "platform/linux/atspi/AtspiDesktop.h"

#include <atspi/atspi.h>
#include <gio/gio.h>
#include <xcb/xcb.h>

#include "core/Trace.h"

#include <QHash>

#include <cmath>

namespace selvina::platform {

namespace {

constexpr int kCallTimeoutMs = 350;

using Ref = std::shared_ptr<AtspiAccessible>;

Ref adopt(AtspiAccessible* object)
{
    if (object == nullptr)
        return nullptr;
    return Ref(object, [](AtspiAccessible* o) { g_object_unref(o); });
}

// GError → the AX error vocabulary: time-outs, vanished objects, missing interfaces.
AXError errorOf(GError* error)
{
    if (error == nullptr)
        return AXError::success;
    const QString message = QString::fromUtf8(error->message).toLower();
    trace(QStringLiteral("AT-SPI: ") + QString::fromUtf8(error->message));
    g_error_free(error);
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

void onChange(const AtspiEvent*) {}

QString takeString(gchar* text)
{
    if (text == nullptr)
        return {};
    QString s = QString::fromUtf8(text);
    g_free(text);
    return s;
}

class Element final : public AXElement {
public:
    explicit Element(Ref object) : m_object(std::move(object)) {}

    std::optional<AXAttributes> batch() override;
    Result<AXValue, AXError> attribute(const QString& name) override;
    Result<QStringList, AXError> actionNames() override;
    Result<bool, AXError> isSettable(const QString& name) override;
    AXError setAttribute(const QString& name, const AXValue& value) override;
    AXError perform(const QString& action) override;

private:
    struct Basics {
        AtspiRole role = ATSPI_ROLE_INVALID;
        AtspiStateSet* states = nullptr;
        AtspiDesktop::RoleMapping mapping;
        ~Basics()
        {
            if (states)
                g_object_unref(states);
        }
        bool has(AtspiStateType s) const { return states && atspi_state_set_contains(states, s); }
    };
    // Role and states: what every read needs; a failure means the element is gone or hung.
    Result<std::shared_ptr<Basics>, AXError> basics();
    AXValue valueOf(const Basics& b);
    std::vector<AXElementRef> children();
    std::optional<QRectF> frame();
    AXElementRef scrollBar(AtspiStateType orientation);
    std::optional<QString> placeholder();
    bool scrollBarRole(const Basics& b) const { return b.role == ATSPI_ROLE_SCROLL_BAR; }

    Ref m_object;
};

Result<std::shared_ptr<Element::Basics>, AXError> Element::basics()
{
    GError* error = nullptr;
    auto b = std::make_shared<Basics>();
    b->role = atspi_accessible_get_role(m_object.get(), &error);
    if (error)
        return errorOf(error);
    b->states = atspi_accessible_get_state_set(m_object.get());
    if (b->has(ATSPI_STATE_DEFUNCT))
        return AXError::invalidElement;
    b->mapping = AtspiDesktop::mapRole(int(b->role), b->has(ATSPI_STATE_MULTI_LINE), b->has(ATSPI_STATE_EDITABLE));
    return b;
}

std::vector<AXElementRef> Element::children()
{
    std::vector<AXElementRef> out;
    GError* error = nullptr;
    const gint count = atspi_accessible_get_child_count(m_object.get(), &error);
    if (error) {
        errorOf(error);
        return out;
    }
    out.reserve(std::size_t(std::max(0, count)));
    for (gint i = 0; i < count; ++i) {
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

std::optional<QRectF> Element::frame()
{
    AtspiComponent* component = atspi_accessible_get_component_iface(m_object.get());
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

std::optional<QString> Element::placeholder()
{
    GError* error = nullptr;
    GHashTable* attributes = atspi_accessible_get_attributes(m_object.get(), &error);
    if (error) {
        errorOf(error);
        return std::nullopt;
    }
    std::optional<QString> out;
    if (attributes) {
        if (auto* v = static_cast<const gchar*>(g_hash_table_lookup(attributes, "placeholder-text")))
            out = QString::fromUtf8(v);
        g_hash_table_unref(attributes);
    }
    return out;
}

// Checkable roles report 1/0 (2 when mixed), an expander 1/0, text its contents (never a password),
// a scroll bar its position as 0…1, other value holders their number.
AXValue Element::valueOf(const Basics& b)
{
    const QString& role = b.mapping.role;
    if (role == u"AXCheckBox" || role == u"AXRadioButton")
        return b.has(ATSPI_STATE_INDETERMINATE) ? 2.0 : (b.has(ATSPI_STATE_CHECKED) || b.has(ATSPI_STATE_PRESSED)) ? 1.0 : 0.0;
    if (role == u"AXDisclosureTriangle")
        return b.has(ATSPI_STATE_EXPANDED) ? 1.0 : 0.0;
    if (b.mapping.subrole == u"AXSecureTextField")
        return AXValue();
    if (role == u"AXTextField" || role == u"AXTextArea" || role == u"AXComboBox" || role == u"AXStaticText") {
        AtspiText* text = atspi_accessible_get_text_iface(m_object.get());
        if (text == nullptr)
            return AXValue();
        GError* error = nullptr;
        QString contents = takeString(atspi_text_get_text(text, 0, -1, &error));
        g_object_unref(text);
        if (error) {
            errorOf(error);
            return AXValue();
        }
        return contents;
    }
    AtspiValue* value = atspi_accessible_get_value_iface(m_object.get());
    if (value == nullptr)
        return AXValue();
    GError* error = nullptr;
    const double current = atspi_value_get_current_value(value, &error);
    double result = current;
    if (!error && scrollBarRole(b)) {
        const double low = atspi_value_get_minimum_value(value, nullptr);
        const double high = atspi_value_get_maximum_value(value, nullptr);
        result = high > low ? (current - low) / (high - low) : 0;
    }
    g_object_unref(value);
    if (error) {
        errorOf(error);
        return AXValue();
    }
    return result;
}

std::optional<AXAttributes> Element::batch()
{
    const auto basics = this->basics();
    if (!basics.ok())
        return std::nullopt;
    const Basics& b = *basics.value();
    AXAttributes a;
    a.role = b.mapping.role;
    if (!b.mapping.subrole.isEmpty())
        a.subrole = b.mapping.subrole;
    GError* error = nullptr;
    const QString name = takeString(atspi_accessible_get_name(m_object.get(), &error));
    if (error)
        return std::nullopt;
    // The description and the placeholder only stand in for a missing name: not asked otherwise.
    if (!name.trimmed().isEmpty()) {
        a.title = name;
    } else {
        const QString description = takeString(atspi_accessible_get_description(m_object.get(), nullptr));
        if (!description.isEmpty())
            a.describedBy = description;
        if (a.role == u"AXTextField" || a.role == u"AXTextArea")
            a.placeholder = placeholder();
    }
    a.rawValue = valueOf(b);
    a.enabled = b.has(ATSPI_STATE_ENABLED) || b.has(ATSPI_STATE_SENSITIVE);
    a.focused = b.has(ATSPI_STATE_FOCUSED);
    a.selected = b.has(ATSPI_STATE_SELECTED) && a.role != u"AXRadioButton";
    a.frame = frame();
    a.children = children();
    return a;
}

// A scroll bar among the children, or one level below them: Qt wraps a scroll area's bars in a
// container of their own, and does not state their orientation (their shape does).
AXElementRef Element::scrollBar(AtspiStateType orientation)
{
    const auto matches = [orientation](Element* e) {
        const auto b = e->basics();
        if (!b.ok() || b.value()->role != ATSPI_ROLE_SCROLL_BAR)
            return false;
        if (b.value()->has(ATSPI_STATE_VERTICAL) || b.value()->has(ATSPI_STATE_HORIZONTAL))
            return b.value()->has(orientation);
        const auto f = e->frame();
        return f && (orientation == ATSPI_STATE_VERTICAL ? f->height() > f->width() : f->width() > f->height());
    };
    std::vector<AXElementRef> containers;
    for (const AXElementRef& child : children()) {
        auto* e = static_cast<Element*>(child.get());
        if (matches(e))
            return child;
        const auto b = e->basics();
        if (b.ok() && (b.value()->role == ATSPI_ROLE_FILLER || b.value()->role == ATSPI_ROLE_PANEL))
            containers.push_back(child);
    }
    for (const AXElementRef& container : containers)
        for (const AXElementRef& child : static_cast<Element*>(container.get())->children())
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
    const Basics& b = *basics.value();
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
        return valueOf(b);
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
        return AXValue(children());
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
    const Basics& b = *basics.value();
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
        if (basics.ok() && scrollBarRole(*basics.value())) {
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
    if (m_initialised)
        return m_available;
    m_initialised = true;
    // atspi_init() returns 1 when already initialised, 2 when the accessibility bus is unreachable.
    // libatspi dispatches its bus connections (the registry's and each application's own) on the
    // default GLib context. The process must not iterate that context on another thread (Qt's
    // main loop does unless QT_NO_GLIB=1, which the application sets): it is iterated here only.
    m_available = atspi_init() != 2;
    if (m_available) {
        // Listening for changes makes the applications send them and lets libatspi keep its cache
        // of roles, names, states and children current, so a read asks only for what changes
        // without notice (positions, text, values).
        for (const char* type : {"object:state-changed", "object:property-change", "object:children-changed"}) {
            GError* error = nullptr;
            atspi_event_listener_register_no_data(onChange, nullptr, type, &error);
            if (error)
                g_error_free(error);
        }
    }
    atspi_set_timeout(kCallTimeoutMs, kCallTimeoutMs);
    return m_available;
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
        Ref showing;
        Ref first;
        const gint windows = atspi_accessible_get_child_count(app.get(), nullptr);
        for (gint w = 0; w < windows; ++w) {
            Ref window = adopt(atspi_accessible_get_child_at_index(app.get(), w, nullptr));
            if (!window)
                continue;
            if (!first)
                first = window;
            AtspiStateSet* states = atspi_accessible_get_state_set(window.get());
            const bool active = states && atspi_state_set_contains(states, ATSPI_STATE_ACTIVE);
            const bool isShowing = states && atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
            if (states)
                g_object_unref(states);
            if (active)
                return std::make_shared<Element>(window);
            if (isShowing && !showing)
                showing = window;
        }
        if (showing)
            return std::make_shared<Element>(showing);
        if (first)
            return std::make_shared<Element>(first);
    }
    return nullptr;
}

} // namespace selvina::platform
