// Starting the agent CLIs in process groups of their own and ending them with all they started.
import { spawn, type ChildProcess, type SpawnOptions } from "node:child_process";
import { readdirSync, readFileSync } from "node:fs";

/** A process as /proc shows it; pid and start time together name it even after its pid is reused. */
interface Proc {
  pid: number;
  ppid: number;
  start: string;
}

function processTable(): Proc[] {
  const table: Proc[] = [];
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
      // The command name may hold spaces and parentheses: the fields follow the last ')',
      // starting with the state (field 3); the start time is field 22.
      const fields = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
      table.push({ pid: Number(name), ppid: Number(fields[1]), start: fields[19] });
    } catch {
      // gone meanwhile
    }
  }
  return table;
}

/** Every descendant of the roots in the table, deepest first. */
function descendants(table: Proc[], roots: number[]): Proc[] {
  const children = new Map<number, Proc[]>();
  for (const p of table) {
    const list = children.get(p.ppid) ?? [];
    list.push(p);
    children.set(p.ppid, list);
  }
  const out: Proc[] = [];
  const seen = new Set<number>();
  const walk = (pid: number, depth: number) => {
    if (depth > 1000) return;
    for (const c of children.get(pid) ?? []) {
      if (seen.has(c.pid)) continue;
      seen.add(c.pid);
      walk(c.pid, depth + 1);
      out.push(c);
    }
  };
  for (const root of roots) walk(root, 0);
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

/** Node reaps a child and records its exit in one step: until then its pid (and group) stay ours. */
function reaped(child: ChildProcess): boolean {
  return child.exitCode !== null || child.signalCode !== null;
}

export interface Termination {
  /** Resolves once the SIGKILL sweep has run (or was not needed). */
  done: Promise<void>;
}

/**
 * The soft signal to the group and to every descendant (some leave the group), then SIGKILL to
 * all of them after the grace period. The child's pid and group are signalled only while the
 * child is unreaped; once it has gone its pid may belong to someone else, so the sweep reaches
 * the descendants it listed while the child lived, each checked by its start time, and what
 * those started since.
 */
export function terminateTree(child: ChildProcess, soft: NodeJS.Signals, graceMs: number): Termination {
  const pid = child.pid;
  if (pid === undefined || reaped(child)) return { done: Promise.resolve() };
  const known = new Map<number, string>();
  const learn = (procs: Proc[]) => procs.forEach((p) => known.set(p.pid, p.start));
  learn(descendants(processTable(), [pid]));
  signal(-pid, soft);
  for (const p of known.keys()) signal(p, soft);
  const done = new Promise<void>((resolve) => {
    const timer = setTimeout(() => {
      const table = processTable();
      if (!reaped(child)) {
        learn(descendants(table, [pid]));
        signal(-pid, "SIGKILL");
        signal(pid, "SIGKILL");
      }
      const same = table.filter((p) => known.get(p.pid) === p.start);
      for (const p of [...same, ...descendants(table, same.map((s) => s.pid))]) signal(p.pid, "SIGKILL");
      resolve();
    }, graceMs);
    timer.unref();
  });
  return { done };
}
