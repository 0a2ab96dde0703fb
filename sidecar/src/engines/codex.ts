// Codex CLI in its non-interactive JSON mode. It asks no permission there (its approval policy
// is fixed to never), so every step runs; stdin must be closed or it waits for more input.
import { type McpServer, type Plugins, type Settings, serversFor } from "../config.js";
import { spawnAgent } from "../processes.js";
import { WITH_ENV, shellQuote } from "../plugins/environment.js";
import { diag } from "../protocol.js";
import { type AgentCallbacks, type AgentRun, type StartOptions, PrivateDir, cut, envFile, readEvents, stopAfterResult, stopper, str } from "./common.js";

export const CODEX_MISSING = "Nie znaleziono polecenia codex. Zainstaluj Codex CLI poleceniem npm install -g @openai/codex.";

/** A TOML value for -c key=value: JSON strings and arrays are valid TOML; objects become inline tables. */
export function toml(value: unknown): string {
  if (value !== null && typeof value === "object" && !Array.isArray(value)) {
    const parts = Object.entries(value as Record<string, unknown>).map(([k, v]) => `${JSON.stringify(k)} = ${toml(v)}`);
    return `{ ${parts.join(", ")} }`;
  }
  if (Array.isArray(value)) return `[${value.map(toml).join(", ")}]`;
  return JSON.stringify(value);
}

/** Server names are TOML bare keys only when they are plain; others are quoted. */
function key(name: string): string {
  return /^[A-Za-z0-9_-]+$/.test(name) ? name : JSON.stringify(name);
}

/** The plug-ins as Codex takes them: -c settings, and the secrets they refer to for the child's environment. */
export interface McpHandover {
  args: string[];
  env: Record<string, string>;
}

/**
 * Codex reads plug-in settings only from its own config or from -c, and argv is readable by every
 * local user. So a stdio server's environment goes in a 0600 file that a shell wrapper sources
 * before it executes the server, and an HTTP server's headers go in the agent's own environment,
 * named by env_http_headers (bearer_token_env_var for a bearer token), which Codex reads there.
 */
export function mcpHandover(plugins: Plugins, toolTimeoutSec: number, secrets: PrivateDir): McpHandover {
  const args: string[] = [];
  const env: Record<string, string> = {};
  const set = (server: string, field: string, value: unknown) => args.push("-c", `mcp_servers.${key(server)}.${field}=${toml(value)}`);
  const secret = (value: string) => {
    const name = `SELVINA_MCP_TOKEN_${Object.keys(env).length + 1}`;
    env[name] = value;
    return name;
  };
  let files = 0;
  for (const [name, server] of Object.entries(serversFor(plugins, "codex", envFile(secrets))) as Array<[string, McpServer]>) {
    if (server.url) {
      set(name, "url", server.url);
      const fromEnv: Record<string, string> = {};
      for (const [header, value] of Object.entries(server.headers ?? {})) {
        if (typeof value !== "string") continue;
        const bearer = /^authorization$/i.test(header) ? /^Bearer\s+(\S.*)$/i.exec(value) : null;
        if (bearer) set(name, "bearer_token_env_var", secret(bearer[1]));
        else fromEnv[header] = secret(value);
      }
      if (Object.keys(fromEnv).length) set(name, "env_http_headers", fromEnv);
    } else if (server.command) {
      const lines = Object.entries(server.env ?? {}).flatMap(([variable, value]) => {
        if (/^[A-Za-z_][A-Za-z0-9_]*$/.test(variable) && typeof value === "string") return [`export ${variable}=${shellQuote(value)}`];
        diag(`wtyczka ${name}: pomijam zmienną środowiska o nazwie ${JSON.stringify(variable)}`);
        return [];
      });
      if (lines.length) {
        const file = secrets.write(`${++files}.env`, lines.join("\n") + "\n");
        set(name, "command", "/bin/sh");
        set(name, "args", ["-c", WITH_ENV, "selvina-mcp", file, server.command, ...(server.args ?? [])]);
      } else {
        set(name, "command", server.command);
        if (server.args?.length) set(name, "args", server.args);
      }
    } else {
      continue;
    }
    if (server.envVars?.length) set(name, "env_vars", server.envVars);
    set(name, "tool_timeout_sec", toolTimeoutSec);
    // Unapproved plug-in calls are cancelled outright in exec mode.
    set(name, "default_tools_approval_mode", "approve");
    const off = plugins.disabledTools[name];
    if (off?.length) set(name, "disabled_tools", off);
  }
  return { args, env };
}

export function describeItem(item: Record<string, unknown>): string | undefined {
  switch (item.type) {
    case "command_execution":
      return `Uruchamiam polecenie: ${cut(str(item.command) ?? "")}`;
    case "mcp_tool_call":
      return `Wtyczka ${str(item.server) ?? "?"}: ${str(item.tool) ?? "?"}`;
    case "web_search":
      return `Szukam w internecie: ${cut(str(item.query) ?? "")}`;
    case "file_change": {
      const changes = Array.isArray(item.changes) ? (item.changes as Array<Record<string, unknown>>) : [];
      const paths = changes.map((c) => str(c.path)).filter(Boolean).join(", ");
      return `Zmieniam pliki: ${cut(paths)}`;
    }
    default:
      return undefined;
  }
}

export function startCodex(settings: Settings, plugins: Plugins, options: StartOptions, cb: AgentCallbacks): AgentRun {
  const toolTimeoutSec = Math.max(1, Math.round((Number(process.env.MCP_TOOL_TIMEOUT) || 20_000) / 1000));
  const args = ["exec", "--json", "--skip-git-repo-check", "--color", "never", "-C", options.cwd, "-s", "danger-full-access"];
  if (settings.codexModel) args.push("-m", settings.codexModel);
  args.push("-c", `model_reasoning_effort=${toml(settings.codexEffort)}`);
  args.push("-c", `developer_instructions=${toml(options.instructions)}`);
  const secrets = new PrivateDir();
  const mcp = mcpHandover(plugins, toolTimeoutSec, secrets);
  args.push(...mcp.args);
  if (options.resume) args.push("resume", options.resume);
  args.push("--", options.task);

  const child = spawnAgent("codex", args, { cwd: options.cwd, stdio: ["ignore", "pipe", "pipe"], env: { ...process.env, ...mcp.env } });
  secrets.removeWith(child);
  let ended = false;
  let started = false;
  let lastMessage = "";
  const end = (fn: () => void) => {
    if (ended) return;
    ended = true;
    fn();
  };

  child.on("error", (error: NodeJS.ErrnoException) => {
    end(() => cb.failed(error.code === "ENOENT" ? CODEX_MISSING : `Nie udało się uruchomić Codex CLI: ${error.message}`));
  });
  child.on("exit", (code, signal) => {
    if (ended) return;
    if (options.resume && !started) {
      ended = true;
      cb.resumeFailed();
      return;
    }
    end(() => cb.failed(`Codex zakończył pracę bez wyniku (${signal ? `sygnał ${signal}` : `kod ${code}`}).`));
  });

  readEvents(child, "codex", (event) => {
    cb.alive();
    switch (event.type) {
      case "thread.started":
        started = true;
        if (typeof event.thread_id === "string") cb.session(event.thread_id);
        break;
      case "item.started":
      case "item.completed": {
        const item = (event.item ?? {}) as Record<string, unknown>;
        if (event.type === "item.started") {
          const note = describeItem(item);
          if (note) cb.activity(note);
          break;
        }
        if (item.type === "agent_message" && typeof item.text === "string") lastMessage = item.text;
        else if (item.type === "reasoning" && str(item.text)) cb.progress(cut(item.text as string, 300));
        else if (item.type === "todo_list" && Array.isArray(item.items))
          cb.progress(
            "Plan: " +
              (item.items as Array<Record<string, unknown>>).map((i) => `${i.completed ? "✓" : "•"} ${str(i.text) ?? ""}`).join("; "),
          );
        else if (item.type === "mcp_tool_call" && item.status === "failed") {
          const error = (item.error ?? {}) as Record<string, unknown>;
          cb.activity(`Wtyczka ${str(item.server) ?? "?"} nie wykonała ${str(item.tool) ?? "?"}: ${cut(str(error.message) ?? "")}`);
        } else if (item.type === "error" && str(item.message)) diag(`codex: ${cut(item.message as string, 300)}`);
        break;
      }
      case "error":
        // Not terminal: Codex reports its reconnects and transport fallbacks this way and may
        // still succeed. Only the reconnect is worth a note; the rest is for the log.
        if (/reconnect/i.test(String(event.message))) cb.progress("Ponawiam połączenie z modelem.");
        else diag(`codex: ${cut(String(event.message ?? ""), 300)}`);
        break;
      case "turn.completed":
        end(() => cb.finished(lastMessage));
        stopAfterResult(child, "SIGINT");
        break;
      case "turn.failed": {
        const error = (event.error ?? {}) as Record<string, unknown>;
        const message = str(error.message) ?? "";
        end(() =>
          cb.failed(
            /401|unauthori[sz]ed|not logged/i.test(message)
              ? "Codex nie jest zalogowany. Wykonaj w terminalu polecenie codex login."
              : `Codex nie wykonał zadania: ${cut(message, 300)}`,
          ),
        );
        stopAfterResult(child, "SIGINT");
        break;
      }
      default:
        break;
    }
  });
  return stopper(child, "SIGINT");
}
