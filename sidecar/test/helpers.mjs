// A real sidecar process with the fake agents first on PATH and a throw-away home.
import { spawn, spawnSync } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import { createInterface } from "node:readline";

const here = dirname(fileURLToPath(import.meta.url));
export const entry = join(here, "..", "dist", "index.js");

export class Sidecar {
  static #running = new Set();

  /** Ends what a failed test left running, so that the runner reports instead of waiting. */
  static killAll() {
    for (const child of Sidecar.#running) child.kill("SIGTERM");
  }

  /** `home`: another sidecar's, shared (and left to it to remove). */
  constructor({ scenario = "ok", config, files = {}, env = {}, home } = {}) {
    this.ownsHome = !home;
    this.home = home ?? mkdtempSync(join(tmpdir(), "selvina-sidecar-"));
    const configDir = join(this.home, ".config", "selvina-voice");
    mkdirSync(configDir, { recursive: true });
    if (config) writeFileSync(join(configDir, "config.json"), JSON.stringify(config));
    for (const [name, content] of Object.entries(files)) writeFileSync(join(configDir, name), JSON.stringify(content));
    this.lines = [];
    this.child = spawn(process.execPath, [entry], {
      stdio: ["pipe", "pipe", "pipe"],
      env: {
        ...process.env,
        PATH: `${join(here, "fake-bin")}:${process.env.PATH}`,
        HOME: this.home,
        XDG_STATE_HOME: join(this.home, "state"),
        SELVINA_AGENT_DIR: this.home,
        SELVINA_SIDECAR_HEARTBEAT_MS: "150",
        SELVINA_AGENT_KILL_GRACE_MS: "300",
        SELVINA_AGENT_AFTER_RESULT_MS: "300",
        FAKE_AGENT_SCENARIO: scenario,
        FAKE_AGENT_LOG: join(this.home, "agent.log"),
        ANTHROPIC_API_KEY: "",
        ...env,
      },
    });
    this.stderr = "";
    this.child.stderr.on("data", (d) => (this.stderr += d));
    Sidecar.#running.add(this.child);
    this.exited = new Promise((resolve) => this.child.on("exit", (code) => (Sidecar.#running.delete(this.child), resolve(code))));
    createInterface({ input: this.child.stdout }).on("line", (line) => this.lines.push(JSON.parse(line)));
  }

  send(message) {
    this.child.stdin.write(JSON.stringify(message) + "\n");
  }

  /** Sends a task and resolves to its finished or failed line. */
  run(id, task = "x", timeoutMs) {
    this.send({ type: "run", id, task });
    return this.terminal(id, timeoutMs);
  }

  /** The first line (from the start) that matches, waiting up to timeoutMs. */
  async waitFor(match, timeoutMs = 5000) {
    await until(() => this.lines.some(match), "a matching line", timeoutMs).catch((e) => {
      throw new Error(`${e.message}; got ${JSON.stringify(this.lines)}\n${this.stderr}`);
    });
    return this.lines.find(match);
  }

  terminal(id, timeoutMs) {
    return this.waitFor((l) => l.id === id && (l.type === "finished" || l.type === "failed"), timeoutMs);
  }

  of(id, type) {
    return this.lines.filter((l) => l.id === id && (!type || l.type === type));
  }

  /** The whole JSON lines of a file in the agent's folder (the throw-away home): a fake agent may be
   *  writing the next one while it is read (the file made, its line not yet in it). */
  agentLines(name) {
    const file = join(this.home, name);
    if (!existsSync(file)) return [];
    const lines = readFileSync(file, "utf8").split("\n");
    lines.pop(); // what follows the last newline: nothing, or a line not yet finished
    return lines.map((l) => JSON.parse(l));
  }

  agentStarts() {
    return this.agentLines("agent.log");
  }

  /** Ends the sidecar as the application does (stdin closes) and removes the home; resolves to the exit code. */
  async close() {
    if (this.child.exitCode === null) this.child.stdin.end();
    const code = await this.exited;
    if (this.ownsHome) rmSync(this.home, { recursive: true, force: true });
    return code;
  }
}

/** Waits until check() holds, looking every 20 ms; fails after timeoutMs. */
export async function until(check, what = "condition", timeoutMs = 5000) {
  for (const end = Date.now() + timeoutMs; !check(); await new Promise((r) => setTimeout(r, 20)))
    if (Date.now() > end) throw new Error(`timed out waiting for: ${what}`);
}

/** The fields of /proc/PID/stat from the state on (field 3), or [] when there is no such process. */
function stat(pid) {
  try {
    const text = readFileSync(`/proc/${pid}/stat`, "utf8");
    return text.slice(text.lastIndexOf(")") + 2).split(" ");
  } catch {
    return [];
  }
}

/** Running, not merely a zombie waiting for a parent that does not reap. */
export const alive = (pid) => ![undefined, "Z"].includes(stat(pid)[0]);
/** The start time (field 22): with the pid it names one process, whatever later takes the pid. */
export const startTime = (pid) => stat(pid)[19];

/**
 * A sleeping group leader under the given free pid, or undefined. As root the next pid can be
 * chosen; a shell forks right after choosing it, before other processes of the machine do.
 */
export function occupyPid(pid) {
  const script = `for i in $(seq 50); do
    echo $(($1 - 1)) > /proc/sys/kernel/ns_last_pid || exit 1
    setsid sleep 60 >/dev/null 2>&1 & [ $! -eq $1 ] && echo $! && exit 0
    kill $!; done`;
  const out = spawnSync("/bin/sh", ["-c", script, "sh", String(pid)], { encoding: "utf8", stdio: ["ignore", "pipe", "ignore"] });
  return Number(out.stdout) === pid ? pid : undefined;
}
