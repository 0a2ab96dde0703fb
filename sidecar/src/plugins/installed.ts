// The plug-ins installed in the plug-ins folder, and how each one is started.
import { realpathSync } from "node:fs";
import { dirname, join, sep } from "node:path";
import { fileURLToPath } from "node:url";
import type { EngineName, McpServer } from "../config.js";
import { home } from "../config.js";
import { type CatalogEntry, loadCatalog } from "./catalog.js";
import { type JsonObject, objectAt, pluginsDir, readObject } from "./files.js";
import { idForPackage, isPackageName } from "./names.js";

export interface Installed {
  nazwa: string;
  pakiet: string;
  wersja: string;
  /** "katalog", "npm", "archiwum" or the address it came from. */
  zrodlo: string;
  opis?: string;
  /** The dependency as package.json records it. */
  requested: string;
  server?: McpServer;
}

function manifest(path: string): JsonObject | undefined {
  const read = readObject(path);
  return read.state === "object" ? read.value : undefined;
}

/** The program a package runs as its server; only a file inside the package's own folder. */
function program(packageDir: string, pkg: JsonObject, name: string): string | undefined {
  const bin = pkg.bin;
  let file: unknown;
  if (typeof bin === "string") file = bin;
  else if (typeof bin === "object" && bin !== null) {
    const entries = Object.entries(bin as JsonObject);
    const unscoped = name.replace(/^@[^/]+\//, "");
    file = (entries.find(([k]) => k === unscoped) ?? entries[0])?.[1];
  }
  if (typeof file !== "string") return undefined;
  try {
    const root = realpathSync(packageDir);
    const real = realpathSync(join(packageDir, file));
    return real.startsWith(root + sep) ? real : undefined;
  } catch {
    return undefined;
  }
}

function sourceOf(requested: string, entry: CatalogEntry | undefined): string {
  if (requested.startsWith("file:")) return "archiwum";
  if (/^https?:/.test(requested)) return requested;
  return entry && entry.wersja === requested ? "katalog" : "npm";
}

/**
 * A package outside the catalogue never goes by a catalogue plug-in's name (nor the built-in
 * one's): its tool selection, its switch and its vetted mark would be the other one's.
 */
function idForStranger(pakiet: string, catalog: CatalogEntry[]): string {
  const id = idForPackage(pakiet);
  return id === AGENT_ID || catalog.some((e) => e.nazwa === id) ? `npm-${id}` : id;
}

export function installedPlugins(dir = pluginsDir(), catalog = loadCatalog()): Installed[] {
  const root = manifest(join(dir, "package.json"));
  if (!root) return [];
  const out: Installed[] = [];
  for (const [pakiet, requested] of Object.entries(objectAt(root, "dependencies"))) {
    if (!isPackageName(pakiet) || typeof requested !== "string") continue;
    const packageDir = join(dir, "node_modules", pakiet);
    const pkg = manifest(join(packageDir, "package.json"));
    if (!pkg || typeof pkg.version !== "string") continue;
    // The catalogue's arguments and variables start its package however it came; but an archive
    // or an address may carry any package name, so the catalogue's plug-in name (with its tool
    // choice and its vetted mark) goes only to what came from the registry under that name.
    const fromRegistry = !requested.startsWith("file:") && !/^https?:/.test(requested);
    const settings = catalog.find((e) => e.pakiet === pakiet && !e.wbudowana);
    const entry = fromRegistry ? settings : undefined;
    const bin = program(packageDir, pkg, pakiet);
    const fill = (text: string) => text.replace("{home}", home()).replace("{dane}", dirname(dir));
    const args = (settings?.argumenty ?? []).map(fill);
    const env = Object.fromEntries(Object.entries(settings?.srodowisko ?? {}).map(([k, v]) => [k, fill(v)]));
    out.push({
      nazwa: entry?.nazwa ?? idForStranger(pakiet, catalog),
      pakiet,
      wersja: pkg.version,
      zrodlo: sourceOf(requested, entry),
      opis: typeof pkg.description === "string" ? pkg.description : undefined,
      requested,
      server: bin ? { type: "stdio", command: process.execPath, args: [bin, ...args], ...(Object.keys(env).length ? { env } : {}) } : undefined,
    });
  }
  return out;
}

const here = dirname(fileURLToPath(import.meta.url));

/** The engine-to-engine plug-in: our own server, handing tasks to the given engine. */
export function agentServer(to: EngineName): McpServer {
  return { type: "stdio", command: process.execPath, args: [join(here, "agent-server.js")], env: { SELVINA_DELEGATE_TO: to } };
}

export const AGENT_ID = "agent";
