// The agent sessions a new task may resume, kept in the sidecar's own state file. A session that
// a running task holds is never resumed by another task at the same time: not in this sidecar,
// nor in another one running beside it (a sidecar replaced after a change of settings finishes
// its tasks while a new one takes the next), whose holds are files naming their holder's pid.
import { mkdirSync, readFileSync, renameSync, rmSync, writeFileSync } from "node:fs";
import { createHash } from "node:crypto";
import { join } from "node:path";
import type { EngineName } from "./config.js";
import { alive } from "./plugins/lock.js";

interface Entry {
  session: string;
  usedAt: number; // ms since the epoch
}

export class SessionStore {
  private entries: Partial<Record<EngineName, Entry>> = {};
  private inUse = new Map<string, number>();

  constructor(private readonly dir: string, private readonly hours: number) {
    this.load();
    process.once("exit", () => {
      for (const [session, count] of this.inUse) if (count > 0) this.unmark(session);
    });
  }

  private file(): string {
    return join(this.dir, "sidecar-state.json");
  }

  private marker(session: string): string {
    return join(this.dir, "sesje-zajete", createHash("sha256").update(session).digest("hex").slice(0, 32));
  }

  /** What the file says now: another sidecar may have remembered a newer session since. */
  private load(): void {
    try {
      const value: unknown = JSON.parse(readFileSync(this.file(), "utf8"));
      if (typeof value === "object" && value !== null) {
        const entries: Partial<Record<EngineName, Entry>> = {};
        for (const engine of ["claude", "codex"] as const) {
          const e = (value as Record<string, unknown>)[engine] as Entry | undefined;
          if (e && typeof e.session === "string" && typeof e.usedAt === "number") entries[engine] = e;
        }
        this.entries = entries;
      }
    } catch {
      // no state yet, or unreadable: what this sidecar knows stands
    }
  }

  /** Held by a task of another sidecar that still runs. */
  private heldElsewhere(session: string): boolean {
    let holder = 0;
    try {
      holder = Number(readFileSync(this.marker(session), "utf8").trim());
    } catch {
      return false;
    }
    return holder > 0 && holder !== process.pid && alive(holder);
  }

  /**
   * The session a new task of this engine continues, or undefined for a fresh one: never with
   * 0 hours, always with -1, else when it was used within the hours. A session another running
   * task holds is not shared.
   */
  resumable(engine: EngineName, now = Date.now()): string | undefined {
    this.load();
    const e = this.entries[engine];
    if (!e || this.hours === 0) return undefined;
    if (this.hours > 0 && now - e.usedAt > this.hours * 3_600_000) return undefined;
    if ((this.inUse.get(e.session) ?? 0) > 0 || this.heldElsewhere(e.session)) return undefined;
    return e.session;
  }

  /** Marks the session as in use until the returned release is called. */
  hold(session: string | undefined): () => void {
    if (!session) return () => {};
    const count = this.inUse.get(session) ?? 0;
    this.inUse.set(session, count + 1);
    if (count === 0) this.mark(session);
    let released = false;
    return () => {
      if (released) return;
      released = true;
      const left = (this.inUse.get(session) ?? 1) - 1;
      this.inUse.set(session, left);
      if (left === 0) this.unmark(session);
    };
  }

  remember(engine: EngineName, session: string, now = Date.now()): void {
    this.entries[engine] = { session, usedAt: now };
    this.save();
  }

  forget(engine: EngineName): void {
    delete this.entries[engine];
    this.save();
  }

  private mark(session: string): void {
    try {
      mkdirSync(join(this.dir, "sesje-zajete"), { recursive: true, mode: 0o700 });
      writeFileSync(this.marker(session), String(process.pid), { mode: 0o600 });
    } catch {
      // without the mark another sidecar may resume it too; a task never fails for it
    }
  }

  private unmark(session: string): void {
    try {
      if (Number(readFileSync(this.marker(session), "utf8").trim()) === process.pid) rmSync(this.marker(session), { force: true });
    } catch {
      // gone already
    }
  }

  private save(): void {
    try {
      mkdirSync(this.dir, { recursive: true, mode: 0o700 });
      // Two sidecars may save at once: each through a file of its own.
      const tmp = `${this.file()}.${process.pid}.tmp`;
      writeFileSync(tmp, JSON.stringify(this.entries, null, 2) + "\n", { mode: 0o600 });
      renameSync(tmp, this.file());
    } catch {
      // memory is a convenience: a task never fails for it
    }
  }
}
