#include "platform/linux/atspi/AtspiElement.h"

#include "core/Trace.h"

#include <dbus/dbus.h>

#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>

// libatspi's way from a reply that carries an object reference to the object, the one its own calls
// use for their answers; exported by the library though not declared in its public headers. Takes
// the reply.
extern "C" AtspiAccessible* _atspi_dbus_return_accessible_from_message(DBusMessage* message);
// The same from one (so) reference of a reply that holds several; does not take the reply.
extern "C" AtspiAccessible* _atspi_dbus_consume_accessible(DBusMessageIter* iter);

namespace selvina::platform::atspi {

namespace {

// Where a caller gives no limit (a single attribute), the children listed at most.
constexpr int kChildrenWithoutLimit = 256;
// Finding what a managed element shows: the step past a spot where nothing is, in pixels, and
// the most points one element may be asked about one by one (its top row and first column).
constexpr int kProbeStep = 8;
constexpr int kMaxProbes = 400;
// Questions sent before their answers are awaited, at most: each must be answered within the
// time-out, and an application answers them one after the other. With no bound, a busy one
// (LibreOffice while it builds a sheet) let whole reads time out, and still answered them after,
// behind the next read's questions.
constexpr int kAtOnce = 64;

} // namespace

Ref adopt(AtspiAccessible* object)
{
    if (object == nullptr)
        return nullptr;
    return Ref(object, [](AtspiAccessible* o) { g_object_unref(o); });
}

namespace {
thread_local bool t_silence = false;
// How long a ping may take before the application counts as not answering, in ms.
constexpr int kPingTimeoutMs = 150;
}

namespace {
// The last few: a focus that moves on to another control (the Name Box) and back to the table
// must not hide the cell the table named last.
constexpr std::size_t kFocusMemory = 4;
std::vector<Ref>& focusedSlots()
{
    thread_local std::vector<Ref> focused;
    return focused;
}
}

std::vector<Ref> lastFocused()
{
    return focusedSlots();
}

void noteFocused(Ref object)
{
    auto& slots = focusedSlots();
    slots.insert(slots.begin(), std::move(object));
    if (slots.size() > kFocusMemory)
        slots.pop_back();
}

bool silenceHeard()
{
    return t_silence;
}

void resetSilence()
{
    t_silence = false;
}

bool answers(AtspiAccessible* object)
{
    if (object == nullptr || ATSPI_OBJECT(object)->app == nullptr || ATSPI_OBJECT(object)->app->bus == nullptr)
        return false;
    DBusMessage* ping = dbus_message_new_method_call(ATSPI_OBJECT(object)->app->bus_name, "/org/a11y/atspi/accessible/root",
                                                     "org.freedesktop.DBus.Peer", "Ping");
    if (ping == nullptr)
        return false;
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(ATSPI_OBJECT(object)->app->bus, ping, kPingTimeoutMs, &error);
    dbus_message_unref(ping);
    const bool answered = reply != nullptr;
    if (reply)
        dbus_message_unref(reply);
    // Any answer, an error one too, comes from a living application.
    const bool living = answered || (dbus_error_is_set(&error) && !QByteArray(error.name).contains("NoReply"));
    dbus_error_free(&error);
    return living;
}

AXError errorOf(const QString& text)
{
    const QString message = text.toLower();
    trace(QStringLiteral("AT-SPI: ") + text);
    if (message.contains(u"noreply") || message.contains(u"timeout") || message.contains(u"timed out")
        || message.contains(u"did not receive a reply")) {
        t_silence = true;
        return AXError::noResponse();
    }
    if (message.contains(u"unknownobject") || message.contains(u"serviceunknown") || message.contains(u"does not exist")
        || message.contains(u"was not provided") || message.contains(u"disconnected") || message.contains(u"defunct")
        || message.contains(u"invalid") || message.contains(u"no such object") || message.contains(u"no longer exists"))
        return AXError::elementGone();
    if (message.contains(u"unknownmethod") || message.contains(u"unknowninterface") || message.contains(u"not implement")
        || message.contains(u"not supported"))
        return AXError::interfaceMissing();
    return AXError::failed();
}

AXError errorOf(GError* error)
{
    const AXError e = errorOf(QString::fromUtf8(error->message));
    g_error_free(error);
    return e;
}

Status<AXError> statusOf(GError* error)
{
    if (error == nullptr)
        return Ok{};
    return errorOf(error);
}

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

std::optional<QRectF> componentExtents(AtspiAccessible* object)
{
    GError* error = nullptr;
    AtspiRect* r = atspi_component_get_extents(ATSPI_COMPONENT(object), ATSPI_COORD_TYPE_SCREEN, &error);
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

std::optional<QRectF> extentsOf(AtspiAccessible* object)
{
    AtspiComponent* component = atspi_accessible_get_component_iface(object);
    if (component == nullptr)
        return std::nullopt;
    g_object_unref(component);
    return componentExtents(object);
}

bool showsText(const Basics& b)
{
    const QString& role = b.mapping.role;
    return role == u"AXTextField" || role == u"AXTextArea" || role == u"AXComboBox" || role == u"AXStaticText"
        || b.role == ATSPI_ROLE_TABLE_CELL;
}

// Checkable roles report 1/0 (2 when mixed), text its contents (never a password),
// a scroll bar its position as 0…1, other value holders their number.
AXValue valueOf(const Basics& b, Reads& reads)
{
    const QString& role = b.mapping.role;
    if (b.role == ATSPI_ROLE_PAGE_TAB) { // toolkits mark the current tab selected, some checked, Qt 5 neither
        if (b.has(ATSPI_STATE_SELECTED) || b.has(ATSPI_STATE_CHECKED))
            return 1.0;
        return b.has(ATSPI_STATE_SELECTABLE) || b.has(ATSPI_STATE_CHECKABLE) ? AXValue(0.0) : AXValue();
    }
    if (role == u"AXCheckBox" || role == u"AXRadioButton") {
        if (b.has(ATSPI_STATE_INDETERMINATE))
            return 2.0;
        if (b.has(ATSPI_STATE_CHECKED) || b.has(ATSPI_STATE_PRESSED))
            return 1.0;
        // Unchecked only where the toolkit says the element can be checked at all: a toggle
        // button that is a plain button in disguise states nothing.
        if (b.has(ATSPI_STATE_CHECKABLE) || b.role == ATSPI_ROLE_CHECK_BOX || b.role == ATSPI_ROLE_RADIO_BUTTON)
            return 0.0;
        return AXValue();
    }
    if (b.mapping.subrole == u"AXSecureTextField")
        return AXValue();
    // A cell is what it shows (a sheet's cell also offers a number, 0 when it is empty).
    if (showsText(b) && (b.role != ATSPI_ROLE_TABLE_CELL || reads.hasText())) {
        const auto contents = reads.text();
        return contents ? AXValue(*contents) : AXValue();
    }
    // A number only where it means something: toolkits offer the Value interface on menu items,
    // panels and buttons too (LibreOffice), where it holds 0.
    if (role != u"AXSlider" && role != u"AXIncrementor" && role != u"AXProgressIndicator" && role != u"AXLevelIndicator"
        && role != u"AXScrollBar" && b.role != ATSPI_ROLE_TABLE_CELL && b.role != ATSPI_ROLE_SPIN_BUTTON
        && b.role != ATSPI_ROLE_DIAL)
        return AXValue();
    const auto number = reads.number(b.role == ATSPI_ROLE_SCROLL_BAR ? NumberScale::fractionOfRange : NumberScale::asIs);
    return number ? AXValue(*number) : AXValue();
}

QString cleanName(const QString& name, AtspiRole role)
{
    static const QRegularExpression widgetClass(QStringLiteral("^(Gtk|Adw|Gdk|Gsk|Vte)[A-Z][A-Za-z0-9]*$"));
    // A container's own class name ("HistoryView"): one capitalised word of several parts.
    static const QRegularExpression className(QStringLiteral("^[A-Z][a-z0-9]+([A-Z][a-z0-9]+)+$"));
    const QString trimmed = name.trimmed();
    if (widgetClass.match(trimmed).hasMatch())
        return {};
    if ((role == ATSPI_ROLE_FILLER || role == ATSPI_ROLE_PANEL) && className.match(trimmed).hasMatch())
        return {};
    const qsizetype half = trimmed.size() / 2;
    if (trimmed.size() % 2 == 1 && trimmed[half] == QLatin1Char(' ') && trimmed.left(half) == trimmed.mid(half + 1))
        return trimmed.left(half);
    return name;
}

bool readNoFurther(const Basics& b, const ReadLimits& limits)
{
    return !b.has(ATSPI_STATE_SHOWING) && (limits.onlyShown || !b.has(ATSPI_STATE_VISIBLE));
}

namespace {
bool isDocument(AtspiRole role)
{
    return role == ATSPI_ROLE_DOCUMENT_WEB || role == ATSPI_ROLE_DOCUMENT_SPREADSHEET || role == ATSPI_ROLE_DOCUMENT_TEXT
        || role == ATSPI_ROLE_DOCUMENT_PRESENTATION;
}

bool shapeOnly(const Basics& b, const ReadLimits& limits)
{
    return limits.shapeOnly || (limits.passDocuments && isDocument(b.role));
}
} // namespace

AXAttributes attributesOf(const Basics& b, const QString& rawName, Reads& reads, const ReadLimits& limits)
{
    AXAttributes a;
    a.role = b.mapping.role;
    if (!b.mapping.subrole.isEmpty())
        a.subrole = b.mapping.subrole;
    a.visibility = b.has(ATSPI_STATE_SHOWING) ? AXAttributes::Visibility::shown
        : b.has(ATSPI_STATE_VISIBLE)          ? AXAttributes::Visibility::visibleOnly
                                              : AXAttributes::Visibility::hidden;
    if (readNoFurther(b, limits))
        return a; // the walk leaves it out with all it holds
    a.document = isDocument(b.role);
    if (shapeOnly(b, limits))
        return a;
    if (b.role == ATSPI_ROLE_DOCUMENT_WEB)
        a.url = reads.documentUrl();
    // A browser marks a page busy until it has loaded, and stale until its tree is built.
    a.loading = a.document && (b.has(ATSPI_STATE_BUSY) || b.has(ATSPI_STATE_STALE));
    const QString name = cleanName(rawName, b.role);
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
    if (limits.frame)
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

namespace {

// One question of a bulk read, sent without waiting for the answer.
DBusPendingCall* ask(AtspiAccessible* object, const char* interface, const char* method, int firstArgumentType, ...)
{
    auto* app = ATSPI_OBJECT(object)->app;
    if (app == nullptr || app->bus == nullptr)
        return nullptr;
    DBusMessage* message = dbus_message_new_method_call(app->bus_name, pathOf(object), interface, method);
    if (message == nullptr)
        return nullptr;
    va_list arguments;
    va_start(arguments, firstArgumentType);
    const bool appended = dbus_message_append_args_valist(message, firstArgumentType, arguments);
    va_end(arguments);
    DBusPendingCall* pending = nullptr;
    if (!appended || !dbus_connection_send_with_reply(app->bus, message, &pending, kCallTimeoutMs))
        pending = nullptr;
    dbus_message_unref(message);
    return pending;
}

// The answer to a question sent by ask(); null on an error reply (a time-out is noted as silence).
DBusMessage* answer(DBusPendingCall* pending)
{
    if (pending == nullptr)
        return nullptr;
    dbus_pending_call_block(pending);
    DBusMessage* reply = dbus_pending_call_steal_reply(pending);
    dbus_pending_call_unref(pending);
    if (reply && dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
        errorOf(QString::fromUtf8(dbus_message_get_error_name(reply)));
        dbus_message_unref(reply);
        return nullptr;
    }
    return reply;
}

// The objects that `n` questions answer with, one each, the questions sent at most kAtOnce at a
// time and no more once `stop` says so; `fallback` stands in where a question could not be sent.
// Null where no object came back. False when it stopped before asking them all.
bool askForObjects(std::size_t n, const std::function<DBusPendingCall*(std::size_t)>& question,
                   const std::function<Ref(std::size_t)>& fallback, const std::function<bool()>& stop,
                   std::vector<Ref>& out)
{
    out.assign(n, nullptr);
    for (std::size_t from = 0; from < n; from += kAtOnce) {
        if (stop())
            return false;
        const std::size_t to = std::min(n, from + std::size_t(kAtOnce));
        std::vector<DBusPendingCall*> asked;
        for (std::size_t i = from; i < to; ++i)
            asked.push_back(question(i));
        for (std::size_t i = from; i < to; ++i) {
            if (asked[i - from] == nullptr)
                out[i] = fallback(i);
            else if (DBusMessage* reply = answer(asked[i - from]))
                out[i] = adopt(_atspi_dbus_return_accessible_from_message(reply)); // takes the reply
        }
    }
    return true;
}

} // namespace

// The children of one element as one read found them. What each is (role, states, name, text) is
// asked at its first read: the first one's alone, for a walk may leave the rest unread (a closed
// menu, after its first item is found off screen); at the next, that of all still unasked.
class Siblings {
public:
    explicit Siblings(std::vector<Ref> objects)
        : m_objects(std::move(objects)), m_known(m_objects.size()), m_asked(m_objects.size(), false)
    {
    }

    std::size_t size() const { return m_objects.size(); }
    const Ref& object(std::size_t i) const { return m_objects[i]; }

    std::optional<Known> take(std::size_t i)
    {
        if (!m_asked[i]) {
            std::vector<Ref> objects;
            std::vector<std::size_t> at;
            for (std::size_t k = i; k < (m_anyAsked ? m_objects.size() : i + 1); ++k)
                if (!m_asked[k]) {
                    objects.push_back(m_objects[k]);
                    at.push_back(k);
                    m_asked[k] = true;
                }
            m_anyAsked = true;
            std::vector<std::optional<Known>> known = readInBulk(objects);
            for (std::size_t j = 0; j < at.size(); ++j)
                m_known[at[j]] = std::move(known[j]);
        }
        return std::exchange(m_known[i], std::nullopt);
    }

private:
    std::vector<Ref> m_objects;
    std::vector<std::optional<Known>> m_known;
    std::vector<bool> m_asked;
    bool m_anyAsked = false;
};

Element::Element(std::shared_ptr<Siblings> siblings, std::size_t index)
    : m_object(siblings->object(index)), m_siblings(std::move(siblings)), m_index(index)
{
}

namespace {
std::vector<std::optional<Known>> readAllAtOnce(const std::vector<Ref>& objects)
{
    const char* accessible = "org.a11y.atspi.Accessible";
    const char* nameProperty = "Name";
    const char* childCountProperty = "ChildCount";
    struct Questions {
        DBusPendingCall *role, *states, *name, *childCount;
    };
    std::vector<Questions> questions;
    questions.reserve(objects.size());
    for (const Ref& o : objects)
        questions.push_back({ask(o.get(), accessible, "GetRole", DBUS_TYPE_INVALID),
                             ask(o.get(), accessible, "GetState", DBUS_TYPE_INVALID),
                             ask(o.get(), "org.freedesktop.DBus.Properties", "Get", DBUS_TYPE_STRING, &accessible,
                                 DBUS_TYPE_STRING, &nameProperty, DBUS_TYPE_INVALID),
                             ask(o.get(), "org.freedesktop.DBus.Properties", "Get", DBUS_TYPE_STRING, &accessible,
                                 DBUS_TYPE_STRING, &childCountProperty, DBUS_TYPE_INVALID)});
    std::vector<std::optional<Known>> out;
    for (const Questions& q : questions) {
        DBusMessage* role = answer(q.role);
        DBusMessage* states = answer(q.states);
        DBusMessage* name = answer(q.name);
        DBusMessage* childCount = answer(q.childCount);
        dbus_uint32_t r = 0;
        const char* n = nullptr;
        DBusMessageIter it, inner;
        std::optional<Known> k;
        if (role && states && name && dbus_message_get_args(role, nullptr, DBUS_TYPE_UINT32, &r, DBUS_TYPE_INVALID)
            && dbus_message_iter_init(name, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
            dbus_message_iter_recurse(&it, &inner);
            if (dbus_message_iter_get_arg_type(&inner) == DBUS_TYPE_STRING)
                dbus_message_iter_get_basic(&inner, &n);
            States s = 0;
            if (dbus_message_iter_init(states, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_ARRAY) {
                dbus_message_iter_recurse(&it, &inner);
                for (int word = 0; word < 2 && dbus_message_iter_get_arg_type(&inner) == DBUS_TYPE_UINT32; ++word) {
                    dbus_uint32_t bits = 0;
                    dbus_message_iter_get_basic(&inner, &bits);
                    s |= States(bits) << (32 * word);
                    dbus_message_iter_next(&inner);
                }
            }
            if (n)
                k = Known{Basics(AtspiRole(r), s), QString::fromUtf8(n), -1, false, std::nullopt};
            if (k && childCount && dbus_message_iter_init(childCount, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
                dbus_message_iter_recurse(&it, &inner);
                dbus_int32_t c = -1;
                if (dbus_message_iter_get_arg_type(&inner) == DBUS_TYPE_INT32)
                    dbus_message_iter_get_basic(&inner, &c);
                k->childCount = c;
            }
        }
        for (DBusMessage* m : {role, states, name, childCount})
            if (m)
                dbus_message_unref(m);
        out.push_back(std::move(k));
    }
    // The text, of those whose read shows it (fields, labels, a sheet's cells), again all at once.
    const dbus_int32_t from = 0, to = -1;
    std::vector<DBusPendingCall*> texts(objects.size(), nullptr);
    for (std::size_t i = 0; i < objects.size(); ++i)
        if (out[i] && showsText(out[i]->basics) && !readNoFurther(out[i]->basics, ReadLimits{}))
            texts[i] = ask(objects[i].get(), "org.a11y.atspi.Text", "GetText", DBUS_TYPE_INT32, &from, DBUS_TYPE_INT32,
                           &to, DBUS_TYPE_INVALID);
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (texts[i] == nullptr)
            continue;
        out[i]->textAsked = true;
        const char* t = nullptr;
        if (DBusMessage* reply = answer(texts[i])) {
            if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &t, DBUS_TYPE_INVALID))
                out[i]->text = QString::fromUtf8(t);
            dbus_message_unref(reply);
        }
    }
    return out;
}
} // namespace

std::vector<std::optional<Known>> readInBulk(const std::vector<Ref>& objects)
{
    std::vector<std::optional<Known>> out;
    out.reserve(objects.size());
    for (std::size_t from = 0; from < objects.size(); from += kAtOnce / 4) {
        // Questions that timed out: the application is too slow for them, or hung. Those still
        // unasked are left to the element's own read, which finds out which.
        if (silenceHeard())
            break;
        const auto begin = objects.begin() + std::ptrdiff_t(from);
        for (auto& known : readAllAtOnce({begin, begin + std::ptrdiff_t(std::min(objects.size() - from, std::size_t(kAtOnce / 4)))}))
            out.push_back(std::move(known));
    }
    out.resize(objects.size());
    return out;
}

Result<Basics, AXError> Element::basics()
{
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(m_object.get(), &error);
    if (error)
        return errorOf(error);
    // libatspi answers a failed question for the states with no set at all, whatever the cause.
    AtspiStateSet* set = atspi_accessible_get_state_set(m_object.get());
    if (set == nullptr) {
        if (answers(m_object.get()))
            return AXError::elementGone();
        t_silence = true;
        return AXError::noResponse();
    }
    Basics b(role, statesOf(set));
    if (b.has(ATSPI_STATE_DEFUNCT))
        return AXError::elementGone();
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
    if (b.has(ATSPI_STATE_MANAGES_DESCENDANTS) && count > limits.children) {
        if (!limits.shapeOnly)
            return managedChildren(limits, more);
        more = true;
        return out;
    }
    const gint n = std::min(count, gint(limits.children));
    std::vector<Ref> found = childObjects(n, count, limits, more);
    const auto siblings = std::make_shared<Siblings>(std::move(found));
    out.reserve(siblings->size());
    for (std::size_t i = 0; i < siblings->size(); ++i)
        out.push_back(std::make_shared<Element>(siblings, i));
    return out;
}

// The first `n` of the element's `count` children: all in one answer where the application gives
// them so and they are not too many, else each asked by its index, all at once.
std::vector<Ref> Element::childObjects(int n, int count, const ReadLimits& limits, bool& more)
{
    std::vector<Ref> found;
    if (count <= 2 * n)
        if (DBusMessage* reply = answer(ask(m_object.get(), "org.a11y.atspi.Accessible", "GetChildren", DBUS_TYPE_INVALID))) {
            DBusMessageIter top, list;
            if (dbus_message_iter_init(reply, &top) && dbus_message_iter_get_arg_type(&top) == DBUS_TYPE_ARRAY) {
                dbus_message_iter_recurse(&top, &list);
                for (; dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRUCT && int(found.size()) < n;
                     dbus_message_iter_next(&list)) {
                    DBusMessageIter reference = list;
                    if (Ref child = adopt(_atspi_dbus_consume_accessible(&reference)))
                        found.push_back(std::move(child));
                }
                dbus_message_unref(reply);
                return found;
            }
            dbus_message_unref(reply);
        }
    const auto byIndex = [this](std::size_t i) {
        const dbus_int32_t index = dbus_int32_t(i);
        return ask(m_object.get(), "org.a11y.atspi.Accessible", "GetChildAtIndex", DBUS_TYPE_INT32, &index, DBUS_TYPE_INVALID);
    };
    const auto throughLibatspi = [this](std::size_t i) {
        GError* error = nullptr;
        Ref child = adopt(atspi_accessible_get_child_at_index(m_object.get(), gint(i), &error));
        if (error)
            errorOf(error);
        return child;
    };
    std::vector<Ref> asked;
    if (!askForObjects(std::size_t(std::max(n, 0)), byIndex, throughLibatspi,
                       [&limits] { return limits.expired() || silenceHeard(); }, asked))
        more = true;
    for (Ref& child : asked)
        if (child) // none for a child that vanished mid-walk
            found.push_back(std::move(child));
    return found;
}

// The children on screen, row by row (what lies at points across the visible part of the element),
// then the selected ones; each once.
std::vector<AXElementRef> Element::managedChildren(const ReadLimits& limits, bool& more)
{
    std::vector<Ref> found;
    QSet<QByteArray> seen{QByteArray(pathOf(m_object.get()))};
    const auto take = [&](Ref child) {
        if (child && int(found.size()) < limits.children && !seen.contains(pathOf(child.get()))) {
            seen.insert(pathOf(child.get()));
            found.push_back(std::move(child));
        }
    };
    const auto full = [&] { return int(found.size()) >= limits.children; };
    bool cut = false;
    // The focused child first: the cursor cell of a sheet whose screen holds more cells than a read lists.
    for (const Ref& focused : lastFocused()) {
        Ref parent = adopt(atspi_accessible_get_parent(focused.get(), nullptr));
        if (parent && std::strcmp(pathOf(parent.get()), pathOf(m_object.get())) == 0
            && ATSPI_OBJECT(parent.get())->app == ATSPI_OBJECT(m_object.get())->app) {
            take(focused);
            break;
        }
    }
    AtspiComponent* component = atspi_accessible_get_component_iface(m_object.get());
    const std::optional<QRectF> area = component ? visibleArea() : std::nullopt;
    if (component && area) {
        int probes = 0;
        // What lies at a point is a component: its extents are asked without asking first.
        const auto probe = [&](double x, double y, Ref& hit) -> std::optional<QRectF> {
            hit = adopt(atspi_component_get_accessible_at_point(component, int(x), int(y), ATSPI_COORD_TYPE_SCREEN, nullptr));
            const std::optional<QRectF> cell = hit ? componentExtents(hit.get()) : std::nullopt;
            if (!cell || cell->width() <= 0 || cell->height() <= 0)
                return std::nullopt;
            return cell;
        };
        // Where the columns are: the top row, cell by cell, each found where the one before it ends.
        std::vector<std::pair<double, double>> columns; // the part of each on screen: left, right
        std::vector<Ref> grid;                           // row by row; null where nothing was found
        double rowBottom = std::numeric_limits<double>::infinity();
        for (double x = area->left(); x < area->right();) {
            if (++probes > kMaxProbes || limits.expired()) {
                cut = true;
                break;
            }
            Ref hit;
            const std::optional<QRectF> cell = probe(x, area->top(), hit);
            if (!cell || cell->bottom() <= area->top()) {
                x += kProbeStep; // nothing here
                continue;
            }
            rowBottom = std::min(rowBottom, cell->bottom());
            columns.emplace_back(x, std::min(cell->right(), area->right()));
            grid.push_back(std::move(hit));
            if (cell->right() <= x || int(columns.size()) >= limits.children)
                break; // an element that ends before the point it was found at: nothing past it
            x = cell->right();
        }
        // Where the rows are: down the first column.
        std::vector<std::pair<double, double>> rows; // top, bottom
        if (!columns.empty() && std::isfinite(rowBottom))
            rows.emplace_back(area->top(), rowBottom);
        const double firstColumn = columns.empty() ? 0 : (columns.front().first + columns.front().second) / 2;
        for (double y = rows.empty() ? area->bottom() : rowBottom;
             y < area->bottom() && !cut && int(rows.size() * columns.size()) < 2 * limits.children;) {
            if (++probes > kMaxProbes || limits.expired()) {
                cut = true;
                break;
            }
            Ref hit;
            const std::optional<QRectF> cell = probe(firstColumn, y, hit);
            if (!cell || cell->bottom() <= y) {
                y += kProbeStep;
                continue;
            }
            rows.emplace_back(y, std::min(cell->bottom(), area->bottom()));
            grid.resize(columns.size() * (rows.size() - 1));
            grid.push_back(std::move(hit));
            y = cell->bottom();
        }
        grid.resize(columns.size() * rows.size());
        // The rest of the grid is asked for all at once, each cell at its column's and row's middle:
        // one wait for all of them instead of two for each (a sheet shows hundreds of cells).
        std::vector<std::size_t> unknown; // the cells not met by the walks
        for (std::size_t r = 1; r < rows.size(); ++r)
            for (std::size_t c = 1; c < columns.size(); ++c)
                unknown.push_back(r * columns.size() + c);
        std::vector<Ref> met;
        askForObjects(
            unknown.size(),
            [&](std::size_t k) {
                const std::size_t r = unknown[k] / columns.size(), c = unknown[k] % columns.size();
                const dbus_int32_t x = dbus_int32_t((columns[c].first + columns[c].second) / 2);
                const dbus_int32_t y = dbus_int32_t((rows[r].first + rows[r].second) / 2);
                const dbus_uint32_t screen = ATSPI_COORD_TYPE_SCREEN;
                return ask(m_object.get(), "org.a11y.atspi.Component", "GetAccessibleAtPoint", DBUS_TYPE_INT32, &x,
                           DBUS_TYPE_INT32, &y, DBUS_TYPE_UINT32, &screen, DBUS_TYPE_INVALID);
            },
            [](std::size_t) { return Ref(); }, [&limits] { return silenceHeard() || limits.expired(); }, met);
        for (std::size_t k = 0; k < unknown.size(); ++k)
            grid[unknown[k]] = std::move(met[k]);
        cut = cut || silenceHeard() || limits.expired();
        for (Ref& cell : grid)
            take(std::move(cell));
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
    more = cut || atspi_accessible_get_child_count(m_object.get(), nullptr) > gint(found.size());
    std::vector<std::optional<Known>> known = readInBulk(found);
    std::vector<AXElementRef> out;
    out.reserve(found.size());
    for (std::size_t i = 0; i < found.size(); ++i)
        out.push_back(std::make_shared<Element>(std::move(found[i]), std::move(known[i])));
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
    if (silenceHeard())
        return std::nullopt;
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
    if (m_known && m_known->textAsked)
        return m_known->text;
    if (silenceHeard())
        return std::nullopt;
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

std::optional<double> Element::number(NumberScale scale)
{
    if (silenceHeard())
        return std::nullopt;
    AtspiValue* value = atspi_accessible_get_value_iface(m_object.get());
    if (value == nullptr)
        return std::nullopt;
    GError* error = nullptr;
    const double current = atspi_value_get_current_value(value, &error);
    double result = current;
    if (!error && scale == NumberScale::fractionOfRange) {
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

namespace {
// Roles whose name a toolkit computes from the text they or their label hold.
bool namedByContents(AtspiRole role)
{
    switch (role) {
    case ATSPI_ROLE_LINK:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_PAGE_TAB:
    case ATSPI_ROLE_LIST_ITEM:
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TABLE_CELL:
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_RADIO_BUTTON:
    case ATSPI_ROLE_COMBO_BOX:
    case ATSPI_ROLE_SPIN_BUTTON:
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_IMAGE:
        return true;
    default:
        return false;
    }
}
} // namespace

Result<AXAttributes, AXError> Element::batch(const ReadLimits& limits)
{
    if (limits.fresh) {
        atspi_accessible_clear_cache(m_object.get());
        m_known.reset();
        m_siblings.reset();
    }
    resetSilence();
    if (m_siblings) {
        m_known = m_siblings->take(m_index);
        m_siblings.reset();
        // Siblings asked with it that timed out are found out at their own reads.
        if (m_known)
            resetSilence();
    }
    if (m_known) {
        // Read in bulk with its siblings: only what is still missing is asked. A search for the
        // window's documents reads only its shape, and leaves what is known to the walk after it.
        const Known known = *m_known;
        const auto clear = qScopeGuard([this, &limits] {
            if (!limits.shapeOnly)
                m_known.reset();
        });
        if (known.basics.has(ATSPI_STATE_DEFUNCT))
            return AXError::elementGone();
        AXAttributes a = attributesOf(known.basics, known.name, *this, limits);
        if (silenceHeard())
            return answers(m_object.get()) ? AXError::failed() : AXError::noResponse();
        if (!readNoFurther(known.basics, limits) && (limits.shapeOnly || !shapeOnly(known.basics, limits))
            && known.childCount != 0)
            a.children = children(known.basics, limits, a.moreChildren);
        return a;
    }
    auto basics = this->basics();
    if (!basics.ok())
        return basics.error().kind() == AXError::Kind::noResponse && answers(m_object.get()) ? AXError::failed()
                                                                                             : basics.error();
    // A page that libatspi remembers as loading is asked anew: Firefox reports when a page stops
    // being busy, not when it stops being stale.
    if (const Basics& b = basics.value(); !limits.fresh && (b.has(ATSPI_STATE_BUSY) || b.has(ATSPI_STATE_STALE))
        && (b.role == ATSPI_ROLE_DOCUMENT_WEB || b.role == ATSPI_ROLE_DOCUMENT_FRAME)) {
        atspi_accessible_clear_cache(m_object.get());
        if (auto again = this->basics(); again.ok())
            basics = std::move(again);
    }
    if (readNoFurther(basics.value(), limits))
        return attributesOf(basics.value(), QString(), *this, limits);
    if (shapeOnly(basics.value(), limits)) {
        AXAttributes a = attributesOf(basics.value(), QString(), *this, limits);
        if (limits.shapeOnly)
            a.children = children(basics.value(), limits, a.moreChildren);
        return a;
    }
    GError* error = nullptr;
    QString name = takeString(atspi_accessible_get_name(m_object.get(), &error));
    // libatspi keeps a name until the application reports a change, and a browser reports none
    // when a name it computes from the element's text becomes known (Firefox sends a page's text
    // only once asked for it): an empty name of an element named by what it holds is asked anew.
    if (!error && name.isEmpty() && !limits.fresh && namedByContents(basics.value().role)) {
        atspi_accessible_clear_cache(m_object.get());
        name = takeString(atspi_accessible_get_name(m_object.get(), &error));
    }
    if (error) {
        const AXError e = errorOf(error);
        return e.kind() == AXError::Kind::noResponse && answers(m_object.get()) ? AXError::failed() : e;
    }
    AXAttributes a = attributesOf(basics.value(), name, *this, limits);
    // A question that timed out: silent, or merely slow (busy with what it was asked before).
    if (silenceHeard())
        return answers(m_object.get()) ? AXError::failed() : AXError::noResponse();
    if (!readNoFurther(basics.value(), limits))
        a.children = children(basics.value(), limits, a.moreChildren);
    return a;
}

std::optional<QString> Element::documentUrl()
{
    AtspiDocument* document = atspi_accessible_get_document_iface(m_object.get());
    if (document == nullptr)
        return std::nullopt;
    GError* error = nullptr;
    QString url = takeString(atspi_document_get_attribute_value(document, const_cast<gchar*>("DocURL"), &error));
    g_object_unref(document);
    if (error) {
        errorOf(error);
        return std::nullopt;
    }
    return url.isEmpty() ? std::nullopt : std::optional<QString>(url);
}

std::vector<AXElementRef> Element::children(int limit)
{
    const auto b = basics();
    bool more = false;
    return b.ok() ? children(b.value(), ReadLimits{limit}, more) : std::vector<AXElementRef>();
}

// A scroll bar among the children, or one level below them: Qt wraps a scroll area's bars in a
// container of their own, and does not state their orientation (their shape does). One on screen
// comes first: LibreOffice keeps the bars of a split view's hidden panes beside the shown ones.
AXElementRef Element::scrollBar(AtspiStateType orientation)
{
    // A sheet's millions of cells hold no scroll bar, and are not asked for one.
    if (const auto self = basics(); !self.ok() || self.value().has(ATSPI_STATE_MANAGES_DESCENDANTS))
        return nullptr;
    AXElementRef hidden;
    // 1: on screen, 0: a bar of this orientation that is not, -1: none.
    const auto matches = [orientation](Element* e) {
        const auto b = e->basics();
        if (!b.ok() || b.value().role != ATSPI_ROLE_SCROLL_BAR)
            return -1;
        bool oriented = false;
        if (b.value().has(ATSPI_STATE_VERTICAL) || b.value().has(ATSPI_STATE_HORIZONTAL)) {
            oriented = b.value().has(orientation);
        } else {
            const auto f = e->frame();
            oriented = f && (orientation == ATSPI_STATE_VERTICAL ? f->height() > f->width() : f->width() > f->height());
        }
        if (!oriented)
            return -1;
        return b.value().has(ATSPI_STATE_SHOWING) ? 1 : 0;
    };
    const auto consider = [&](const AXElementRef& child) {
        const int m = matches(static_cast<Element*>(child.get()));
        if (m == 0 && !hidden)
            hidden = child;
        return m == 1;
    };
    std::vector<AXElementRef> containers;
    for (const AXElementRef& child : children(kChildrenWithoutLimit)) {
        if (consider(child))
            return child;
        const auto b = static_cast<Element*>(child.get())->basics();
        if (b.ok() && (b.value().role == ATSPI_ROLE_FILLER || b.value().role == ATSPI_ROLE_PANEL))
            containers.push_back(child);
    }
    for (const AXElementRef& container : containers)
        for (const AXElementRef& child : static_cast<Element*>(container.get())->children(kChildrenWithoutLimit))
            if (consider(child))
                return child;
    return hidden;
}

Result<AXValue, AXError> Element::attribute(const QString& name)
{
    // A fresh answer, not the cache: this is how a vanished or changed element is noticed. A
    // question that timed out before (a focus request to a busy application) does not keep this
    // one from being asked.
    resetSilence();
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
    if (name == u"AXValue") {
        // A sheet makes a cell's object anew when the cell is edited: the cell at the same place
        // in the table tells what it holds now.
        if (b.role == ATSPI_ROLE_TABLE_CELL) {
            Ref parent = adopt(atspi_accessible_get_parent(m_object.get(), nullptr));
            const gint index = atspi_accessible_get_index_in_parent(m_object.get(), nullptr);
            if (parent && index >= 0 && hasState(statesOf(atspi_accessible_get_state_set(parent.get())), ATSPI_STATE_MANAGES_DESCENDANTS))
                if (Ref now = adopt(atspi_accessible_get_child_at_index(parent.get(), index, nullptr));
                    now && std::strcmp(pathOf(now.get()), pathOf(m_object.get())) != 0) {
                    Element fresh(std::move(now));
                    const auto freshBasics = fresh.basics();
                    if (freshBasics.ok())
                        return valueOf(freshBasics.value(), fresh);
                }
        }
        return valueOf(b, *this);
    }
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
    return AXError::attributeUnsupported();
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
            const QString mapped = actionName(takeString(atspi_action_get_action_name(action, i, nullptr)));
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

Status<AXError> Element::setAttribute(const QString& name, const AXValue& value)
{
    GError* error = nullptr;
    if (name == u"AXFocused") {
        // A sheet moves its cell cursor to the cell selected in it, not to one given the focus.
        const auto basics = this->basics();
        if (basics.ok() && basics.value().role == ATSPI_ROLE_TABLE_CELL)
            if (const auto selected = selectAlone(); selected && !selected->ok())
                return *selected;
        AtspiComponent* component = atspi_accessible_get_component_iface(m_object.get());
        if (component == nullptr)
            return AXError::attributeUnsupported();
        atspi_component_grab_focus(component, &error);
        g_object_unref(component);
        return statusOf(error);
    }
    if (name != u"AXValue")
        return AXError::attributeUnsupported();
    if (const QString* text = std::get_if<QString>(&value)) {
        AtspiEditableText* editable = atspi_accessible_get_editable_text_iface(m_object.get());
        if (editable == nullptr)
            return AXError::attributeUnsupported();
        const gboolean done = atspi_editable_text_set_text_contents(editable, text->toUtf8().constData(), &error);
        g_object_unref(editable);
        if (error)
            return errorOf(error);
        if (!done)
            return AXError::valueRefused();
        return Ok{};
    }
    if (const double* number = std::get_if<double>(&value)) {
        const auto basics = this->basics();
        AtspiValue* holder = atspi_accessible_get_value_iface(m_object.get());
        if (holder == nullptr)
            return AXError::attributeUnsupported();
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
        if (!done)
            return AXError::valueRefused();
        return Ok{};
    }
    return AXError::valueRefused();
}

bool Element::offersClick()
{
    AtspiAction* holder = atspi_accessible_get_action_iface(m_object.get());
    if (holder == nullptr)
        return false;
    bool found = false;
    const gint n = atspi_action_get_n_actions(holder, nullptr);
    for (gint i = 0; i < n && !found; ++i) {
        const QString name = takeString(atspi_action_get_action_name(holder, i, nullptr)).toLower();
        found = name == u"click" || name == u"press" || name == u"jump" || name == u"toggle";
    }
    g_object_unref(holder);
    return found;
}

std::optional<Status<AXError>> Element::selectAlone()
{
    Ref parent = adopt(atspi_accessible_get_parent(m_object.get(), nullptr));
    AtspiSelection* selection = parent ? atspi_accessible_get_selection_iface(parent.get()) : nullptr;
    const gint index = atspi_accessible_get_index_in_parent(m_object.get(), nullptr);
    if (selection == nullptr || index < 0) {
        if (selection)
            g_object_unref(selection);
        return std::nullopt;
    }
    GError* error = nullptr;
    atspi_selection_clear_selection(selection, nullptr);
    const gboolean selected = atspi_selection_select_child(selection, index, &error);
    g_object_unref(selection);
    if (error)
        return errorOf(error);
    if (!selected)
        return std::nullopt;
    return Status<AXError>(Ok{});
}

Status<AXError> Element::perform(const QString& action)
{
    GError* error = nullptr;
    // A click on a cell of a list or a table selects it. A GTK 3 cell's own actions do something
    // else: "expand or contract" first, which does nothing in a flat list, then "activate", which a
    // settings dialog's list does not listen to. A cell that expands, or that offers a click of its
    // own (a web page's grid), keeps its action.
    if (action == u"AXPress") {
        const auto b = basics();
        if (b.ok() && b.value().role == ATSPI_ROLE_TABLE_CELL && b.value().has(ATSPI_STATE_SELECTABLE)
            && !b.value().has(ATSPI_STATE_EXPANDABLE) && !offersClick())
            if (auto selected = selectAlone())
                return *std::move(selected);
    }
    if (action == u"AXScrollToVisible") {
        AtspiComponent* component = atspi_accessible_get_component_iface(m_object.get());
        if (component == nullptr)
            return AXError::actionUnsupported();
        const gboolean scrolled = atspi_component_scroll_to(component, ATSPI_SCROLL_ANYWHERE, &error);
        if (error) {
            g_error_free(error);
            error = nullptr;
        }
        // GTK 3 widgets answer false and Qt's item views do not know the call: giving the element
        // the keyboard focus makes both toolkits bring it into view, as a screen reader would.
        g_object_unref(component);
        if (scrolled)
            return Ok{};
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
                if (!focused)
                    return AXError::interfaceMissing();
                return Ok{};
            }
            at = adopt(atspi_accessible_get_parent(at.get(), nullptr));
        }
        return AXError::interfaceMissing();
    }
    AtspiAction* holder = atspi_accessible_get_action_iface(m_object.get());
    if (holder == nullptr)
        return AXError::actionUnsupported();
    const gint n = atspi_action_get_n_actions(holder, &error);
    if (error) {
        g_object_unref(holder);
        return errorOf(error);
    }
    for (gint i = 0; i < n; ++i) {
        if (actionName(takeString(atspi_action_get_action_name(holder, i, nullptr))) == action) {
            atspi_action_do_action(holder, i, &error);
            g_object_unref(holder);
            return statusOf(error);
        }
    }
    g_object_unref(holder);
    return AXError::actionUnsupported();
}

} // namespace selvina::platform::atspi
