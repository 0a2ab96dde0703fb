// What a task needs of an engine adapter, and the pieces both adapters share.
import type { ChildProcess } from "node:child_process";
import { mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";
import { diag } from "../protocol.js";
import { terminateTree } from "../processes.js";

export interface AgentCallbacks {
  activity(text: string): void;
  progress(text: string): void;
  /** A permission request; answer() is called once, with the user's (the application's) verdict. */
  confirm(intent: string, answer: (approved: boolean) => void): void;
  session(id: string): void;
  finished(text: string): void;
  failed(error: string): void;
  /** The resumed session does not exist any more: the task starts a fresh one. */
  resumeFailed(): void;
  /** Any sign of life from the agent (for the task's inactivity limit). */
  alive(): void;
}

export interface AgentRun {
  /** Ends the agent and everything it started; resolves when the kill sweep has run. */
  stop(graceMs: number): Promise<void>;
}

export interface StartOptions {
  task: string;
  resume?: string;
  cwd: string;
  instructions: string;
}

export const limits = {
  afterResultMs: Number(process.env.SELVINA_AGENT_AFTER_RESULT_MS) || 10_000,
};

/** Reads JSON lines of a child's stdout (no length limit, LF only) and copies stderr to ours. */
export function readEvents(child: ChildProcess, tag: string, onEvent: (event: Record<string, unknown>) => void): void {
  if (child.stdout) {
    const lines = createInterface({ input: child.stdout, crlfDelay: Infinity });
    lines.on("line", (line) => {
      if (!line.trim()) return;
      let value: unknown;
      try {
        value = JSON.parse(line);
      } catch {
        diag(`${tag}: linia spoza JSON: ${line.slice(0, 200)}`);
        return;
      }
      if (typeof value === "object" && value !== null && !Array.isArray(value)) onEvent(value as Record<string, unknown>);
    });
  }
  if (child.stderr) {
    const errors = createInterface({ input: child.stderr, crlfDelay: Infinity });
    errors.on("line", (line) => {
      if (line.trim()) diag(`${tag}: ${line.slice(0, 2000)}`);
    });
  }
}

/** Once the agent has given its result it has a few seconds to exit before it is killed. */
export function stopAfterResult(child: ChildProcess, soft: NodeJS.Signals): void {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const timer = setTimeout(() => {
    if (child.exitCode === null && child.signalCode === null) void terminateTree(child, soft, 1000).done;
  }, limits.afterResultMs);
  timer.unref();
  child.once("exit", () => clearTimeout(timer));
}

export function stopper(child: ChildProcess, soft: NodeJS.Signals): AgentRun {
  return {
    stop: (graceMs) => terminateTree(child, soft, graceMs).done,
  };
}

/**
 * A folder only we can read, for what an agent run must not see on its command line (plug-in
 * secrets). It goes when the run ends, or with the sidecar at the latest.
 */
export class PrivateDir {
  private static readonly open = new Set<PrivateDir>();
  private static sweeping = false;
  readonly path: string;

  constructor() {
    this.path = mkdtempSync(join(tmpdir(), "selvina-agent-")); // mode 0700
    if (!PrivateDir.sweeping) process.once("exit", () => PrivateDir.open.forEach((d) => d.remove()));
    PrivateDir.sweeping = true;
    PrivateDir.open.add(this);
  }

  write(name: string, content: string): string {
    const file = join(this.path, name);
    writeFileSync(file, content, { mode: 0o600 });
    return file;
  }

  /** Removes the folder once the child has gone, whether it ran or failed to start. */
  removeWith(child: ChildProcess): void {
    child.once("exit", () => this.remove());
    child.once("error", () => {
      if (child.pid === undefined) this.remove();
    });
  }

  remove(): void {
    rmSync(this.path, { recursive: true, force: true });
    PrivateDir.open.delete(this);
  }
}

/** Makes the numbered environment files of the plug-in servers in a run's private folder. */
export function envFile(secrets: PrivateDir): (content: string) => string {
  let files = 0;
  return (content) => secrets.write(`srodowisko-${++files}.env`, content);
}

export function str(value: unknown): string | undefined {
  return typeof value === "string" && value.trim() ? value.trim() : undefined;
}

export function cut(text: string, max = 200): string {
  const flat = text.replace(/\s+/g, " ").trim();
  return flat.length > max ? flat.slice(0, max - 1) + "…" : flat;
}
