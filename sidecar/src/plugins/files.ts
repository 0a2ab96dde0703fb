// Where plug-ins live and the small JSON files that describe them.
import { mkdirSync, readFileSync, renameSync, writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { configDir, home } from "../config.js";

export type JsonObject = Record<string, unknown>;

/** The one folder the store installs into: its own package.json, lock file and node_modules. */
export function pluginsDir(): string {
  const xdg = process.env.XDG_DATA_HOME;
  const base = xdg && xdg.startsWith("/") ? xdg : join(home(), ".local", "share");
  return join(base, "selvina-voice", "plugins");
}

export const pluginsFile = (dir = configDir()) => join(dir, "plugins.json");
export const mcpFile = (dir = configDir()) => join(dir, "mcp.json");

export type Read = { state: "object"; value: JsonObject } | { state: "missing" } | { state: "broken" };

/** A JSON object file, telling a missing file apart from one that is not a JSON object. */
export function readObject(path: string): Read {
  let text: string;
  try {
    text = readFileSync(path, "utf8");
  } catch (error) {
    return (error as NodeJS.ErrnoException).code === "ENOENT" ? { state: "missing" } : { state: "broken" };
  }
  try {
    const value: unknown = JSON.parse(text);
    if (typeof value === "object" && value !== null && !Array.isArray(value)) return { state: "object", value: value as JsonObject };
  } catch {
    // falls through
  }
  return { state: "broken" };
}

function sorted(value: unknown): unknown {
  if (Array.isArray(value)) return value.map(sorted);
  if (typeof value !== "object" || value === null) return value;
  return Object.fromEntries(
    Object.keys(value)
      .sort()
      .map((k) => [k, sorted((value as JsonObject)[k])]),
  );
}

/** Writes the object pretty-printed with sorted keys, through a temporary file and a rename. */
export function writeObject(path: string, value: JsonObject): void {
  mkdirSync(dirname(path), { recursive: true });
  const tmp = `${path}.${process.pid}.tmp`;
  writeFileSync(tmp, JSON.stringify(sorted(value), null, 2) + "\n");
  renameSync(tmp, path);
}

export function stringArray(value: unknown): string[] | undefined {
  return Array.isArray(value) && value.every((v) => typeof v === "string") ? (value as string[]) : undefined;
}

export function objectAt(value: JsonObject, key: string): JsonObject {
  const v = value[key];
  return typeof v === "object" && v !== null && !Array.isArray(v) ? (v as JsonObject) : {};
}

export const BROKEN_STATE_LOG = "[wtyczki] plugins.json jest uszkodzony — nie zmieniam stanu";
