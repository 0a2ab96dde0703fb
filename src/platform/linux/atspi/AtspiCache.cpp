#include "platform/linux/atspi/AtspiCache.h"

#include <dbus/dbus.h>

#include <QHash>

#include <algorithm>
#include <cstdarg>
#include <cstring>

namespace selvina::platform::atspi {

namespace {

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

    using Outcome = CachedWindow::Outcome;

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

    Result<AXAttributes, AXError> batch(const ReadLimits& limits) override
    {
        const std::vector<int>* children = m_tree->children(m_item);
        const CacheItem& it = m_tree->item(m_item);
        const Basics b(it.role, it.states);
        if (b.has(ATSPI_STATE_DEFUNCT))
            return AXError::elementGone();
        const bool hidden = readNoFurther(b, limits);
        if (limits.fresh || (children == nullptr && !hidden)) {
            const auto live = this->live();
            return live ? live->batch(limits) : Result<AXAttributes, AXError>(AXError::elementGone());
        }
        resetSilence();
        AXAttributes a = attributesOf(b, it.name, *this, limits);
        if (silenceHeard())
            return missing().kind() == AXError::Kind::noResponse ? AXError::noResponse() : AXError::failed();
        if (hidden)
            return a;
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
        return live ? live->attribute(name) : Result<AXValue, AXError>(missing());
    }
    Result<QStringList, AXError> actionNames() override
    {
        const auto live = this->live();
        return live ? live->actionNames() : Result<QStringList, AXError>(missing());
    }
    Result<bool, AXError> isSettable(const QString& name) override
    {
        const auto live = this->live();
        return live ? live->isSettable(name) : Result<bool, AXError>(missing());
    }
    Status<AXError> setAttribute(const QString& name, const AXValue& value) override
    {
        const auto live = this->live();
        return live ? live->setAttribute(name, value) : Status<AXError>(missing());
    }
    Status<AXError> perform(const QString& action) override
    {
        const auto live = this->live();
        return live ? live->perform(action) : Status<AXError>(missing());
    }

private:
    const char* path() const { return m_tree->item(m_item).path.constData(); }

    // Why the live element cannot be found: gone, or its application does not answer.
    AXError missing() const
    {
        const CachedElement* root = this;
        while (root->m_parent)
            root = root->m_parent.get();
        if (root->m_live && !answers(root->m_live->object().get()))
            return AXError::noResponse();
        return AXError::elementGone();
    }

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
        if (silenceHeard())
            return std::nullopt;
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
    bool hasText() override { return m_tree->item(m_item).text; }
    std::optional<QString> text() override
    {
        if (silenceHeard())
            return std::nullopt;
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
    std::optional<double> number(NumberScale scale) override
    {
        if (silenceHeard())
            return std::nullopt;
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
        if (!current || scale == NumberScale::asIs)
            return current;
        const double low = property("MinimumValue").value_or(0), high = property("MaximumValue").value_or(0);
        return high > low ? (*current - low) / (high - low) : 0;
    }
    std::optional<QString> documentUrl() override
    {
        if (silenceHeard())
            return std::nullopt;
        const char* name = "DocURL";
        Message reply = m_tree->link().call(path(), "org.a11y.atspi.Document", "GetAttributeValue", DBUS_TYPE_STRING,
                                            &name, DBUS_TYPE_INVALID);
        const char* url = nullptr;
        if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &url, DBUS_TYPE_INVALID) || !*url)
            return std::nullopt;
        return QString::fromUtf8(url);
    }
    std::optional<QRectF> frame() override
    {
        if (silenceHeard())
            return std::nullopt;
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

// The element's count of children as the application gives it now; -1 without an answer.
int liveChildCount(const CacheTree& tree, const Ref& element)
{
    const char* interface = "org.a11y.atspi.Accessible";
    const char* property = "ChildCount";
    Message reply = tree.link().call(pathOf(element.get()), "org.freedesktop.DBus.Properties", "Get", DBUS_TYPE_STRING,
                                     &interface, DBUS_TYPE_STRING, &property, DBUS_TYPE_INVALID);
    DBusMessageIter top, variant;
    if (!reply || !dbus_message_iter_init(reply.get(), &top) || dbus_message_iter_get_arg_type(&top) != DBUS_TYPE_VARIANT)
        return -1;
    dbus_message_iter_recurse(&top, &variant);
    if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_INT32)
        return -1;
    dbus_int32_t count = -1;
    dbus_message_iter_get_basic(&variant, &count);
    return count;
}

} // namespace

CachedWindow readCachedWindow(const Ref& window)
{
    std::shared_ptr<const CacheTree> tree;
    CachedWindow read;
    read.outcome = CacheTree::fetch(std::make_shared<AppLink>(window.get()), tree);
    if (read.outcome != CachedWindow::Outcome::tree)
        return read;
    const auto item = tree->find(pathOf(window.get()));
    if (!item)
        return read;
    // A cache without the window's own children (LibreOffice lists only what it has made so far),
    // or with fewer or more than the window has (one the application stopped keeping current),
    // leaves the whole read to the application: asked for, it only costs time.
    if (tree->children(*item) == nullptr || liveChildCount(*tree, window) != tree->item(*item).childCount)
        read.outcome = CachedWindow::Outcome::unsupported;
    else
        read.element = std::make_shared<CachedElement>(tree, *item, nullptr, window);
    return read;
}

} // namespace selvina::platform::atspi
