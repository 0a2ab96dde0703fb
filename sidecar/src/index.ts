// The sidecar: reads run, confirm, cancel and shutdown lines on stdin and drives one agent CLI
// run per task, reporting on stdout in JSON lines.
import { createInterface } from "node:readline";
import { type EngineName, chooseEngine, home, loadPlugins, loadSettings, stateDir } from "./config.js";
import type { AgentCallbacks, AgentRun, StartOptions } from "./engines/common.js";
import { startClaude } from "./engines/claude.js";
import { startCodex } from "./engines/codex.js";
import { loginProblem } from "./login.js";
import { type Incoming, type LineWriter, decodeIncoming, diag, stdoutWriter } from "./protocol.js";
import { SessionStore } from "./sessions.js";

const env = process.env;
const HEARTBEAT_MS = Number(env.SELVINA_SIDECAR_HEARTBEAT_MS) || 10_000;
const INACTIVITY_MS = Number(env.SELVINA_AGENT_INACTIVITY_MS) || 10 * 60_000;
const WALL_MS = Number(env.SELVINA_AGENT_WALL_MS) || 30 * 60_000;
const KILL_GRACE_MS = Number(env.SELVINA_AGENT_KILL_GRACE_MS) || 3_000;
const EXIT_GRACE_MS = 300; // the application kills the whole tree 0.5 s after shutdown

export const INSTRUCTIONS = [
  "Twoją odpowiedź asystent głosowy odczyta na głos niewidomemu użytkownikowi, który nie widzi ekranu ani Twojej pracy.",
  "Odpowiadaj po polsku, krótko i konkretnie: najpierw wynik, potem tylko to, co naprawdę potrzebne.",
  "Nie używaj Markdownu, tabel, list punktowanych ani emoji — nie da się ich wygodnie słuchać.",
  "Fragmenty, które trzeba przeczytać słowo w słowo (treść wiadomości, cytat, polecenie, adres, numer, kod), umieść między znacznikami [[CYTAT]] i [[/CYTAT]].",
  "Nie zadawaj pytań: użytkownik nie może Ci odpowiedzieć w trakcie zadania. Gdy czegoś nie da się zrobić, powiedz krótko dlaczego i co można zrobić zamiast tego.",
].join("\n");

const CLOSING = "Warstwa namysłu właśnie się zamyka, więc zadanie nie zostało rozpoczęte. Spróbuj ponownie za chwilę.";
const DUPLICATE = "Warstwa namysłu dostała drugie zadanie o tym samym identyfikatorze i przerwała oba. Zleć zadanie ponownie.";

const settings = loadSettings();
const plugins = loadPlugins();
const sessions = new SessionStore(stateDir(), settings.sessionHours);
const agentDir = env.SELVINA_AGENT_DIR || home();
const write: LineWriter = stdoutWriter();

class Task {
  private done = false;
  private run?: AgentRun;
  // The sessions this task uses (the one it resumed, the one its agent reports), so that no other
  // task resumes them while it runs.
  private sessionHolds: Array<() => void> = [];
  private readonly heartbeat: NodeJS.Timeout;
  private readonly wall: NodeJS.Timeout;
  private inactivity?: NodeJS.Timeout;
  private readonly confirmations: Array<{ intent: string; answer: (approved: boolean) => void }> = [];
  private asking = false;
  private lastNote = "";

  constructor(readonly id: string, private readonly text: string, private readonly onEnd: (task: Task) => void) {
    this.heartbeat = setInterval(() => write({ type: "heartbeat", id }), HEARTBEAT_MS);
    this.wall = setTimeout(
      () => this.abort(`Zadanie trwało ponad ${Math.round(WALL_MS / 60_000)} minut i zostało przerwane.`),
      WALL_MS,
    );
    this.touch();
  }

  async start(): Promise<void> {
    const engine = chooseEngine(settings);
    this.note("activity", engine === "claude" ? "Uruchamiam Claude Code" : "Uruchamiam Codex CLI");
    const problem = await loginProblem(engine);
    if (this.done) return;
    if (problem) return this.fail(problem);
    this.launch(engine, sessions.resumable(engine));
  }

  private launch(engine: EngineName, resume: string | undefined): void {
    this.releaseSessions();
    this.sessionHolds.push(sessions.hold(resume));
    const options: StartOptions = { task: this.text, resume, cwd: agentDir, instructions: INSTRUCTIONS };
    const callbacks: AgentCallbacks = {
      activity: (text) => this.note("activity", text),
      progress: (text) => this.note("progress", text),
      confirm: (intent, answer) => {
        this.confirmations.push({ intent, answer });
        this.askNext();
      },
      session: (session) => {
        sessions.remember(engine, session);
        if (!this.done) this.sessionHolds.push(sessions.hold(session));
      },
      finished: (text) => this.finish(text),
      failed: (error) => this.fail(error),
      resumeFailed: () => {
        if (this.done) return;
        diag(`${this.id}: sesja ${resume} nie istnieje — zaczynam nową`);
        sessions.forget(engine);
        this.launch(engine, undefined);
      },
      alive: () => this.touch(),
    };
    this.run = engine === "claude" ? startClaude(settings, plugins, options, callbacks) : startCodex(settings, plugins, options, callbacks);
  }

  private releaseSessions(): void {
    for (const release of this.sessionHolds.splice(0)) release();
  }

  /** A note repeated at once (retries, reconnects) is said once. */
  private note(type: "activity" | "progress", text: string): void {
    if (this.done || text === this.lastNote) return;
    this.lastNote = text;
    write({ type, id: this.id, text });
  }

  /** Claude may ask several permissions at once; the application answers one at a time. */
  private askNext(): void {
    if (this.done || this.asking || this.confirmations.length === 0) return;
    this.asking = true;
    write({ type: "confirm_required", id: this.id, intent: this.confirmations[0].intent });
  }

  confirm(approved: boolean): void {
    const head = this.confirmations.shift();
    if (!head) return;
    this.asking = false;
    head.answer(approved);
    this.askNext();
  }

  private touch(): void {
    if (this.inactivity) clearTimeout(this.inactivity);
    this.inactivity = setTimeout(
      () => this.abort(`Agent nie dał znaku życia przez ${Math.round(INACTIVITY_MS / 60_000)} minut — przerwałem zadanie.`),
      INACTIVITY_MS,
    );
  }

  private finish(text: string): void {
    if (this.end()) write({ type: "finished", id: this.id, text });
  }

  private fail(error: string): void {
    if (this.end()) write({ type: "failed", id: this.id, error });
  }

  private abort(error: string): void {
    this.fail(error);
    void this.run?.stop(KILL_GRACE_MS);
  }

  /** Cancelled by the application: nothing more is said about this task. */
  cancel(graceMs = KILL_GRACE_MS): Promise<void> {
    this.end();
    return this.run?.stop(graceMs) ?? Promise.resolve();
  }

  private end(): boolean {
    if (this.done) return false;
    this.done = true;
    clearInterval(this.heartbeat);
    clearTimeout(this.wall);
    if (this.inactivity) clearTimeout(this.inactivity);
    this.releaseSessions();
    this.onEnd(this);
    return true;
  }
}

const tasks = new Map<string, Task>();
let stopping = false;

function handle(message: Incoming): void {
  switch (message.type) {
    case "run": {
      // A run that is not started is still answered, so that nobody waits for it. A second run
      // under a live task's id would get that task's lines as its own: both are stopped, and the
      // id gets its one failed line.
      if (stopping) return write({ type: "failed", id: message.id, error: CLOSING });
      const twin = tasks.get(message.id);
      if (twin) {
        diag(`${message.id}: drugie zadanie o tym samym identyfikatorze — przerywam oba`);
        void twin.cancel();
        return write({ type: "failed", id: message.id, error: DUPLICATE });
      }
      const task = new Task(message.id, message.task, (t) => tasks.delete(t.id));
      tasks.set(message.id, task);
      task.start().catch((error: unknown) => {
        diag(`${message.id}: ${String(error)}`);
        write({ type: "failed", id: message.id, error: "Wewnętrzny błąd warstwy namysłu." });
        void task.cancel();
      });
      return;
    }
    case "confirm":
      tasks.get(message.id)?.confirm(message.approved);
      return;
    case "cancel":
      void tasks.get(message.id)?.cancel();
      return;
    case "shutdown":
      stopAll();
      return;
  }
}

function stopAll(): void {
  if (stopping) return;
  stopping = true;
  const all = [...tasks.values()];
  for (const task of all) void task.cancel(EXIT_GRACE_MS - 50);
  // The agents' kill sweep runs just before we leave; the application's tree kill follows.
  setTimeout(() => process.exit(0), EXIT_GRACE_MS + 50);
}

const input = createInterface({ input: process.stdin, crlfDelay: Infinity });
input.on("line", (line) => {
  if (!line.trim()) return;
  const message = decodeIncoming(line);
  if (message) handle(message);
  else diag(`nieznana wiadomość: ${line.slice(0, 200)}`);
});
input.on("close", stopAll);
process.on("SIGTERM", stopAll);
process.stdout.on("error", stopAll); // the application has gone
diag(`gotowy, silnik ${settings.engine}, wtyczek ${Object.keys(plugins.servers).length}`);
