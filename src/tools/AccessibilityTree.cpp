#include "tools/AccessibilityTree.h"

#include <QScopeGuard>
#include <QSet>

#include <cmath>

namespace selvina::tools {

using platform::AXElementRef;
using platform::AXError;
using platform::AXValue;

namespace {

const QHash<QString, QString>& roleNames()
{
    static const QHash<QString, QString> names{
        {"AXButton", "przycisk"},
        {"AXCell", "komórka"},
        {"AXCheckBox", "pole wyboru"},
        {"AXColorWell", "wybór koloru"},
        {"AXColumn", "kolumna"},
        {"AXComboBox", "pole kombi"},
        {"AXDisclosureTriangle", "rozwinięcie"},
        {"AXDocument", "dokument"},
        {"AXDrawer", "szuflada"},
        {"AXGroup", "grupa"},
        {"AXHeading", "nagłówek"},
        {"AXImage", "obraz"},
        {"AXIncrementor", "krokowy"},
        {"AXLevelIndicator", "wskaźnik poziomu"},
        {"AXLink", "link"},
        {"AXList", "lista"},
        {"AXMenu", "menu"},
        {"AXMenuBar", "pasek menu"},
        {"AXMenuBarItem", "pozycja paska menu"},
        {"AXMenuButton", "przycisk menu"},
        {"AXMenuItem", "pozycja menu"},
        {"AXOutline", "drzewo"},
        {"AXPopUpButton", "lista rozwijana"},
        {"AXProgressIndicator", "pasek postępu"},
        {"AXRadioButton", "przycisk opcji"},
        {"AXRadioGroup", "grupa opcji"},
        {"AXRow", "wiersz"},
        {"AXScrollArea", "obszar przewijania"},
        {"AXScrollBar", "pasek przewijania"},
        {"AXSheet", "arkusz"},
        {"AXSlider", "suwak"},
        {"AXSplitGroup", "podział"},
        {"AXStaticText", "tekst"},
        {"AXTabGroup", "karty"},
        {"AXTable", "tabela"},
        {"AXTextArea", "obszar tekstu"},
        {"AXTextField", "pole tekstowe"},
        {"AXToolbar", "pasek narzędzi"},
        {"AXWebArea", "strona"},
        {"AXWindow", "okno"},
    };
    return names;
}

const QHash<QString, QString>& subroleNames()
{
    static const QHash<QString, QString> names{
        {"AXCloseButton", "przycisk zamknięcia"},   {"AXFullScreenButton", "przycisk pełnego ekranu"},
        {"AXMinimizeButton", "przycisk minimalizacji"}, {"AXSearchField", "pole wyszukiwania"},
        {"AXSecureTextField", "pole hasła"},        {"AXTabButton", "karta"},
        {"AXToggle", "przełącznik"},                {"AXZoomButton", "przycisk powiększenia"},
        {"AXLandmark", "obszar strony"},            {"AXForm", "formularz"},
    };
    return names;
}

const QSet<QString> kInteractive{"AXButton",     "AXCheckBox",    "AXColorWell",   "AXComboBox",
                                 "AXDisclosureTriangle", "AXIncrementor", "AXLink", "AXMenuBarItem",
                                 "AXMenuButton", "AXMenuItem",    "AXPopUpButton", "AXRadioButton",
                                 "AXRow",        "AXSlider",      "AXTextArea",    "AXTextField"};
const QSet<QString> kTextual{"AXHeading", "AXStaticText", "AXTextArea", "AXTextField"};
const QSet<QString> kDecorative{"AXGrowArea", "AXScrollBar", "AXSplitter", "AXValueIndicator"};
const QSet<QString> kStructural{"AXGenericElement", "AXGroup",      "AXLayoutArea", "AXLayoutItem",
                                "AXList",           "AXMatte",      "AXScrollArea", "AXSplitGroup",
                                "AXSplitter",       "AXTabGroup",   "AXToolbar",    "AXUnknown"};
const QSet<QString> kCheckable{"AXCheckBox", "AXRadioButton"};

std::optional<QString> nonBlank(const std::optional<QString>& text)
{
    if (text && !text->trimmed().isEmpty())
        return text;
    return std::nullopt;
}

const double* numberOf(const AXValue& value)
{
    return std::get_if<double>(&value);
}

QString formatNumber(double v)
{
    if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15)
        return QString::number(qint64(v));
    return QString::asprintf("%.2f", v);
}

struct Draft {
    AXElementRef element;
    QString role;
    QString label;
    QString summary;
    QString line;
    int indent = 0;
    bool focused = false;
};

using Visibility = platform::AXAttributes::Visibility;

// Walks the window's chrome first, setting aside the documents in it (a web page, a sheet); then
// the documents, which get the element budget first and are listed first; the chrome fills what
// is left.
class TreeWalker {
public:
    TreeWalker(ReadFilter filter, std::chrono::steady_clock::time_point deadline, const AccessibilityTree::Clock& clock)
        : m_filter(filter), m_deadline(deadline), m_clock(clock)
    {
    }

    // The window's children beyond the first 96 are dropped without a note.
    void walkWindow(const platform::AXAttributes& window)
    {
        m_windowFrame = window.frame;
        // The documents are looked for first, by the window's shape alone, and read first: the
        // chrome before them in the tree may take a whole read's time (LibreOffice's menus, tool
        // bars and side bar under a busy processor).
        findDocuments(window, 1);
        const bool found = !m_documents.empty();
        readDocuments();
        std::vector<Draft> chrome;
        m_into = &chrome;
        // Documents the search found are not read again; those it did not reach (it ran out of
        // time) are set aside by the chrome's walk and read after it.
        m_passDocuments = found;
        m_deferDocuments = !found;
        // The chrome beside documents gets half the read's time at most, and a sixth after long documents.
        m_chromeDeadline = std::min(m_deadline, std::max(m_deadline - AccessibilityTree::kBudget / 2,
                                                         m_clock() + AccessibilityTree::kBudget / 6));
        walkChildren(window, 1, 0, nullptr);
        if (window.moreChildren)
            truncated = true;
        m_passDocuments = false;
        m_deferDocuments = false;
        readDocuments();
        const std::size_t room = std::size_t(AccessibilityTree::kMaxElements) - std::min(content.size(), std::size_t(AccessibilityTree::kMaxElements));
        if (chrome.size() > room) {
            chrome.resize(room);
            truncated = true;
        }
        contentCount = content.size();
        drafts = std::move(content);
        drafts.insert(drafts.end(), std::make_move_iterator(chrome.begin()), std::make_move_iterator(chrome.end()));
    }

    // At most one child more than is walked: it tells that the list was cut.
    platform::ReadLimits limits() const
    {
        // Where the toolkit marks what is on screen, that mark is enough, but for the rows of a list
        // in the chrome: GTK 3 leaves rows scrolled out of a list marked, and only their frame
        // tells (inside a document, a page's lists and a sheet's cells, found by where they are, are marked right).
        const bool frame = !m_showingUsed || (m_inList > 0 && !m_inDocument);
        return {AccessibilityTree::kMaxChildren + 1, [this] { return expired(); }, false, frame, m_showingUsed, false,
                m_passDocuments};
    }

    std::vector<Draft> drafts;
    std::vector<Draft> content;
    std::size_t contentCount = 0; // the first drafts, from the documents
    std::optional<platform::AXAttributes> documentAttributes; // of the first document
    bool truncated = false;
    bool beyondScreen = false; // a document holds more than is on screen
    bool loading = false;      // a document is still being loaded: what it holds may be incomplete
    bool silent = false;       // the application stopped answering during the walk
    bool windowUnread = false; // the window itself answered its read with an error

private:
    struct Pending {
        AXElementRef element;
        std::optional<platform::AXAttributes> attributes; // as the chrome's walk read them; none from the search
        int depth = 0;
    };

    // Roles that hold no document: the search does not look inside them.
    static bool holdsNoDocument(const QString& role)
    {
        static const QSet<QString> roles{"AXMenuBar", "AXMenu", "AXMenuBarItem", "AXMenuButton", "AXToolbar", "AXButton", "AXMenuItem"};
        return roles.contains(role) || kDecorative.contains(role);
    }

    // Depth first through what the walk would enter, asking each element only for its shape.
    void findDocuments(const platform::AXAttributes& a, int depth)
    {
        const std::size_t n = std::min<std::size_t>(a.children.size(), AccessibilityTree::kMaxChildren);
        for (std::size_t i = 0; i < n && !silent && depth < AccessibilityTree::kMaxDepth && !expired(); ++i) {
            if (!a.children[i])
                continue;
            platform::ReadLimits shape = limits();
            shape.shapeOnly = true;
            shape.frame = false;
            const auto read = a.children[i]->batch(shape);
            if (!read.ok()) {
                silent = read.error().kind() == platform::AXError::Kind::noResponse;
                continue;
            }
            const platform::AXAttributes& c = read.value();
            if (c.visibility == Visibility::shown)
                m_showingUsed = true;
            if (c.visibility == Visibility::hidden || (c.visibility == Visibility::visibleOnly && m_showingUsed))
                continue;
            if (c.document)
                m_documents.push_back({a.children[i], std::nullopt, depth});
            else if (!holdsNoDocument(c.role.value_or(QString())))
                findDocuments(c, depth + 1);
        }
    }

    // The documents found so far, into the content.
    void readDocuments()
    {
        std::vector<Pending> documents = std::move(m_documents);
        m_documents.clear();
        m_into = &content;
        m_inDocument = true;
        for (Pending& document : documents) {
            if (silent || expired())
                break;
            if (!document.attributes) {
                const auto read = document.element->batch(limits());
                if (!read.ok()) {
                    silent = silent || read.error().kind() == platform::AXError::Kind::noResponse;
                    continue;
                }
                document.attributes = read.value();
            }
            if (!documentAttributes)
                documentAttributes = document.attributes;
            loading = loading || document.attributes->loading;
            visit(document.element, *document.attributes, document.depth, 0, nullptr);
        }
        m_inDocument = false;
    }

    void walk(const AXElementRef& element, int depth, int indent, const Draft* parent)
    {
        if (silent)
            return;
        if (int(m_into->size()) >= AccessibilityTree::kMaxElements || depth >= AccessibilityTree::kMaxDepth
            || expired()) {
            truncated = true;
            return;
        }
        if (!element)
            return;
        const auto read = element->batch(limits());
        if (!read.ok()) {
            // An element that vanished mid-walk is simply not there; an application that does not
            // answer will not answer the next question either.
            if (read.error().kind() == platform::AXError::Kind::noResponse)
                silent = true;
            return;
        }
        visit(element, read.value(), depth, indent, parent);
    }

    void visit(const AXElementRef& element, const platform::AXAttributes& a, int depth, int indent, const Draft* parent)
    {
        const QString role = a.role.value_or(QString());
        if (kDecorative.contains(role))
            return;
        // Toolkits that mark what is on screen leave closed menus and background pages unmarked;
        // others (GTK 4) mark nothing below the window, and there being merely visible counts.
        if (a.visibility == Visibility::shown)
            m_showingUsed = true;
        if (a.visibility == Visibility::hidden || (a.visibility == Visibility::visibleOnly && m_showingUsed)) {
            m_offScreen = true;
            // Scrolled out of a document or a list (not a closed menu, not a background page).
            beyondScreen = beyondScreen || ((m_inDocument || m_inList > 0) && a.visibility == Visibility::visibleOnly);
            return;
        }
        if (m_windowFrame && a.frame && a.frame->width() > 0 && a.frame->height() > 0
            && !a.frame->intersects(*m_windowFrame)) {
            beyondScreen = beyondScreen || m_inDocument || m_inList > 0;
            return;
        }
        if (a.document && m_passDocuments)
            return;
        if (a.document && m_deferDocuments) {
            m_documents.push_back({element, a, depth});
            return;
        }

        const std::optional<QString> label =
            AccessibilityTree::labelOf(role, a.title, a.describedBy, a.placeholder, a.rawValue);
        const QString labelText = label.value_or(QString());

        QStringList states;
        const double* number = numberOf(a.rawValue);
        if (kCheckable.contains(role) && number)
            states.append(*number == 1 ? QStringLiteral("zaznaczone")
                          : *number == 0 ? QStringLiteral("niezaznaczone")
                                         : QStringLiteral("częściowo zaznaczone"));
        if (role == u"AXDisclosureTriangle" && number)
            states.append(*number != 0 ? QStringLiteral("rozwinięte") : QStringLiteral("zwinięte"));
        if (a.selected.value_or(false))
            states.append(QStringLiteral("wybrane"));
        if (a.enabled && !*a.enabled)
            states.append(QStringLiteral("wyłączone"));
        if (a.focused.value_or(false))
            states.append(QStringLiteral("fokus"));

        std::optional<QString> value;
        if (role != u"AXStaticText" && !kCheckable.contains(role) && role != u"AXDisclosureTriangle") {
            if (const QString* s = std::get_if<QString>(&a.rawValue)) {
                const QString v = compacted(*s, AccessibilityTree::kValueLength);
                if (!v.isEmpty() && v != labelText)
                    value = v;
            } else if (number) {
                value = formatNumber(*number);
            }
        }

        const bool hasLabel = !labelText.isEmpty();
        bool keep = false;
        switch (m_filter) {
        case ReadFilter::all:
            if (kStructural.contains(role))
                keep = hasLabel || value;
            else if (role == u"AXImage")
                keep = hasLabel;
            else
                keep = hasLabel || value || kInteractive.contains(role);
            break;
        case ReadFilter::interactive:
            keep = kInteractive.contains(role);
            break;
        case ReadFilter::text:
            keep = kTextual.contains(role) && (hasLabel || value);
            break;
        }
        // A text that only repeats the name of the element it sits in (a button's own label).
        if (keep && role == u"AXStaticText" && parent && parent->label == labelText && !value)
            keep = false;

        const bool isList = role == u"AXList" || role == u"AXTable" || role == u"AXOutline";
        m_inList += isList ? 1 : 0;
        const auto leaveList = qScopeGuard([&] { m_inList -= isList ? 1 : 0; });
        if (!keep) {
            walkChildren(a, depth + 1, indent, parent);
            return;
        }
        Draft d;
        d.element = element;
        d.role = role;
        d.label = labelText;
        d.summary = AccessibilityTree::summaryOf(role, a.subrole, label);
        d.line = d.summary;
        if (value)
            d.line += QStringLiteral(" = „") + *value + QStringLiteral("”");
        if (!states.isEmpty())
            d.line += QStringLiteral(" (") + states.join(QStringLiteral(", ")) + QLatin1Char(')');
        d.indent = indent;
        d.focused = a.focused.value_or(false);
        const std::size_t at = m_into->size();
        m_into->push_back(d);
        walkChildren(a, depth + 1, indent + 1, &d);
        // A wrapper that only repeats the name of what it holds (a group around its link, a label
        // around its field) gives way to it.
        std::vector<Draft>& list = *m_into;
        // A container with a name and nothing in it to read (a hidden menu bar's tool bar).
        const bool walkedWhole = !a.moreChildren && a.children.size() <= std::size_t(AccessibilityTree::kMaxChildren)
            && depth + 1 < AccessibilityTree::kMaxDepth && !expired() && !silent;
        if (kStructural.contains(role) && !value && walkedWhole && !a.children.empty() && list.size() == at + 1) {
            list.pop_back();
            return;
        }
        const bool wrapper = kStructural.contains(role) || role == u"AXStaticText";
        // A label element names itself after all it holds, a field's contents too ("Imię Jan").
        if (wrapper && !value && at + 1 < list.size() && list[at + 1].indent == indent + 1 && !list[at + 1].label.isEmpty()
            && (list[at + 1].label == labelText || labelText.startsWith(list[at + 1].label + QLatin1Char(' ')))) {
            list.erase(list.begin() + std::ptrdiff_t(at));
            for (std::size_t i = at; i < list.size(); ++i)
                --list[i].indent;
        }
    }

    void walkChildren(const platform::AXAttributes& a, int depth, int indent, const Draft* parent)
    {
        const std::size_t n = std::min<std::size_t>(a.children.size(), AccessibilityTree::kMaxChildren);
        // A closed menu is on screen, its items are not: once its first item is found off screen,
        // the others (a sheet's menus hold hundreds) are not asked about.
        const bool menu = a.role == u"AXMenuBarItem" || a.role == u"AXMenu";
        for (std::size_t i = 0; i < n; ++i) {
            if (expired()) {
                truncated = true;
                return;
            }
            m_offScreen = false;
            walk(a.children[i], depth, indent, parent);
            if (menu && i == 0 && m_offScreen)
                return;
        }
        if (a.children.size() > std::size_t(AccessibilityTree::kMaxChildren) || a.moreChildren) {
            truncated = true;
            beyondScreen = beyondScreen || m_inDocument || m_inList > 0;
        }
    }

    // Once a document is found, the chrome gets half the time at most: the rest is the document's.
    bool expired() const
    {
        const auto now = m_clock();
        if (m_deferDocuments && !m_documents.empty())
            return now > m_deadline - AccessibilityTree::kBudget / 2;
        if (m_passDocuments)
            return now > m_chromeDeadline;
        return now > m_deadline;
    }

    ReadFilter m_filter;
    std::optional<QRectF> m_windowFrame;
    std::chrono::steady_clock::time_point m_deadline;
    std::chrono::steady_clock::time_point m_chromeDeadline; // once the documents have been read
    const AccessibilityTree::Clock& m_clock;
    std::vector<Draft>* m_into = nullptr;
    std::vector<Pending> m_documents;
    bool m_deferDocuments = false;
    bool m_passDocuments = false;
    bool m_offScreen = false; // the element walked last was left out as not on screen // the documents have been read: the chrome's walk passes over them
    bool m_inDocument = false;
    int m_inList = 0; // lists, tables and outlines the walk is in
    bool m_showingUsed = false;
};

} // namespace

std::optional<ReadFilter> readFilterFromRaw(const QString& raw)
{
    if (raw == u"all")
        return ReadFilter::all;
    if (raw == u"interactive")
        return ReadFilter::interactive;
    if (raw == u"text")
        return ReadFilter::text;
    return std::nullopt;
}

QString compacted(const QString& text, int limit)
{
    QString plain = text;
    // Half of a surrogate pair, as an application may hand it over, would make the text invalid
    // UTF-16, which the expression below refuses to split at all: it stands as U+FFFD instead.
    for (qsizetype i = 0; i < plain.size(); ++i) {
        const QChar c = plain.at(i);
        if (c.isHighSurrogate() && i + 1 < plain.size() && plain.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            plain[i] = QChar::ReplacementCharacter;
    }
    plain.replace(QChar(0xFFFC), QLatin1Char(' ')).remove(QChar(0xFEFF));
    // Each run of ASCII white space (space, tab, line feed, vertical tab, form feed, carriage return)
    // becomes one space, and none is left at either end. A read cleans every element's text, so
    // this is one pass over the characters rather than an expression split.
    QString joined;
    joined.reserve(plain.size());
    bool gap = false;
    for (const QChar c : std::as_const(plain)) {
        const char16_t u = c.unicode();
        if (u == u' ' || (u >= u'\t' && u <= u'\r')) {
            gap = !joined.isEmpty();
            continue;
        }
        if (gap)
            joined += QLatin1Char(' ');
        gap = false;
        joined += c;
    }
    if (joined.size() <= limit)
        return joined;
    QString cut = joined.left(limit);
    if (!cut.isEmpty() && cut.back().isHighSurrogate())
        cut.chop(1);
    while (!cut.isEmpty() && cut.back().isSpace())
        cut.chop(1);
    return cut + QStringLiteral("…");
}

qint64 ElementRegistry::reserve(qint64 count)
{
    std::lock_guard lock(m_mutex);
    const qint64 base = m_nextIndex;
    m_nextIndex += count;
    return base;
}

void ElementRegistry::commit(std::vector<ElementRecord> records, QString applicationName)
{
    QHash<QString, ElementRecord> next;
    for (auto& r : records)
        next.insert(r.identifier, std::move(r));
    std::lock_guard lock(m_mutex);
    m_records = std::move(next);
    m_applicationName = std::move(applicationName);
}

Result<ElementRecord, ToolError> ElementRegistry::record(const QString& identifier) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_records.constFind(identifier);
    if (it != m_records.cend())
        return *it;
    const QString last = m_applicationName.isEmpty()
        ? QStringLiteral("Nie mam jeszcze odczytu ekranu.")
        : QStringLiteral("Ostatni odczyt dotyczył aplikacji ") + m_applicationName + QLatin1Char('.');
    return ToolError::invalidArguments(QStringLiteral("Nie znam elementu ") + identifier + QStringLiteral(". ") + last
                                       + QStringLiteral(" Identyfikatory pochodzą wyłącznie z ostatniego wywołania "
                                                        "read_screen i tracą ważność po kolejnym odczycie — wywołaj "
                                                        "read_screen i użyj świeżego identyfikatora."));
}

AccessibilityTree::AccessibilityTree(platform::AccessibilityDesktop& desktop, ElementRegistry& registry, qint64 ownPid,
                                     Clock clock, Pause pause)
    : m_desktop(desktop), m_registry(registry), m_ownPid(ownPid), m_clock(std::move(clock)), m_pause(std::move(pause))
{
}

QString AccessibilityTree::notPermittedText()
{
    return QStringLiteral(
        "Nie mam dostępu do drzewa dostępności pulpitu, więc nie widzę zawartości ekranu. Trzeba włączyć "
        "wspomaganie dostępności: w ustawieniach pulpitu (w GNOME: Ustawienia, Dostępność) albo poleceniem "
        "gsettings set org.gnome.desktop.interface toolkit-accessibility true, a jeśli brakuje usługi, "
        "zainstalować pakiet at-spi2-core (sudo apt install at-spi2-core). Potem uruchom ponownie Selvina "
        "Voice i aplikację, którą chcesz odczytać.");
}

std::optional<QString> AccessibilityTree::labelOf(const QString& role, const std::optional<QString>& title,
                                                  const std::optional<QString>& description,
                                                  const std::optional<QString>& placeholder, const AXValue& value)
{
    for (const auto* candidate : {&title, &description, &placeholder})
        if (const auto text = nonBlank(*candidate))
            return compacted(*text, kLabelLength);
    if (role == u"AXStaticText")
        if (const QString* s = std::get_if<QString>(&value); s && !s->trimmed().isEmpty())
            return compacted(*s, kLabelLength);
    return std::nullopt;
}

QString AccessibilityTree::summaryOf(const QString& role, const std::optional<QString>& subrole,
                                     const std::optional<QString>& label)
{
    QString summary;
    if (subrole && subroleNames().contains(*subrole))
        summary = subroleNames().value(*subrole);
    else if (roleNames().contains(role))
        summary = roleNames().value(role);
    else
        summary = (role.startsWith(u"AX") ? role.mid(2) : role).toLower();
    if (label && !label->isEmpty())
        summary += QStringLiteral(" „") + *label + QStringLiteral("”");
    return summary;
}

QString AccessibilityTree::silentText(const QString& applicationName)
{
    return QStringLiteral("Aplikacja ") + applicationName
        + QStringLiteral(" nie odpowiada — nie odczytałem jej okna i niczego w nim nie zmieniłem. Może być zajęta albo "
                         "zawieszona; spróbuj ponownie za chwilę, a jeśli dalej milczy, zostaje ścieżka wizyjna.");
}

Result<Snapshot, ToolError> AccessibilityTree::snapshotFrontmostWindow(ReadFilter filter)
{
    if (!m_desktop.isTrusted())
        return ToolError::notPermitted(notPermittedText());

    std::vector<platform::ForegroundCandidate> regular, others;
    QSet<qint64> seen;
    for (auto& c : m_desktop.candidates()) {
        if (c.pid == m_ownPid || seen.contains(c.pid))
            continue;
        seen.insert(c.pid);
        if (c.name.trimmed().isEmpty())
            c.name = QStringLiteral("aplikacja");
        (c.isRegular ? regular : others).push_back(c);
    }
    regular.insert(regular.end(), others.begin(), others.end());
    if (regular.empty())
        return Snapshot{QStringLiteral("Nie widzę aplikacji na pierwszym planie. Ekran może być pusty lub zablokowany."), 0};

    QStringList names;
    for (const auto& c : regular) {
        // The desktop has put an application that is still silent where it stands: in front when
        // it is the one in front, else behind every other.
        if (!c.responding)
            return Snapshot{silentText(c.name), 0};
        if (AXElementRef window = m_desktop.window(c))
            return snapshot(window, c, filter);
        names.append(c.name);
    }
    return Snapshot{QStringLiteral("Na pierwszym planie jest ") + names.join(QStringLiteral(", "))
                        + QStringLiteral(", ale bez otwartego okna albo bez drzewa dostępności. Jeśli trzeba poznać "
                                         "zawartość ekranu, zostaje ścieżka wizyjna."),
                    0};
}

Snapshot AccessibilityTree::snapshot(const AXElementRef& window, const QString& applicationName, ReadFilter filter)
{
    return snapshot(window, platform::ForegroundCandidate{0, applicationName, true, true}, filter);
}

Snapshot AccessibilityTree::snapshot(const AXElementRef& window, const platform::ForegroundCandidate& application,
                                     ReadFilter filter)
{
    const QString& applicationName = application.name;
    std::unique_ptr<TreeWalker> reading;
    std::optional<platform::AXAttributes> windowAttributes;
    // A page still loading may lack elements and names: it is read again a few times while its
    // application says so, and the listing says if it still does. A page met for the first time is
    // read again until two readings agree: a browser builds a new page's tree in steps, names and
    // on-screen marks coming after the elements, without always saying it is busy.
    std::optional<QStringList> previous;
    QString page;
    for (int attempt = 0;; ++attempt) {
        reading = std::make_unique<TreeWalker>(filter, m_clock() + kBudget, m_clock);
        windowAttributes.reset();
        const auto read = window->batch(reading->limits());
        if (read.ok()) {
            windowAttributes = read.value();
            reading->walkWindow(*windowAttributes);
        } else if (read.error().kind() == AXError::Kind::noResponse) {
            reading->silent = true;
        } else {
            reading->windowUnread = true;
        }
        const auto* address = reading->documentAttributes ? &reading->documentAttributes->url : nullptr;
        page = address && *address ? QString::number(application.pid) + QLatin1Char(' ') + **address : QString();
        QStringList listing;
        for (std::size_t i = 0; i < reading->contentCount; ++i)
            listing.append(QString(reading->drafts[i].indent, QLatin1Char(' ')) + reading->drafts[i].line);
        const bool unsettled = !page.isEmpty() && page != m_settledPage && previous != listing;
        previous = listing;
        if ((!reading->loading && !unsettled) || reading->silent || attempt >= kLoadingRereads)
            break;
        m_pause(kLoadingPause);
    }
    if (!reading->loading && !reading->silent && !page.isEmpty())
        m_settledPage = page;
    TreeWalker& walker = *reading;
    if (walker.silent && application.pid != 0)
        m_desktop.noteSilent(application.pid);
    // Nothing read: the identifiers of the last listing stay, so that an action on one of them
    // hears the same.
    if (walker.silent && walker.drafts.empty())
        return Snapshot{silentText(applicationName), 0};
    // An answer that was an error (a busy application answers its ping, not the question; a window
    // closing meanwhile) is not an empty window.
    if (walker.windowUnread)
        return Snapshot{QStringLiteral("Aplikacja ") + applicationName
                            + QStringLiteral(" nie podała zawartości swojego okna — była zajęta albo okno właśnie się "
                                             "zamknęło. Odczytaj ekran ponownie za chwilę."),
                        0};

    const qint64 base = m_registry.reserve(qint64(walker.drafts.size()));
    std::vector<ElementRecord> records;
    records.reserve(walker.drafts.size());
    for (std::size_t i = 0; i < walker.drafts.size(); ++i) {
        const Draft& d = walker.drafts[i];
        records.push_back({QStringLiteral("e%1").arg(base + qint64(i)), d.role, d.label, d.summary, d.element,
                           applicationName, application.pid});
    }
    const int count = int(records.size());
    const std::optional<QString> title = windowAttributes ? windowAttributes->title : std::nullopt;

    QString text = QStringLiteral("Aplikacja: ") + applicationName;
    if (title && !title->isEmpty())
        text += QStringLiteral(" · Okno: „") + compacted(*title, kValueLength) + QStringLiteral("”");
    if (walker.documentAttributes && walker.documentAttributes->url)
        text += QStringLiteral(" · Adres: ") + compacted(*walker.documentAttributes->url, kValueLength);
    for (std::size_t i = 0; i < walker.contentCount; ++i)
        if (const Draft& d = walker.drafts[i]; d.focused && d.role == u"AXCell") {
            text += QStringLiteral(" · Zaznaczona komórka: ") + d.label;
            break;
        }
    text += QLatin1Char('\n');
    if (records.empty()) {
        text += QLatin1Char('\n');
        switch (filter) {
        case ReadFilter::all:
            text += QStringLiteral("Okno nie udostępnia żadnych elementów dostępności.");
            break;
        case ReadFilter::interactive:
            text += QStringLiteral("W tym oknie nie ma elementów, na które da się zadziałać.");
            break;
        case ReadFilter::text:
            text += QStringLiteral("W tym oknie nie ma treści tekstowej.");
            break;
        }
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        text += QLatin1Char('\n');
        if (filter == ReadFilter::all)
            text += QString(walker.drafts[i].indent * 2, QLatin1Char(' '));
        text += QLatin1Char('[') + records[i].identifier + QStringLiteral("] ") + walker.drafts[i].line;
    }
    QStringList notes;
    if (walker.silent)
        notes.append(QStringLiteral("(Aplikacja ") + applicationName
                     + QStringLiteral(" przestała odpowiadać w trakcie odczytu — pokazuję tylko to, co zdążyła podać.)"));
    else if (walker.truncated && !records.empty())
        notes.append(QStringLiteral("(wynik skrócony — pokazuję %1 elementów. ").arg(count)
                     + QStringLiteral("Jeśli szukanego nie ma, zawęź odczyt filtrem albo zapytaj o konkretny fragment.)"));
    if (walker.loading && !walker.silent) {
        const bool page = walker.documentAttributes && walker.documentAttributes->role.value_or(QString()) == u"AXWebArea";
        notes.append((page ? QStringLiteral("(Strona") : QStringLiteral("(Dokument"))
                     + QStringLiteral(" wciąż się wczytuje — pokazuję to, co już jest; części elementów może brakować "
                                      "albo mogą nie mieć jeszcze nazw. Odczytaj ekran ponownie za chwilę.)"));
    }
    if (walker.beyondScreen && !walker.silent)
        notes.append(QStringLiteral("(Dalsza część listy albo dokumentu jest poza ekranem — przewiń, żeby odczytać resztę.)"));
    if (!notes.isEmpty())
        text += QStringLiteral("\n\n") + notes.join(QLatin1Char('\n'));
    m_registry.commit(std::move(records), applicationName);
    return Snapshot{text, count};
}

Status<ToolError> AccessibilityTree::verifyIdentity(const ElementRecord& record)
{
    const auto gone = [&] {
        return ToolError::failed(QStringLiteral("Element ") + record.identifier + QStringLiteral(" (") + record.summary
                                 + QStringLiteral(") już nie istnieje — okno się zmieniło. Odczytaj ekran ponownie."));
    };
    if (!record.element)
        return gone();
    const auto role = record.element->attribute(QStringLiteral("AXRole"));
    if (!role.ok() && role.error().kind() == AXError::Kind::noResponse)
        return ToolError::failed(silentText(record.application));
    if (!role.ok() && role.error().kind() == AXError::Kind::elementGone)
        return gone();
    const QString currentRole = role.ok() && std::holds_alternative<QString>(role.value())
        ? std::get<QString>(role.value())
        : QString();
    // The label from the very read the walk makes, so that both ask the same attributes of it.
    const auto now = record.element->batch({0, [] { return false; }, true});
    const std::optional<QString> label = now.ok()
        ? labelOf(currentRole, now.value().title, now.value().describedBy, now.value().placeholder, now.value().rawValue)
        : std::nullopt;
    if (currentRole == record.role && label.value_or(QString()) == record.label)
        return Ok{};
    return ToolError::failed(QStringLiteral("Element ") + record.identifier
                             + QStringLiteral(" nie jest już tym, czym był przy odczycie (") + record.summary
                             + QStringLiteral("). Odczytaj ekran ponownie i użyj świeżego identyfikatora."));
}

AccessibilityAccess::AccessibilityAccess(std::unique_ptr<platform::AccessibilityDesktop> desktop,
                                         ElementRegistry& registry, qint64 ownPid, AccessibilityTree::Pause pause)
    : m_desktop(std::move(desktop)), m_registry(registry),
      m_tree(pause ? std::make_unique<AccessibilityTree>(*m_desktop, m_registry, ownPid, AccessibilityTree::steadyNow, std::move(pause))
                   : std::make_unique<AccessibilityTree>(*m_desktop, m_registry, ownPid))
{
}

AccessibilityAccess::~AccessibilityAccess()
{
    // The backend is used on the worker only; it is released there, after the last job.
    m_worker.runAndWait([this] {
        m_tree.reset();
        m_desktop.reset();
    });
}

} // namespace selvina::tools
