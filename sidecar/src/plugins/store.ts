// The store's commands: each returns the one JSON object the program prints.
import { copyFileSync, mkdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createHash } from "node:crypto";
import { basename, join } from "node:path";
import type { McpServer } from "../config.js";
import { diag } from "../protocol.js";
import { type CatalogEntry, loadCatalog } from "./catalog.js";
import { BROKEN_STATE_LOG, type JsonObject, mcpFile, objectAt, pluginsDir, pluginsFile, readObject, stringArray, updateObject } from "./files.js";
import { AGENT_ID, type Installed, agentServer, installedPlugins } from "./installed.js";
import { takeLock } from "./lock.js";
import { isPluginId, parseSource } from "./names.js";
import { npm, npmFailure } from "./npm.js";
import { listTools } from "./tools.js";

export type Result = JsonObject;

export const AS_ROOT = "Nie instaluję wtyczek z uprawnieniami administratora. Uruchom Selvinę jako zwykły użytkownik.";
export const BUSY = "Trwa już inna operacja na wtyczkach. Spróbuj ponownie, gdy się skończy.";
const BROKEN_STATE = "Plik plugins.json jest uszkodzony, więc nie zmieniam wyboru narzędzi.";

const fail = (komunikat: string): Result => ({ ok: false, komunikat });

/** The folder with its own package.json, made on first use; only its owner may enter it. */
function prepare(dir: string): void {
  mkdirSync(dir, { recursive: true, mode: 0o700 });
  if (readObject(join(dir, "package.json")).state !== "object")
    writeFileSync(
      join(dir, "package.json"),
      JSON.stringify({ name: "selvina-voice-plugins", private: true, description: "Wtyczki Selvina Voice", dependencies: {} }, null, 2) + "\n",
    );
}

const INSTALL = ["--save-exact", "--no-audit", "--no-fund", "--ignore-scripts", "--install-strategy=hoisted"];
const UNINSTALL = ["--no-audit", "--no-fund", "--ignore-scripts"];

/**
 * Installs the specs without any install script, then runs the scripts of just the packages the
 * catalogue says need them; a package whose script fails is removed again.
 */
async function install(dir: string, specs: string[], withScripts: string[], what: string): Promise<string | undefined> {
  const outcome = await npm("install", [...INSTALL, "--prefix", dir], specs, dir);
  if (!outcome.ok) return npmFailure(outcome.stderr, what);
  for (const name of withScripts) {
    const built = await npm("rebuild", ["--prefix", dir, "--foreground-scripts"], [name], dir);
    if (!built.ok) {
      await npm("uninstall", [...UNINSTALL, "--prefix", dir], [name], dir);
      return `Skrypt instalacyjny pakietu ${name} zakończył się błędem.`;
    }
  }
  return undefined;
}

/** Runs an operation that changes the folder: never as root, never two at once. */
async function changing(run: (dir: string, catalog: CatalogEntry[]) => Promise<Result>, busy: Result = fail(BUSY)): Promise<Result> {
  if (process.getuid?.() === 0) return fail(AS_ROOT);
  const dir = pluginsDir();
  prepare(dir);
  const release = takeLock(dir);
  if (!release) return busy;
  try {
    return await run(dir, loadCatalog());
  } finally {
    release();
  }
}

export function lista(): Result {
  const catalog = loadCatalog();
  return {
    zainstalowane: installedPlugins(pluginsDir(), catalog).map(({ nazwa, wersja, zrodlo, pakiet, opis }) => ({ nazwa, wersja, zrodlo, pakiet, opis })),
    dostepne: catalog
      .filter((e) => !e.wbudowana)
      .map(({ nazwa, pakiet, wersja, domyslnie, obejmuje, narzedzi, sprawdzony, wada }) => ({ nazwa, pakiet, wersja, domyslnie, obejmuje, narzedzi, sprawdzony, wada })),
  };
}

export function zainstaluj(arg: string | undefined): Promise<Result> {
  return changing(async (dir, catalog) => {
    const source = parseSource(arg ?? "");
    if ("error" in source) return fail(source.error);
    let requested: string;
    let scripts: string[] = [];
    let what: string;
    if (source.kind === "registry") {
      // A catalogue plug-in's readable name stands for the package the catalogue vetted, never
      // for whatever the registry holds under that name.
      const offered = catalog.filter((e) => !e.wbudowana);
      const named = offered.find((e) => e.nazwa === source.name && !offered.some((o) => o.pakiet === source.name));
      if (named) source.name = named.pakiet;
      const entry = offered.find((e) => e.pakiet === source.name);
      const version = source.version ?? entry?.wersja;
      requested = version ? `${source.name}@${version}` : source.name;
      if (entry?.skrypty && (!source.version || source.version === entry.wersja)) scripts = [source.name];
      what = source.name;
    } else if (source.kind === "file") {
      // A copy in the folder keeps it complete when the user moves or deletes the archive.
      const digest = createHash("sha256").update(readFileSync(source.path)).digest("hex").slice(0, 16);
      mkdirSync(join(dir, "archiwa"), { recursive: true });
      const copy = join("archiwa", `${digest}-${basename(source.path).replace(/[^A-Za-z0-9._-]/g, "_")}`);
      copyFileSync(source.path, join(dir, copy));
      requested = `file:${copy}`;
      what = basename(source.path);
    } else {
      requested = source.url;
      what = source.url;
    }
    const before = new Set(installedPlugins(dir, catalog).map((p) => `${p.pakiet}@${p.wersja}`));
    const problem = await install(dir, [requested], scripts, what);
    if (problem) return fail(problem);
    const added = installedPlugins(dir, catalog).find((p) => !before.has(`${p.pakiet}@${p.wersja}`) && (source.kind !== "registry" || p.pakiet === source.name));
    if (added && !added.server) {
      await npm("uninstall", [...UNINSTALL, "--prefix", dir], [added.pakiet], dir);
      return fail(`Pakiet ${added.pakiet} nie jest wtyczką: nie ma programu, który można uruchomić.`);
    }
    return { ok: true, nazwa: added?.nazwa };
  });
}

export function usun(name: string | undefined): Promise<Result> {
  return changing(async (dir, catalog) => {
    const plugin = installedPlugins(dir, catalog).find((p) => p.nazwa === name);
    if (!plugin) return fail(`Wtyczka ${name ?? ""} nie jest zainstalowana.`);
    const outcome = await npm("uninstall", [...UNINSTALL, "--prefix", dir], [plugin.pakiet], dir);
    if (!outcome.ok) return fail(`Nie udało się usunąć wtyczki ${plugin.nazwa}.`);
    if (plugin.requested.startsWith("file:archiwa/")) rmSync(join(dir, plugin.requested.slice(5)), { force: true });
    return { ok: true };
  });
}

/** Catalogue packages follow the catalogue's pinned version, others the registry's latest. */
export function aktualizujWszystko(): Promise<Result> {
  return changing(
    async (dir, catalog) => {
      const zaktualizowane: JsonObject[] = [];
      for (const plugin of installedPlugins(dir, catalog)) {
        if (plugin.requested.startsWith("file:") || /^https?:/.test(plugin.requested)) continue;
        const entry = catalog.find((e) => e.pakiet === plugin.pakiet && !e.wbudowana);
        let target = entry?.wersja;
        if (!target) {
          const view = await npm("view", [], [`${plugin.pakiet}@latest`, "version"], dir);
          target = view.ok ? view.stdout.trim() : undefined;
        }
        if (!target || target === plugin.wersja) continue;
        const problem = await install(dir, [`${plugin.pakiet}@${target}`], entry?.skrypty ? [plugin.pakiet] : [], plugin.pakiet);
        if (problem) diag(`[wtyczki] ${plugin.nazwa}: ${problem}`);
        else zaktualizowane.push({ nazwa: plugin.nazwa, z: plugin.wersja, na: target });
      }
      return { ok: true, zaktualizowane };
    },
    { ok: false, komunikat: BUSY, zaktualizowane: [] },
  );
}

export function domyslne(): Promise<Result> {
  return changing(async (dir, catalog) => {
    const have = new Set(installedPlugins(dir, catalog).map((p) => p.pakiet));
    const wanted = catalog.filter((e) => e.domyslnie && !e.wbudowana && !have.has(e.pakiet));
    if (wanted.length === 0) return { ok: true };
    const problem = await install(
      dir,
      wanted.map((e) => `${e.pakiet}@${e.wersja}`),
      wanted.filter((e) => e.skrypty).map((e) => e.pakiet),
      wanted.map((e) => e.pakiet).join(", "),
    );
    return problem ? fail(problem) : { ok: true };
  });
}

/** How to start a plug-in for a look at its tools: installed, built in, or the user's own. */
function serverFor(name: string): McpServer | undefined {
  const plugin: Installed | undefined = installedPlugins().find((p) => p.nazwa === name);
  if (plugin) return plugin.server;
  if (name === AGENT_ID) return agentServer("codex");
  const mcp = readObject(mcpFile());
  const own = mcp.state === "object" ? objectAt(mcp.value, "mcpServers")[name] : undefined;
  return typeof own === "object" && own !== null ? (own as McpServer) : undefined;
}

export async function narzedzia(name: string | undefined): Promise<Result> {
  if (!name || !isPluginId(name)) return fail(`Nie ma takiej wtyczki: ${name ?? ""}.`);
  const server = serverFor(name);
  if (!server) return fail(`Nie ma takiej wtyczki: ${name}.`);
  const listing = await listTools(name, server);
  if (!listing.ok) return { ...listing, narzedzia: [], wszystkieWlaczone: true, wybrane: [] };
  const names = listing.tools.map((t) => t.nazwa);
  const read = readObject(pluginsFile());
  let selected: string[] | undefined;
  if (read.state === "broken") diag(BROKEN_STATE_LOG);
  else {
    const state = read.state === "object" ? read.value : {};
    selected = stringArray(objectAt(state, "tools")[name]);
    if (JSON.stringify(stringArray(objectAt(state, "toolsKnown")[name])) !== JSON.stringify(names)) {
      // Only a record for the switches: the listing stands without it.
      const update = updateObject(pluginsFile(), (value) => {
        value.toolsKnown = { ...objectAt(value, "toolsKnown"), [name]: names };
      });
      if (update.state !== "written") diag(`[wtyczki] nie zapisałem listy narzędzi wtyczki ${name} w plugins.json (${update.state === "failed" ? update.reason : "uszkodzony"})`);
    }
  }
  return {
    ok: true,
    narzedzia: listing.tools,
    wszystkieWlaczone: selected === undefined,
    wybrane: selected === undefined ? names : names.filter((n) => selected!.includes(n)),
  };
}

export function ustawNarzedzia(name: string | undefined, selection: string | undefined): Result {
  if (!name || !isPluginId(name)) return fail(`Nie ma takiej wtyczki: ${name ?? ""}.`);
  let chosen: string[] | undefined;
  if (selection !== undefined) {
    try {
      chosen = stringArray(JSON.parse(selection));
    } catch {
      chosen = undefined;
    }
    if (!chosen) return fail("Wybór narzędzi musi być tablicą nazw w JSON.");
  }
  const update = updateObject(pluginsFile(), (state) => {
    const tools = { ...objectAt(state, "tools") };
    if (chosen) tools[name] = [...new Set(chosen)].sort();
    else delete tools[name];
    state.tools = tools;
  });
  if (update.state === "broken") {
    diag(BROKEN_STATE_LOG);
    return fail(BROKEN_STATE);
  }
  if (update.state === "failed") {
    diag(`[wtyczki] zapis plugins.json nie powiódł się: ${update.reason}`);
    return fail(`Nie udało się zapisać wyboru narzędzi (${update.reason}). Poprzedni wybór został bez zmian.`);
  }
  return { ok: true };
}
