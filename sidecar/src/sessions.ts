// The agent sessions a new task may resume, kept in the sidecar's own state file.
import { mkdirSync, readFileSync, renameSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import type { EngineName } from "./config.js";

interface Entry {
  session: string;
  usedAt: number; // ms since the epoch
}

export class SessionStore {
  private entries: Partial<Record<EngineName, Entry>> = {};
  private inUse = new Map<string, number>();

  constructor(private readonly dir: string, private readonly hours: number) {
    try {
      const value: unknown = JSON.parse(readFileSync(this.file(), "utf8"));
      if (typeof value === "object" && value !== null) {
        for (const engine of ["claude", "codex"] as const) {
          const e = (value as Record<string, unknown>)[engine] as Entry | undefined;
          if (e && typeof e.session === "string" && typeof e.usedAt === "number") this.entries[engine] = e;
        }
      }
    } catch {
      // no state yet
    }
  }

  private file(): string {
    return join(this.dir, "sidecar-state.json");
  }

  /**
   * The session a new task of this engine continues, or undefined for a fresh one: never with
   * 0 hours, always with -1, else when it was used within the hours. A session another running
   * task holds is not shared.
   */
  resumable(engine: EngineName, now = Date.now()): string | undefined {
    const e = this.entries[engine];
    if (!e || this.hours === 0) return undefined;
    if (this.hours > 0 && now - e.usedAt > this.hours * 3_600_000) return undefined;
    if ((this.inUse.get(e.session) ?? 0) > 0) return undefined;
    return e.session;
  }

  hold(session: string | undefined): () => void {
    if (!session) return () => {};
    this.inUse.set(session, (this.inUse.get(session) ?? 0) + 1);
    let released = false;
    return () => {
      if (released) return;
      released = true;
      this.inUse.set(session, (this.inUse.get(session) ?? 1) - 1);
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

  private save(): void {
    try {
      mkdirSync(this.dir, { recursive: true, mode: 0o700 });
      const tmp = this.file() + ".tmp";
      writeFileSync(tmp, JSON.stringify(this.entries, null, 2) + "\n", { mode: 0o600 });
      renameSync(tmp, this.file());
    } catch {
      // memory is a convenience: a task never fails for it
    }
  }
}
