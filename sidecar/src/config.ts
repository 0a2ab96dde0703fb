// What the sidecar reads at start: the reasoning choices, the plug-ins, where to keep its state.
import { existsSync, readFileSync } from "node:fs";
import { homedir } from "node:os";
import { join } from "node:path";

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

export function stateDir(): string {
  const xdg = process.env.XDG_STATE_HOME;
  const base = xdg && xdg.startsWith("/") ? xdg : join(home(), ".local", "state");
  return join(base, "selvina-voice");
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

function stringArray(value: unknown): string[] | undefined {
  return Array.isArray(value) && value.every((v) => typeof v === "string") ? (value as string[]) : undefined;
}

/** The enabled MCP servers of mcp.json: not disabled in plugins.json and with at least one tool on. */
export function loadPlugins(dir = configDir()): Plugins {
  const mcp = readJsonObject(join(dir, "mcp.json"));
  const state = readJsonObject(join(dir, "plugins.json"));
  const disabled = new Set(stringArray(state.disabled) ?? []);
  const tools = (typeof state.tools === "object" && state.tools !== null ? state.tools : {}) as Record<string, unknown>;
  const known = (typeof state.toolsKnown === "object" && state.toolsKnown !== null ? state.toolsKnown : {}) as Record<
    string,
    unknown
  >;
  const declared = (typeof mcp.mcpServers === "object" && mcp.mcpServers !== null ? mcp.mcpServers : {}) as Record<
    string,
    unknown
  >;

  const servers: Record<string, McpServer> = {};
  const disabledTools: Record<string, string[]> = {};
  for (const [name, server] of Object.entries(declared)) {
    if (typeof server !== "object" || server === null || disabled.has(name)) continue;
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
