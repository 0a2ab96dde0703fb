// The plug-ins offered for installation, shipped with the sidecar (catalog.json beside this file).
import { readFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

export interface CatalogEntry {
  nazwa: string;
  pakiet: string;
  wersja: string;
  domyslnie: boolean;
  obejmuje: string[];
  narzedzi: number | null;
  sprawdzony: boolean;
  wada: string[];
  /** Arguments after the program; "{home}" stands for the user's home folder. */
  argumenty?: string[];
  /** Variables for the server; "{home}" as above, "{dane}" the application's data folder. */
  srodowisko?: Record<string, string>;
  /** The package's own install scripts must run (all others are installed without them). */
  skrypty?: boolean;
  /** Part of the sidecar itself, never installed. */
  wbudowana?: boolean;
}

const here = dirname(fileURLToPath(import.meta.url));

/** The catalogue; SELVINA_PLUGIN_CATALOG names another file (the tests' own). */
export function loadCatalog(): CatalogEntry[] {
  const file = process.env.SELVINA_PLUGIN_CATALOG || join(here, "catalog.json");
  try {
    const value: unknown = JSON.parse(readFileSync(file, "utf8"));
    const list = (value as { wtyczki?: unknown }).wtyczki;
    return Array.isArray(list) ? (list as CatalogEntry[]).filter((e) => typeof e?.nazwa === "string" && typeof e?.pakiet === "string") : [];
  } catch {
    return [];
  }
}
