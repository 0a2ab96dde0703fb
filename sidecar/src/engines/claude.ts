// Claude Code in its non-interactive streaming JSON mode, with permission requests answered
// over stdin.
import { type Plugins, type Settings, serversFor } from "../config.js";
import { spawnAgent } from "../processes.js";
import { type AgentCallbacks, type AgentRun, type StartOptions, PrivateDir, cut, envFile, readEvents, stopAfterResult, stopper, str } from "./common.js";

export const CLAUDE_MISSING = "Nie znaleziono polecenia claude. Zainstaluj Claude Code poleceniem npm install -g @anthropic-ai/claude-code.";

/** A short Polish note on what a tool call does. */
export function describeToolUse(name: string, input: Record<string, unknown>): string {
  const mcp = /^mcp__(.+?)__(.+)$/.exec(name);
  if (mcp) return `Wtyczka ${mcp[1]}: ${mcp[2]}`;
  const path = str(input.file_path) ?? str(input.path) ?? str(input.notebook_path);
  switch (name) {
    case "Bash":
      return `Uruchamiam polecenie: ${cut(str(input.description) ?? str(input.command) ?? "")}`;
    case "Read":
      return `Czytam plik ${path ?? ""}`.trim();
    case "Write":
      return `Zapisuję plik ${path ?? ""}`.trim();
    case "Edit":
    case "MultiEdit":
    case "NotebookEdit":
      return `Zmieniam plik ${path ?? ""}`.trim();
    case "Glob":
    case "Grep":
      return `Szukam w plikach: ${cut(str(input.pattern) ?? "")}`;
    case "WebSearch":
      return `Szukam w internecie: ${cut(str(input.query) ?? "")}`;
    case "WebFetch":
      return `Otwieram stronę ${str(input.url) ?? ""}`.trim();
    case "Task":
    case "Agent":
      return `Zlecam podzadanie: ${cut(str(input.description) ?? "")}`;
    case "TodoWrite":
      return "Planuję kolejne kroki";
    default:
      return `Używam narzędzia ${name}`;
  }
}

function resultFailure(event: Record<string, unknown>): string {
  const detail = str(event.result);
  switch (event.subtype) {
    case "error_max_turns":
      return "Agent wykorzystał limit kroków i nie dokończył zadania.";
    case "error_max_budget_usd":
      return "Agent przekroczył limit kosztów i nie dokończył zadania.";
    case "error_during_execution":
      return "Agent przerwał pracę z powodu błędu.";
    default:
      if (detail && /login|api key|authenticat|401/i.test(detail))
        return "Claude Code nie jest zalogowany. Wykonaj w terminalu polecenie claude i zaloguj się.";
      return detail ? `Claude Code zgłosił błąd: ${cut(detail, 300)}` : "Claude Code nie dokończył zadania.";
  }
}

export function startClaude(settings: Settings, plugins: Plugins, options: StartOptions, cb: AgentCallbacks): AgentRun {
  // The plug-ins go in a private file: their settings may carry secrets that argv would show.
  const secrets = new PrivateDir();
  const mcpFile = secrets.write("mcp.json", JSON.stringify({ mcpServers: serversFor(plugins, "claude", envFile(secrets)) }));
  const args = [
    "-p",
    "--input-format", "stream-json",
    "--output-format", "stream-json",
    "--verbose",
    "--permission-prompt-tool", "stdio",
    "--permission-mode", "default",
    "--model", settings.claudeModel,
    "--effort", settings.claudeEffort,
    "--append-system-prompt", options.instructions,
    "--mcp-config", mcpFile,
    "--strict-mcp-config",
  ];
  const disallowed = Object.entries(plugins.disabledTools).flatMap(([server, tools]) =>
    tools.map((tool) => `mcp__${server}__${tool}`),
  );
  if (disallowed.length) args.push("--disallowedTools", disallowed.join(","));
  if (options.resume) args.push("--resume", options.resume);

  const child = spawnAgent("claude", args, { cwd: options.cwd, stdio: ["pipe", "pipe", "pipe"], env: process.env });
  secrets.removeWith(child);
  let ended = false;
  let initialised = false;
  const end = (fn: () => void) => {
    if (ended) return;
    ended = true;
    fn();
  };
  const send = (message: unknown) => {
    if (child.stdin && !child.stdin.destroyed && child.stdin.writable) child.stdin.write(JSON.stringify(message) + "\n");
  };

  child.on("error", (error: NodeJS.ErrnoException) => {
    end(() => cb.failed(error.code === "ENOENT" ? CLAUDE_MISSING : `Nie udało się uruchomić Claude Code: ${error.message}`));
  });
  child.stdin?.on("error", () => {}); // a child gone early closes the pipe; its exit reports it
  child.on("exit", (code, signal) => {
    if (ended) return;
    if (options.resume && !initialised) {
      ended = true;
      cb.resumeFailed();
      return;
    }
    end(() => cb.failed(`Claude Code zakończył pracę bez wyniku (${signal ? `sygnał ${signal}` : `kod ${code}`}).`));
  });

  readEvents(child, "claude", (event) => {
    cb.alive();
    switch (event.type) {
      case "system":
        if (event.subtype === "init") {
          initialised = true;
          if (typeof event.session_id === "string") cb.session(event.session_id);
        } else if (event.subtype === "api_retry") {
          cb.progress(`Ponawiam połączenie z modelem (próba ${event.attempt ?? "?"} z ${event.max_retries ?? "?"}).`);
        } else if (event.subtype === "permission_denied") {
          cb.activity(`Odmowa uprawnień dla narzędzia ${str(event.tool_name) ?? "?"}`);
        }
        break;
      case "assistant": {
        const message = event.message as { content?: unknown } | undefined;
        const blocks = Array.isArray(message?.content) ? (message!.content as Array<Record<string, unknown>>) : [];
        for (const block of blocks) {
          if (block.type === "tool_use" && typeof block.name === "string")
            cb.activity(describeToolUse(block.name, (block.input ?? {}) as Record<string, unknown>));
          else if (block.type === "text" && str(block.text)) cb.progress(cut(block.text as string, 300));
        }
        break;
      }
      case "control_request": {
        const request = (event.request ?? {}) as Record<string, unknown>;
        const requestId = event.request_id;
        if (request.subtype !== "can_use_tool") {
          send({ type: "control_response", response: { subtype: "error", request_id: requestId, error: "nieobsługiwane" } });
          break;
        }
        const input = (request.input ?? {}) as Record<string, unknown>;
        const tool = str(request.display_name) ?? str(request.tool_name) ?? "narzędzie";
        const what = str(input.command) ?? str(input.file_path) ?? str(input.url) ?? cut(JSON.stringify(input), 160);
        const intent = [str(request.description), `${tool}: ${cut(what, 200)}`].filter(Boolean).join(" — ");
        cb.confirm(intent, (approved) =>
          send({
            type: "control_response",
            response: {
              subtype: "success",
              request_id: requestId,
              response: approved
                ? { behavior: "allow", updatedInput: input }
                : { behavior: "deny", message: "Użytkownik nie zezwolił na ten krok." },
            },
          }),
        );
        break;
      }
      case "result": {
        if (typeof event.session_id === "string") cb.session(event.session_id);
        const ok = event.subtype === "success" && event.is_error !== true;
        const text = typeof event.result === "string" ? event.result : "";
        end(() => (ok ? cb.finished(text) : cb.failed(resultFailure(event))));
        // With stream-json input the CLI waits for the end of stdin; then it gets a few seconds.
        child.stdin?.end();
        stopAfterResult(child, "SIGTERM");
        break;
      }
      default:
        break;
    }
  });

  send({ type: "user", message: { role: "user", content: options.task }, parent_tool_use_id: null, session_id: "" });
  return stopper(child, "SIGTERM");
}
