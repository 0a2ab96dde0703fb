// What the sidecar reads at start: the reasoning choices, the plug-ins, where to keep its state.
import { existsSync, readFileSync } from "node:fs";
import { homedir } from "node:os";
import { join } from "node:path";
import { mcpFile, objectAt, pluginsFile, readObject, stringArray } from "./plugins/files.js";
import { contained } from "./plugins/environment.js";
import { AGENT_ID, agentServer, installedPlugins } from "./plugins/installed.js";
import { diag } from "./protocol.js";

export type EngineName = "claude" | "codex";

export interface Settings {
  engine: "auto" | EngineName;
  claudeModel: string;
  claudeEffort: string;
  codexModel: string;
  codexEffort: string;
  /** Hours a new task resumes the previous agent session; 0 never, -1 always. */
  sessionHours: number;
}

/** An MCP server as Claude Code's --mcp-config takes it. */
export interface McpServer {
  type?: string;
  command?: string;
  args?: string[];
  env?: Record<string, string>;
  url?: string;
  headers?: Record<string, string>;
  /** Codex only: variables of the agent's environment the server gets as well. */
  envVars?: string[];
  [key: string]: unknown;
}

export interface Plugins {
  servers: Record<string, McpServer>;
  /** Per server, the tools switched off (known tools that are not among the enabled ones). */
  disabledTools: Record<string, string[]>;
}

const CLAUDE_EFFORTS = ["low", "medium", "high", "xhigh", "max"];
const CODEX_EFFORTS = ["minimal", "low", "medium", "high", "xhigh"];
const SESSION_HOURS = [0, 12, 24, 48, 72, 168, 336, -1];

export function home(): string {
  return process.env.HOME || homedir();
}

export function configDir(): string {
  return join(home(), ".config", "selvina-voice");
}

/** A sidecar running a task handed over by the other engine (see plugins/agent-server.ts). */
export const delegated = () => process.env.SELVINA_DELEGATED === "1";

export function stateDir(): string {
  const xdg = process.env.XDG_STATE_HOME;
  const base = xdg && xdg.startsWith("/") ? xdg : join(home(), ".local", "state");
  // Handed-over tasks keep their sessions apart from the user's own.
  return delegated() ? join(base, "selvina-voice", "oddane") : join(base, "selvina-voice");
}

/** A JSON object from a file; {} when it is missing, unreadable or not an object. */
export function readJsonObject(path: string): Record<string, unknown> {
  try {
    const value: unknown = JSON.parse(readFileSync(path, "utf8"));
    return typeof value === "object" && value !== null && !Array.isArray(value) ? (value as Record<string, unknown>) : {};
  } catch {
    return {};
  }
}

function pick(value: unknown, allowed: string[], fallback: string): string {
  return typeof value === "string" && allowed.includes(value) ? value : fallback;
}

export function loadSettings(dir = configDir()): Settings {
  const c = readJsonObject(join(dir, "config.json"));
  const forced = process.env.SELVINA_ENGINE;
  if (delegated() && (forced === "claude" || forced === "codex")) c.reasoning_engine = forced;
  const hours = typeof c.sesja_godziny === "number" && SESSION_HOURS.includes(c.sesja_godziny) ? c.sesja_godziny : 72;
  return {
    engine: pick(c.reasoning_engine, ["auto", "claude", "codex"], "auto") as Settings["engine"],
    claudeModel: typeof c.claude_model === "string" && c.claude_model.trim() ? c.claude_model.trim() : "claude-opus-5",
    claudeEffort: pick(c.claude_effort, CLAUDE_EFFORTS, "high"),
    codexModel: typeof c.codex_model === "string" ? c.codex_model.trim() : "",
    codexEffort: pick(c.codex_effort, CODEX_EFFORTS, "high"),
    sessionHours: hours,
  };
}

/**
 * The plug-ins a task gets: the installed ones, the engine-to-engine one (both engines logged in,
 * never inside a handed-over task) and the user's own servers of mcp.json, less those turned off
 * in plugins.json and those with every tool switched off. A plugins.json that is not an object
 * may have lost what the user turned off, so then no plug-in runs at all.
 */
export function loadPlugins(dir = configDir()): Plugins {
  const servers: Record<string, McpServer> = {};
  const disabledTools: Record<string, string[]> = {};
  const read = readObject(pluginsFile(dir));
  if (read.state === "broken") {
    diag("[wtyczki] plugins.json jest uszkodzony — nie uruchamiam żadnej wtyczki, dopóki nie zostanie poprawiony");
    return { servers, disabledTools };
  }
  const state = read.state === "object" ? read.value : {};
  const mcp = readObject(mcpFile(dir));
  if (mcp.state === "broken") diag("[wtyczki] mcp.json jest uszkodzony — pomijam wpisane w nim serwery");
  const declared: Record<string, unknown> = {};
  for (const plugin of installedPlugins()) if (plugin.server) declared[plugin.nazwa] = plugin.server;
  if (!delegated() && loggedIn("claude") && loggedIn("codex")) declared[AGENT_ID] = agentServer("codex");
  Object.assign(declared, mcp.state === "object" ? objectAt(mcp.value, "mcpServers") : {});

  const disabled = new Set(stringArray(state.disabled) ?? []);
  const tools = objectAt(state, "tools");
  const known = objectAt(state, "toolsKnown");
  for (const [name, server] of Object.entries(declared)) {
    if (typeof server !== "object" || server === null || Array.isArray(server) || disabled.has(name)) continue;
    const enabled = stringArray(tools[name]);
    if (enabled && enabled.length === 0) continue;
    servers[name] = server as McpServer;
    const all = stringArray(known[name]);
    if (enabled && all) {
      const off = all.filter((t) => !enabled.includes(t));
      if (off.length) disabledTools[name] = off;
    }
  }
  return { servers, disabledTools };
}

/**
 * The servers as one engine gets them. The engine-to-engine plug-in is our own: it hands tasks to
 * the other engine and so keeps the environment that engine logs in with (under Codex, which
 * passes a server only a few variables, named by envVars and never spelled out on a command
 * line). Every other stdio server is third-party code and starts with the allowed environment
 * only, from a private file that `write` makes.
 */
export function serversFor(plugins: Plugins, engine: EngineName, write: (content: string) => string): Record<string, McpServer> {
  const servers: Record<string, McpServer> = {};
  for (const [name, server] of Object.entries(plugins.servers)) {
    const ours = name === AGENT_ID && server.command === process.execPath && server.env?.SELVINA_DELEGATE_TO;
    if (!ours) {
      servers[name] = contained(name, server, write, diag);
      continue;
    }
    const to: EngineName = engine === "claude" ? "codex" : "claude";
    servers[name] = engine === "claude" ? agentServer(to) : { ...agentServer(to), envVars: Object.keys(process.env).filter((k) => /^[A-Za-z_][A-Za-z0-9_]*$/.test(k)) };
  }
  return servers;
}

/** The same login test as the application's: environment, then the credentials files. */
export function loggedIn(engine: EngineName): boolean {
  const env = process.env;
  if (engine === "claude") {
    if (env.ANTHROPIC_API_KEY !== undefined || env.CLAUDE_CODE_OAUTH_TOKEN !== undefined) return true;
    const dir = env.CLAUDE_CONFIG_DIR || join(home(), ".claude");
    return "claudeAiOauth" in readJsonObject(join(dir, ".credentials.json"));
  }
  if (env.CODEX_API_KEY !== undefined) return true;
  return existsSync(join(env.CODEX_HOME || join(home(), ".codex"), "auth.json"));
}

/** "auto" picks the engine that is logged in, Claude Code first. */
export function chooseEngine(settings: Settings): EngineName {
  if (settings.engine !== "auto") return settings.engine;
  if (loggedIn("claude")) return "claude";
  if (loggedIn("codex")) return "codex";
  return "claude";
}
