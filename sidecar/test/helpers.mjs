// A real sidecar process with the fake agents first on PATH and a throw-away home.
import { spawn } from "node:child_process";
import { mkdirSync, mkdtempSync, readFileSync, writeFileSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import { createInterface } from "node:readline";

const here = dirname(fileURLToPath(import.meta.url));
export const entry = join(here, "..", "dist", "index.js");

export class Sidecar {
  constructor({ scenario = "ok", config, files = {}, env = {} } = {}) {
    this.home = mkdtempSync(join(tmpdir(), "selvina-sidecar-"));
    this.agentLog = join(this.home, "agent.log");
    const configDir = join(this.home, ".config", "selvina-voice");
    mkdirSync(configDir, { recursive: true });
    if (config) writeFileSync(join(configDir, "config.json"), JSON.stringify(config));
    for (const [name, content] of Object.entries(files)) writeFileSync(join(configDir, name), JSON.stringify(content));
    this.lines = [];
    this.waiters = [];
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
        FAKE_AGENT_LOG: this.agentLog,
        ANTHROPIC_API_KEY: "",
        ...env,
      },
    });
    this.stderr = "";
    this.child.stderr.on("data", (d) => (this.stderr += d));
    this.exited = new Promise((resolve) => this.child.on("exit", (code) => resolve(code)));
    createInterface({ input: this.child.stdout }).on("line", (line) => {
      this.lines.push(JSON.parse(line));
      for (const w of [...this.waiters]) w();
    });
  }

  send(message) {
    this.child.stdin.write(JSON.stringify(message) + "\n");
  }

  /** The first line (from the start) that matches, waiting up to timeoutMs. */
  waitFor(match, timeoutMs = 5000) {
    return new Promise((resolve, reject) => {
      const check = () => {
        const found = this.lines.find(match);
        if (!found) return false;
        this.waiters = this.waiters.filter((w) => w !== check);
        clearTimeout(timer);
        resolve(found);
        return true;
      };
      const timer = setTimeout(() => {
        this.waiters = this.waiters.filter((w) => w !== check);
        reject(new Error(`no matching line; got ${JSON.stringify(this.lines)}\n${this.stderr}`));
      }, timeoutMs);
      if (!check()) this.waiters.push(check);
    });
  }

  terminal(id, timeoutMs) {
    return this.waitFor((l) => l.id === id && (l.type === "finished" || l.type === "failed"), timeoutMs);
  }

  of(id, type) {
    return this.lines.filter((l) => l.id === id && (!type || l.type === type));
  }

  agentStarts() {
    if (!existsSync(this.agentLog)) return [];
    return readFileSync(this.agentLog, "utf8").trim().split("\n").map((l) => JSON.parse(l));
  }

  state() {
    return JSON.parse(readFileSync(join(this.home, "state", "selvina-voice", "sidecar-state.json"), "utf8"));
  }

  async close() {
    if (this.child.exitCode === null) this.child.stdin.end();
    return this.exited;
  }
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

/** Running, not merely a zombie waiting for a parent that does not reap. */
export function alive(pid) {
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, "utf8");
    return stat.slice(stat.lastIndexOf(")") + 2)[0] !== "Z";
  } catch {
    return false;
  }
}
