// The engine-to-engine plug-in: an MCP server on stdio through which the active agent hands a
// whole task to the other engine. The task runs in a second sidecar of ours, limited to that
// engine, so it gets the same time limits, cancel and process-tree kill as any task of the
// application. A tool call may last only MCP_TOOL_TIMEOUT, so handing over and waiting are
// separate tools: each waits a little under that limit and then says the task goes on.
import { type ChildProcess, spawn } from "node:child_process";
import { dirname, join } from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";
import { McpServer } from "@modelcontextprotocol/sdk/server/mcp.js";
import { StdioServerTransport } from "@modelcontextprotocol/sdk/server/stdio.js";
import { z } from "zod";

const to = process.env.SELVINA_DELEGATE_TO === "claude" ? "claude" : "codex";
const engineName = to === "claude" ? "Claude Code" : "Codex";
const waitMs = Math.max(1000, (Number(process.env.MCP_TOOL_TIMEOUT) || 20_000) - 5000);
const sidecarEntry = join(dirname(fileURLToPath(import.meta.url)), "..", "index.js");

interface Delegation {
  done?: { ok: boolean; text: string };
  last?: string;
  wake: Array<() => void>;
}

const delegations = new Map<string, Delegation>();
let sidecar: ChildProcess | undefined;
let counter = 0;

function send(message: unknown): void {
  if (sidecar?.stdin?.writable) sidecar.stdin.write(JSON.stringify(message) + "\n");
}

function settle(id: string, ok: boolean, text: string): void {
  const d = delegations.get(id);
  if (!d || d.done) return;
  d.done = { ok, text };
  d.wake.splice(0).forEach((w) => w());
}

function startSidecar(): ChildProcess {
  const child = spawn(process.execPath, [sidecarEntry], {
    stdio: ["pipe", "pipe", "inherit"],
    env: { ...process.env, SELVINA_ENGINE: to, SELVINA_DELEGATED: "1" },
  });
  child.stdin!.on("error", () => {});
  createInterface({ input: child.stdout!, crlfDelay: Infinity }).on("line", (line) => {
    let m: Record<string, unknown>;
    try {
      m = JSON.parse(line) as Record<string, unknown>;
    } catch {
      return;
    }
    const id = String(m.id);
    const d = delegations.get(id);
    if (!d) return;
    if (m.type === "finished") settle(id, true, String(m.text ?? ""));
    else if (m.type === "failed") settle(id, false, String(m.error ?? ""));
    else if ((m.type === "activity" || m.type === "progress") && typeof m.text === "string") d.last = m.text;
  });
  child.on("exit", () => {
    sidecar = undefined;
    for (const id of delegations.keys()) settle(id, false, `${engineName} przestał działać w trakcie zadania.`);
  });
  return child;
}

type Answer = { content: Array<{ type: "text"; text: string }>; isError?: boolean };
const answer = (text: string, isError = false): Answer => ({ content: [{ type: "text", text }], ...(isError ? { isError } : {}) });

async function waitFor(id: string): Promise<Answer> {
  const d = delegations.get(id);
  if (!d) return answer(`Nie ma zadania o identyfikatorze ${id}.`, true);
  if (!d.done) {
    await new Promise<void>((resolve) => {
      const timer = setTimeout(resolve, waitMs);
      d.wake.push(() => {
        clearTimeout(timer);
        resolve();
      });
    });
  }
  if (!d.done) {
    const last = d.last ? ` Ostatnio: ${d.last}.` : "";
    return answer(`${engineName} nadal pracuje nad zadaniem ${id}.${last} Wywołaj czekaj_na_wynik z identyfikatorem ${id}, aby dalej czekać.`);
  }
  delegations.delete(id);
  return d.done.ok ? answer(d.done.text) : answer(`${engineName} nie wykonał zadania: ${d.done.text}`, true);
}

const server = new McpServer({ name: "selvina-agent", version: "1.0.0" });
server.registerTool(
  "oddaj_zadanie",
  {
    description: `Oddaje całe zadanie agentowi ${engineName} i czeka na jego wynik. Po to sięgaj dopiero, gdy własne próby zawiodły: płaci się za oba modele.`,
    inputSchema: { zadanie: z.string().min(1).describe("Pełny opis zadania, zrozumiały bez wcześniejszej rozmowy.") },
  },
  async ({ zadanie }) => {
    sidecar ??= startSidecar();
    const id = `oddane-${++counter}`;
    delegations.set(id, { wake: [] });
    send({ type: "run", id, task: zadanie });
    return waitFor(id);
  },
);
server.registerTool(
  "czekaj_na_wynik",
  {
    description: `Czeka dalej na wynik zadania oddanego agentowi ${engineName}.`,
    inputSchema: { id: z.string().describe("Identyfikator zadania z odpowiedzi oddaj_zadanie.") },
  },
  async ({ id }) => waitFor(id),
);
server.registerTool(
  "przerwij_zadanie",
  {
    description: `Przerywa zadanie oddane agentowi ${engineName}.`,
    inputSchema: { id: z.string().describe("Identyfikator zadania z odpowiedzi oddaj_zadanie.") },
  },
  async ({ id }) => {
    if (!delegations.has(id)) return answer(`Nie ma zadania o identyfikatorze ${id}.`, true);
    send({ type: "cancel", id });
    settle(id, false, "zadanie przerwano");
    delegations.delete(id);
    return answer(`Przerwałem zadanie ${id}.`);
  },
);

/** Our agent has gone: the second sidecar stops its tasks (and is killed if it lingers). */
function stop(): void {
  if (sidecar) {
    const child = sidecar;
    send({ type: "shutdown" });
    child.stdin?.end();
    setTimeout(() => child.kill("SIGKILL"), 1000).unref();
    child.once("exit", () => process.exit(0));
  } else process.exit(0);
}

const transport = new StdioServerTransport();
transport.onclose = stop;
process.stdin.on("end", stop);
process.on("SIGTERM", stop);
process.on("SIGINT", stop);
await server.connect(transport);
