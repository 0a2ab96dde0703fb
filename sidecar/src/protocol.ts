// The JSON-lines protocol with the application: one object per line on stdin and stdout.

export type Incoming =
  | { type: "run"; id: string; task: string }
  | { type: "confirm"; id: string; approved: boolean }
  | { type: "cancel"; id: string }
  | { type: "shutdown" };

export type Outgoing =
  | { type: "progress" | "activity" | "finished"; id: string; text: string }
  | { type: "confirm_required"; id: string; intent: string }
  | { type: "failed"; id: string; error: string }
  | { type: "heartbeat"; id: string };

/** Decodes one line from the application; undefined for anything that is not a known message. */
export function decodeIncoming(line: string): Incoming | undefined {
  let value: unknown;
  try {
    value = JSON.parse(line);
  } catch {
    return undefined;
  }
  if (typeof value !== "object" || value === null || Array.isArray(value)) return undefined;
  const m = value as Record<string, unknown>;
  switch (m.type) {
    case "run":
      return typeof m.id === "string" && typeof m.task === "string" ? { type: "run", id: m.id, task: m.task } : undefined;
    case "confirm":
      return typeof m.id === "string" && typeof m.approved === "boolean"
        ? { type: "confirm", id: m.id, approved: m.approved }
        : undefined;
    case "cancel":
      return typeof m.id === "string" ? { type: "cancel", id: m.id } : undefined;
    case "shutdown":
      return { type: "shutdown" };
    default:
      return undefined;
  }
}

export type LineWriter = (message: Outgoing) => void;

export function stdoutWriter(): LineWriter {
  return (message) => {
    process.stdout.write(JSON.stringify(message) + "\n");
  };
}

/** Diagnostics go to standard error, which the application copies into its log. */
export function diag(text: string): void {
  process.stderr.write(`[sidecar] ${text}\n`);
}
