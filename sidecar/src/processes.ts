// Starting the agent CLIs in process groups of their own and ending them with all they started.
import { spawn, type ChildProcess, type SpawnOptions } from "node:child_process";
import { readdirSync, readFileSync } from "node:fs";

/** (pid, parent pid) of every process, from /proc. */
function processTable(): Array<[number, number]> {
  const table: Array<[number, number]> = [];
  let names: string[] = [];
  try {
    names = readdirSync("/proc");
  } catch {
    return table;
  }
  for (const name of names) {
    if (!/^\d+$/.test(name)) continue;
    try {
      const stat = readFileSync(`/proc/${name}/stat`, "utf8");
      // The command name may hold spaces and parentheses: the fields follow the last ')'.
      const fields = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
      table.push([Number(name), Number(fields[1])]);
    } catch {
      // gone meanwhile
    }
  }
  return table;
}

/** Every descendant of pid, deepest first. */
export function descendants(pid: number): number[] {
  const children = new Map<number, number[]>();
  for (const [child, parent] of processTable()) {
    const list = children.get(parent) ?? [];
    list.push(child);
    children.set(parent, list);
  }
  const out: number[] = [];
  const walk = (p: number, depth: number) => {
    if (depth > 1000) return;
    for (const c of children.get(p) ?? []) {
      walk(c, depth + 1);
      out.push(c);
    }
  };
  walk(pid, 0);
  return out;
}

function signal(pid: number, sig: NodeJS.Signals): void {
  try {
    process.kill(pid, sig);
  } catch {
    // already gone
  }
}

/** Starts a command in a process group of its own, without a shell. */
export function spawnAgent(command: string, args: string[], options: SpawnOptions): ChildProcess {
  return spawn(command, args, { ...options, detached: true });
}

export interface Termination {
  /** Resolves once the SIGKILL sweep has run (or was not needed). */
  done: Promise<void>;
}

/**
 * The soft signal to the group and to every descendant (some leave the group), then SIGKILL to
 * all of them after the grace period unless the child has exited by then.
 */
export function terminateTree(child: ChildProcess, soft: NodeJS.Signals, graceMs: number): Termination {
  const pid = child.pid;
  if (pid === undefined) return { done: Promise.resolve() };
  const known = descendants(pid);
  signal(-pid, soft);
  for (const p of known) signal(p, soft);
  const done = new Promise<void>((resolve) => {
    const timer = setTimeout(() => {
      const late = new Set([...known, ...descendants(pid)]);
      signal(-pid, "SIGKILL");
      for (const p of late) signal(p, "SIGKILL");
      signal(pid, "SIGKILL");
      resolve();
    }, graceMs);
    timer.unref();
    // Descendants that left the group may outlive the child: the sweep runs either way.
  });
  return { done };
}
