// One changing operation at a time in the plug-ins folder, across processes.
import { readFileSync, rmSync, writeFileSync } from "node:fs";
import { join } from "node:path";

/** The process runs (or runs under another user). */
export function alive(pid: number): boolean {
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    return (error as NodeJS.ErrnoException).code === "EPERM";
  }
}

/** Takes the folder's lock (a file holding our pid; a dead holder's lock is taken over); undefined when busy. */
export function takeLock(dir: string): (() => void) | undefined {
  const file = join(dir, ".operacja.lock");
  for (let attempt = 0; attempt < 2; attempt++) {
    try {
      writeFileSync(file, String(process.pid), { flag: "wx", mode: 0o600 });
      const release = () => rmSync(file, { force: true });
      process.once("exit", release);
      return () => {
        process.removeListener("exit", release);
        release();
      };
    } catch (error) {
      if ((error as NodeJS.ErrnoException).code !== "EEXIST") throw error;
      let holder = 0;
      try {
        holder = Number(readFileSync(file, "utf8").trim());
      } catch {
        // removed meanwhile
      }
      if (holder > 0 && holder !== process.pid && alive(holder)) return undefined;
      rmSync(file, { force: true });
    }
  }
  return undefined;
}
