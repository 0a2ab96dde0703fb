// Starts a plug-in's MCP server, asks it for its tools and stops it with all it started.
import type { ChildProcess } from "node:child_process";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { deserializeMessage, serializeMessage } from "@modelcontextprotocol/sdk/shared/stdio.js";
import type { Transport } from "@modelcontextprotocol/sdk/shared/transport.js";
import type { JSONRPCMessage } from "@modelcontextprotocol/sdk/types.js";
import type { McpServer } from "../config.js";
import { spawnAgent, terminateTree } from "../processes.js";
import { diag } from "../protocol.js";
import { pluginEnvironment } from "./environment.js";

export interface Tool {
  nazwa: string;
  opis: string;
}

export type Listing = { ok: true; tools: Tool[] } | { ok: false; komunikat: string };

export const toolsTimeoutMs = () => Number(process.env.SELVINA_PLUGIN_TOOLS_TIMEOUT_MS) || 30_000;

type Trouble = "exit" | "garbage" | "start";

/** The server's stdio as an MCP transport; the child runs in a process group of its own. */
class ChildTransport implements Transport {
  onclose?: () => void;
  onerror?: (error: Error) => void;
  onmessage?: (message: JSONRPCMessage) => void;
  child?: ChildProcess;
  private pending = "";

  constructor(private readonly server: McpServer, private readonly name: string, private readonly trouble: (kind: Trouble) => void) {}

  async start(): Promise<void> {
    const child = spawnAgent(this.server.command!, this.server.args ?? [], {
      stdio: ["pipe", "pipe", "pipe"],
      env: pluginEnvironment(this.server.env ?? {}),
      cwd: typeof this.server.cwd === "string" ? this.server.cwd : undefined,
    });
    this.child = child;
    child.on("error", (error) => {
      diag(`wtyczka ${this.name}: ${error.message}`);
      this.trouble("start");
    });
    child.on("exit", () => {
      this.trouble("exit");
      this.onclose?.();
    });
    child.stdin!.on("error", () => {}); // a server gone early closes the pipe; its exit reports it
    child.stderr!.on("data", (d: Buffer) => {
      for (const line of d.toString("utf8").split("\n")) if (line.trim()) diag(`wtyczka ${this.name}: ${line.slice(0, 500)}`);
    });
    child.stdout!.on("data", (d: Buffer) => {
      this.pending += d.toString("utf8");
      let end: number;
      while ((end = this.pending.indexOf("\n")) >= 0) {
        const line = this.pending.slice(0, end).replace(/\r$/, "");
        this.pending = this.pending.slice(end + 1);
        if (!line.trim()) continue;
        let message: JSONRPCMessage;
        try {
          message = deserializeMessage(line);
        } catch {
          diag(`wtyczka ${this.name}: linia spoza protokołu: ${line.slice(0, 200)}`);
          this.trouble("garbage");
          return;
        }
        this.onmessage?.(message);
      }
    });
  }

  async send(message: JSONRPCMessage): Promise<void> {
    const stdin = this.child?.stdin;
    if (stdin && stdin.writable) stdin.write(serializeMessage(message));
  }

  async close(): Promise<void> {
    if (this.child) await terminateTree(this.child, "SIGTERM", 1000).done;
  }
}

/** Every tool of a stdio MCP server, within the time limit; the server is stopped either way. */
export async function listTools(name: string, server: McpServer, timeoutMs = toolsTimeoutMs()): Promise<Listing> {
  if (!server.command) return { ok: false, komunikat: `Wtyczka ${name} działa przez sieć; jej narzędzi nie sprawdzam.` };
  let troubled: (kind: Trouble | "timeout") => void = () => {};
  const trouble = new Promise<Trouble | "timeout">((resolve) => (troubled = resolve));
  const transport = new ChildTransport(server, name, (kind) => troubled(kind));
  const timer = setTimeout(() => troubled("timeout"), timeoutMs);
  const client = new Client({ name: "selvina-voice", version: "1.0.0" });
  const work = (async () => {
    await client.connect(transport, { timeout: timeoutMs });
    const tools: Tool[] = [];
    let cursor: string | undefined;
    do {
      const page = await client.listTools(cursor ? { cursor } : {}, { timeout: timeoutMs });
      for (const t of page.tools) tools.push({ nazwa: t.name, opis: t.description ?? "" });
      cursor = page.nextCursor;
    } while (cursor && tools.length < 10_000);
    return tools;
  })();
  work.catch(() => {}); // the outcome below says what happened
  try {
    const outcome = await Promise.race([work.then((tools) => ({ tools })), trouble.then((kind) => ({ kind }))]).catch(
      (error: Error) => {
        diag(`wtyczka ${name}: ${error.message}`);
        return { kind: "exit" as const };
      },
    );
    if ("tools" in outcome) return { ok: true, tools: outcome.tools };
    switch (outcome.kind) {
      case "timeout":
        return { ok: false, komunikat: `Wtyczka ${name} nie podała listy narzędzi w ciągu ${Math.round(timeoutMs / 1000)} s.` };
      case "garbage":
        return { ok: false, komunikat: `Wtyczka ${name} wypisuje na standardowe wyjście coś, co nie jest protokołem MCP.` };
      case "start":
        return { ok: false, komunikat: `Nie udało się uruchomić wtyczki ${name}.` };
      default:
        return { ok: false, komunikat: `Wtyczka ${name} zakończyła pracę, zanim podała listę narzędzi.` };
    }
  } finally {
    clearTimeout(timer);
    await transport.close();
  }
}
