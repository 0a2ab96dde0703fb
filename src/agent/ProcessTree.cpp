#include "agent/ProcessTree.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <csignal>
#include <map>
#include <thread>

#include <unistd.h>

namespace selvina::agent::ProcessTree {

namespace {

// /proc/<pid>/stat: "pid (comm) state ppid pgrp … starttime …"; comm may hold spaces and
// parentheses, so the fields are read after the last ')'.
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
    constexpr qsizetype kStartTime = 19; // field 22 of the line, the 20th after the name
    if (fields.size() <= kStartTime)
        return std::nullopt;
    bool ok[4] = {};
    ProcessEntry entry;
    entry.pid = pid_t(pidText.toInt(&ok[0]));
    entry.parent = pid_t(fields.at(1).toInt(&ok[1]));
    entry.group = pid_t(fields.at(2).toInt(&ok[2]));
    entry.startTime = fields.at(kStartTime).toULongLong(&ok[3]);
    entry.zombie = fields.at(0) == "Z" || fields.at(0) == "X";
    if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }))
        return std::nullopt;
    return entry;
}

void walk(pid_t pid, const std::multimap<pid_t, const ProcessEntry*>& children, std::vector<ProcessEntry>& out,
          int depth)
{
    if (depth > 4096) // a table read while processes come and go can hold a loop
        return;
    auto [first, last] = children.equal_range(pid);
    for (auto it = first; it != last; ++it) {
        if (it->second->pid == pid)
            continue;
        walk(it->second->pid, children, out, depth + 1);
        out.push_back(*it->second);
    }
}

bool isSelf(pid_t pid)
{
    return pid <= 1 || pid == ::getpid();
}

} // namespace

std::vector<ProcessEntry> snapshot(Deadline deadline)
{
    std::vector<ProcessEntry> table;
    const QStringList names = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (name.isEmpty() || !name.at(0).isDigit())
            continue;
        if (deadline && std::chrono::steady_clock::now() > *deadline)
            break;
        if (auto entry = readStat(name))
            table.push_back(*entry);
    }
    return table;
}

std::optional<ProcessEntry> read(pid_t pid)
{
    return pid > 0 ? readStat(QString::number(pid)) : std::nullopt;
}

std::vector<ProcessEntry> descendantEntries(pid_t root, const std::vector<ProcessEntry>& table)
{
    std::multimap<pid_t, const ProcessEntry*> children; // equal keys keep insertion (table) order
    for (const ProcessEntry& e : table)
        children.emplace(e.parent, &e);
    std::vector<ProcessEntry> out;
    walk(root, children, out, 0);
    return out;
}

std::vector<pid_t> descendants(pid_t root, const std::vector<ProcessEntry>& table)
{
    std::vector<pid_t> out;
    for (const ProcessEntry& e : descendantEntries(root, table))
        out.push_back(e.pid);
    return out;
}

std::vector<ProcessEntry> liveTrees(const std::optional<ProcessEntry>& root, const std::vector<ProcessEntry>& recorded,
                                    Deadline deadline)
{
    std::vector<ProcessEntry> out;
    if (root && isStill(*root))
        out = descendantEntries(root->pid, snapshot(deadline));
    for (const ProcessEntry& e : recorded) {
        const bool listed = std::any_of(out.begin(), out.end(), [&e](const ProcessEntry& o) {
            return o.pid == e.pid && o.startTime == e.startTime;
        });
        if (!listed && isStill(e))
            out.push_back(e);
    }
    return out;
}

bool isStill(const ProcessEntry& recorded)
{
    const auto now = read(recorded.pid);
    return now && !now->zombie && now->startTime == recorded.startTime;
}

void signalTree(const ProcessEntry& recorded, int signal)
{
    if (isSelf(recorded.pid))
        return;
    const auto now = read(recorded.pid);
    const bool same = now && now->startTime == recorded.startTime;
    if (same && !now->zombie)
        ::kill(recorded.pid, signal);
    // A group id is not handed out again while any member (or its zombie leader) is left; once
    // the pid runs a different process, the group is not ours to signal.
    if (recorded.group == recorded.pid && recorded.group != ::getpgrp() && (!now || same))
        ::kill(-recorded.group, signal);
}

void endTrees(const std::vector<ProcessEntry>& trees, std::chrono::milliseconds grace)
{
    if (trees.empty())
        return;
    for (const ProcessEntry& e : trees)
        signalTree(e, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + grace;
    while (std::chrono::steady_clock::now() < end && std::any_of(trees.begin(), trees.end(), isStill))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (const ProcessEntry& e : trees)
        signalTree(e, SIGKILL);
}

} // namespace selvina::agent::ProcessTree
