// AccessibilityTree: reads the foreground window into a short Polish listing with an identifier per
// element; ElementRegistry keeps the elements of the last read for control_ui.
// Thread: the tree runs on the accessibility worker; the registry may be used from any thread.
#pragma once

#include "core/SerialWorker.h"
#include "platform/Accessibility.h"
#include "tools/SelvinaTool.h"

#include <QHash>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace selvina::tools {

enum class ReadFilter { all, interactive, text };
std::optional<ReadFilter> readFilterFromRaw(const QString& raw);

// Whitespace runs become single spaces and the stand-ins for embedded objects (U+FFFC) go; beyond
// `limit` characters the text is cut (never inside a surrogate pair), trimmed and "…" added.
QString compacted(const QString& text, int limit);

struct ElementRecord {
    QString identifier; // "e17"
    QString role;
    QString label;
    QString summary;
    platform::AXElementRef element;
    QString application; // the application read, and its process
    qint64 pid = 0;
};

// The process keeps one (the assembly in main() makes it), so identifiers keep counting for the whole run.
class ElementRegistry {
public:
    // Takes `count` consecutive numbers; returns the first.
    qint64 reserve(qint64 count);
    // Replaces the records of the previous read as a whole.
    void commit(std::vector<ElementRecord> records, QString applicationName);
    Result<ElementRecord, ToolError> record(const QString& identifier) const;

private:
    mutable std::mutex m_mutex;
    QHash<QString, ElementRecord> m_records;
    qint64 m_nextIndex = 1;
    QString m_applicationName;
};

struct Snapshot {
    QString text;
    int elementCount = 0;
};

class AccessibilityTree {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr int kMaxElements = 220;
    static constexpr int kMaxDepth = 29;
    static constexpr int kMaxChildren = 96;
    static constexpr auto kBudget = std::chrono::milliseconds(900);
    static constexpr int kLabelLength = 90;
    static constexpr int kValueLength = 180;

    // Waits on the worker (a document still loading is read again after it).
    using Pause = std::function<void(std::chrono::milliseconds)>;
    // A loading document is read again this many times at most, this long apart.
    static constexpr int kLoadingRereads = 6;
    static constexpr auto kLoadingPause = std::chrono::milliseconds(250);

    static std::chrono::steady_clock::time_point steadyNow() { return std::chrono::steady_clock::now(); }
    static void sleep(std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }

    AccessibilityTree(platform::AccessibilityDesktop& desktop, ElementRegistry& registry, qint64 ownPid,
                      Clock clock = steadyNow, Pause pause = sleep);

    Result<Snapshot, ToolError> snapshotFrontmostWindow(ReadFilter filter);
    Snapshot snapshot(const platform::AXElementRef& window, const QString& applicationName, ReadFilter filter);
    Snapshot snapshot(const platform::AXElementRef& window, const platform::ForegroundCandidate& application,
                      ReadFilter filter);

    static QString notPermittedText();
    // What control_ui and read_screen say of an application that did not answer in time.
    static QString silentText(const QString& applicationName);
    // Fails when the live element is gone or is no longer what was read.
    static Status<ToolError> verifyIdentity(const ElementRecord& record);
    // The label rule of the walk: title, description, placeholder, else a static text's value.
    static std::optional<QString> labelOf(const QString& role, const std::optional<QString>& title,
                                          const std::optional<QString>& description,
                                          const std::optional<QString>& placeholder, const platform::AXValue& value);
    static QString summaryOf(const QString& role, const std::optional<QString>& subrole, const std::optional<QString>& label);

private:
    platform::AccessibilityDesktop& m_desktop;
    ElementRegistry& m_registry;
    qint64 m_ownPid;
    Clock m_clock;
    Pause m_pause;
    QString m_settledPage; // the page (process and address) last read whole, once it stopped changing
};

// The accessibility worker and the tree that lives on it; shared by read_screen and control_ui so
// that a read and an action never interleave.
class AccessibilityAccess {
public:
    AccessibilityAccess(std::unique_ptr<platform::AccessibilityDesktop> desktop, ElementRegistry& registry,
                        qint64 ownPid, AccessibilityTree::Pause pause = {});
    ~AccessibilityAccess();
    SerialWorker& worker() { return m_worker; }
    AccessibilityTree& tree() { return *m_tree; }
    platform::AccessibilityDesktop& desktop() { return *m_desktop; }
    ElementRegistry& registry() { return m_registry; }

private:
    SerialWorker m_worker{QStringLiteral("selvina.accessibility")};
    std::unique_ptr<platform::AccessibilityDesktop> m_desktop;
    ElementRegistry& m_registry;
    std::unique_ptr<AccessibilityTree> m_tree;
};

} // namespace selvina::tools
