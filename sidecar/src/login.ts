// A quick login check before a task, so that a missing login fails in a second instead of
// after minutes of the agent's own retries.
import { spawn } from "node:child_process";
import type { EngineName } from "./config.js";
import { CLAUDE_MISSING } from "./engines/claude.js";
import { CODEX_MISSING } from "./engines/codex.js";

const NOT_LOGGED_IN: Record<EngineName, string> = {
  claude: "Claude Code nie jest zalogowany. Wykonaj w terminalu polecenie claude i zaloguj się.",
  codex: "Codex nie jest zalogowany. Wykonaj w terminalu polecenie codex login.",
};
const CACHE_MS = 5 * 60_000;
const confirmedAt = new Map<EngineName, number>();

interface Outcome {
  code: number | null;
  stdout: string;
  stderr: string;
  missing: boolean;
}

function run(command: string, args: string[], timeoutMs: number): Promise<Outcome> {
  return new Promise((resolve) => {
    const child = spawn(command, args, { stdio: ["ignore", "pipe", "pipe"] });
    let stdout = "";
    let stderr = "";
    child.stdout.on("data", (d) => (stdout += d));
    child.stderr.on("data", (d) => (stderr += d));
    const timer = setTimeout(() => child.kill("SIGKILL"), timeoutMs);
    child.on("error", (error: NodeJS.ErrnoException) => {
      clearTimeout(timer);
      resolve({ code: null, stdout, stderr, missing: error.code === "ENOENT" });
    });
    child.on("close", (code) => {
      clearTimeout(timer);
      resolve({ code, stdout, stderr, missing: false });
    });
  });
}

/** A Polish reason the engine cannot run, or undefined when it can (or the check cannot tell). */
export async function loginProblem(engine: EngineName): Promise<string | undefined> {
  // An API key in the environment is enough for a run, whatever the stored login says.
  if (engine === "codex" && process.env.CODEX_API_KEY) return undefined;
  const at = confirmedAt.get(engine);
  if (at !== undefined && Date.now() - at < CACHE_MS) return undefined;
  const outcome =
    engine === "claude" ? await run("claude", ["auth", "status"], 10_000) : await run("codex", ["login", "status"], 10_000);
  if (outcome.missing) return engine === "claude" ? CLAUDE_MISSING : CODEX_MISSING;
  if (outcome.code === 0) {
    confirmedAt.set(engine, Date.now());
    return undefined;
  }
  if (engine === "claude") {
    // Only a clear "not logged in" stops the task: an older CLI without this command still runs.
    try {
      return (JSON.parse(outcome.stdout) as { loggedIn?: unknown }).loggedIn === false ? NOT_LOGGED_IN.claude : undefined;
    } catch {
      return undefined;
    }
  }
  return /not logged in/i.test(outcome.stderr + outcome.stdout) ? NOT_LOGGED_IN.codex : undefined;
}
