// ProcessTree: the machine's processes from /proc, a process's descendants, and ending recorded
// process trees without ever signalling a process that merely reuses a recorded pid.
// Thread: any; everything here reads /proc or sleeps, so the runtime calls it on a worker except
// when it is being destroyed (bounded there).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace selvina::agent {

struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    pid_t group = 0;
    std::uint64_t startTime = 0; // clock ticks after boot: with the pid, it names one process for good
    bool zombie = false;
};

namespace ProcessTree {

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// Every process of the machine, in /proc order; empty when /proc cannot be read. Past the
// deadline the table ends where the reading stopped.
std::vector<ProcessEntry> snapshot(Deadline deadline = std::nullopt);
// The process as it is now, a zombie included; none when there is no such pid.
std::optional<ProcessEntry> read(pid_t pid);
// Depth first, every child after all of its own descendants; the root itself is not listed.
std::vector<ProcessEntry> descendantEntries(pid_t root, const std::vector<ProcessEntry>& table);
std::vector<pid_t> descendants(pid_t root, const std::vector<ProcessEntry>& table);
// The root's descendants now (none when there is no root or it no longer runs), followed by those
// recorded earlier that still run and were not found again (a root that died leaves them to
// another parent).
std::vector<ProcessEntry> liveTrees(const std::optional<ProcessEntry>& root, const std::vector<ProcessEntry>& recorded,
                                    Deadline deadline = std::nullopt);
// The recorded process still runs: same pid, same start, not a zombie.
bool isStill(const ProcessEntry& recorded);
// The signal to the recorded process if it still runs, and to its process group if it led one of
// its own and that group cannot have been handed to another process since (its leader is the
// same or gone without trace). Our own process and group are never signalled.
void signalTree(const ProcessEntry& recorded, int signal);
// SIGTERM to each, then, once all have gone or the grace has passed (polling, on this thread),
// SIGKILL to those still there.
void endTrees(const std::vector<ProcessEntry>& trees, std::chrono::milliseconds grace);

} // namespace ProcessTree

} // namespace selvina::agent
