// Where plug-ins live and the small JSON files that describe them.
import { closeSync, fsyncSync, mkdirSync, openSync, readFileSync, renameSync, rmSync, writeFileSync } from "node:fs";
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

/** The file's text; undefined when there is none, null when it cannot be read. */
function readText(path: string): string | undefined | null {
  try {
    return readFileSync(path, "utf8");
  } catch (error) {
    return (error as NodeJS.ErrnoException).code === "ENOENT" ? undefined : null;
  }
}

function parseObject(text: string | undefined | null): Read {
  if (text === undefined) return { state: "missing" };
  if (text === null) return { state: "broken" };
  try {
    const value: unknown = JSON.parse(text);
    if (typeof value === "object" && value !== null && !Array.isArray(value)) return { state: "object", value: value as JsonObject };
  } catch {
    // falls through
  }
  return { state: "broken" };
}

/** A JSON object file, telling a missing file apart from one that is not a JSON object. */
export function readObject(path: string): Read {
  return parseObject(readText(path));
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

export type Update = { state: "written" } | { state: "broken" } | { state: "failed"; reason: string };

/**
 * Reads the object (a missing file is an empty one), changes it and writes it back pretty-printed
 * with sorted keys: into a temporary file, flushed to the disk, then renamed over the old one, so
 * that a full or read-only disk leaves the old file whole. When another program rewrote the file
 * meanwhile, the change is made again on its new content. A file that is not an object is left
 * as it is.
 */
export function updateObject(path: string, change: (value: JsonObject) => void): Update {
  const tmp = `${path}.${process.pid}.tmp`;
  for (let attempt = 0; ; attempt++) {
    const before = readText(path);
    const read = parseObject(before);
    if (read.state === "broken") return { state: "broken" };
    const value = read.state === "object" ? read.value : {};
    change(value);
    try {
      mkdirSync(dirname(path), { recursive: true });
      const fd = openSync(tmp, "w", 0o600);
      try {
        writeFileSync(fd, JSON.stringify(sorted(value), null, 2) + "\n");
        fsyncSync(fd);
      } finally {
        closeSync(fd);
      }
      if (readText(path) !== before && attempt < 5) {
        rmSync(tmp, { force: true });
        continue;
      }
      renameSync(tmp, path);
      return { state: "written" };
    } catch (error) {
      rmSync(tmp, { force: true });
      return { state: "failed", reason: (error as NodeJS.ErrnoException).code ?? String(error) };
    }
  }
}

export function stringArray(value: unknown): string[] | undefined {
  return Array.isArray(value) && value.every((v) => typeof v === "string") ? (value as string[]) : undefined;
}

export function objectAt(value: JsonObject, key: string): JsonObject {
  const v = value[key];
  return typeof v === "object" && v !== null && !Array.isArray(v) ? (v as JsonObject) : {};
}

export const BROKEN_STATE_LOG = "[wtyczki] plugins.json jest uszkodzony — nie zmieniam stanu";
