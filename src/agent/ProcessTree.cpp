#include "agent/ProcessTree.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <csignal>
#include <map>
#include <thread>

namespace selvina::agent::ProcessTree {

namespace {

// /proc/<pid>/stat: "pid (comm) state ppid …"; comm may hold spaces and parentheses, so the
// fields are read after the last ')'.
std::optional<ProcessEntry> readStat(const QString& pidText)
{
    QFile file(QStringLiteral("/proc/") + pidText + QStringLiteral("/stat"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray stat = file.read(4096);
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 2)
        return std::nullopt;
    bool okPid = false;
    bool okParent = false;
    ProcessEntry entry;
    entry.pid = pid_t(pidText.toInt(&okPid));
    entry.parent = pid_t(fields.at(1).toInt(&okParent));
    if (!okPid || !okParent)
        return std::nullopt;
    return entry;
}

void walk(pid_t pid, const std::multimap<pid_t, pid_t>& children, std::vector<pid_t>& out, int depth)
{
    if (depth > 4096) // a table read while processes come and go can hold a loop
        return;
    auto [first, last] = children.equal_range(pid);
    for (auto it = first; it != last; ++it) {
        if (it->second == pid)
            continue;
        walk(it->second, children, out, depth + 1);
        out.push_back(it->second);
    }
}

} // namespace

std::vector<ProcessEntry> snapshot()
{
    std::vector<ProcessEntry> table;
    const QStringList names = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (name.isEmpty() || !name.at(0).isDigit())
            continue;
        if (auto entry = readStat(name))
            table.push_back(*entry);
    }
    return table;
}

std::vector<pid_t> descendants(pid_t root, const std::vector<ProcessEntry>& table)
{
    std::multimap<pid_t, pid_t> children; // equal keys keep insertion (table) order
    for (const ProcessEntry& e : table)
        children.emplace(e.parent, e.pid);
    std::vector<pid_t> out;
    walk(root, children, out, 0);
    return out;
}

std::vector<pid_t> descendants(pid_t root)
{
    return descendants(root, snapshot());
}

bool exists(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) == 0;
}

int terminateDescendants(pid_t root)
{
    if (root <= 0)
        return 0;
    const std::vector<pid_t> found = descendants(root);
    for (pid_t pid : found)
        ::kill(pid, SIGTERM);
    if (found.empty())
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    for (pid_t pid : found)
        if (exists(pid))
            ::kill(pid, SIGKILL);
    return int(found.size());
}

} // namespace selvina::agent::ProcessTree
