// ProcessTree: the machine's processes as (pid, parent pid) pairs from /proc, a process's
// descendants, and ending them.
// Thread: any; terminateDescendants() sleeps, so it runs off the main thread.
#pragma once

#include <sys/types.h>

#include <vector>

namespace selvina::agent {

struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
};

namespace ProcessTree {

// Every process of the machine, in /proc order; empty when /proc cannot be read.
std::vector<ProcessEntry> snapshot();
// Depth first, every child after all of its own descendants; the root itself is not listed.
std::vector<pid_t> descendants(pid_t root, const std::vector<ProcessEntry>& table);
std::vector<pid_t> descendants(pid_t root);
// SIGTERM to each descendant, deepest first; when there were any, 400 ms later SIGKILL to those
// still there. Never signals the root. Returns how many it found.
int terminateDescendants(pid_t root);
bool exists(pid_t pid);

} // namespace ProcessTree

} // namespace selvina::agent
