// What the store accepts as a package to install, and the names plug-ins go by.
import { statSync } from "node:fs";
import { resolve } from "node:path";
import { home } from "../config.js";

export type Source =
  | { kind: "registry"; name: string; version?: string }
  | { kind: "file"; path: string }
  | { kind: "url"; url: string };

// npm's package name grammar (lower case, URL-safe, an optional scope) and an exact version. The
// first character is a letter or a digit: a name that begins with "-" would be an option to npm.
const PACKAGE = /^(?:@[a-z0-9][a-z0-9._~-]*\/)?[a-z0-9][a-z0-9._~-]*$/;
const VERSION = /^\d+\.\d+\.\d+(?:-[0-9A-Za-z.-]+)?(?:\+[0-9A-Za-z.-]+)?$/;
const PLUGIN_ID = /^[A-Za-z0-9][A-Za-z0-9._-]{0,99}$/;
// Nothing here reaches a shell, but a name with these is no package name either.
const SHELL = /[\s;&|`$<>(){}[\]*?!'"\\\x00-\x1f]/;

export const BAD_NAME = "Nazwa pakietu jest niepoprawna albo zawiera niedozwolone znaki.";
export const WITH_LOGIN = "Adres archiwum nie może zawierać nazwy użytkownika ani hasła.";
export const NOT_AN_ARCHIVE = "To nie jest archiwum pakietu npm (plik .tgz).";

export function isPackageName(name: string): boolean {
  return name.length <= 214 && PACKAGE.test(name) && !name.split("/").some((p) => p === "." || p === "..");
}

export function isPluginId(id: string): boolean {
  return PLUGIN_ID.test(id) && !id.includes("..");
}

/** A package name (optionally @version), an https address of a tarball, or a tarball's path. */
export function parseSource(arg: string): Source | { error: string } {
  const text = arg.trim();
  if (/^https?:\/\//i.test(text)) {
    let url: URL;
    try {
      url = new URL(text);
    } catch {
      return { error: BAD_NAME };
    }
    // It would be stored in package.json and the lock file, and shown as the plug-in's origin.
    if (url.username || url.password) return { error: WITH_LOGIN };
    const loopback = ["127.0.0.1", "localhost", "[::1]"].includes(url.hostname);
    if (SHELL.test(text) || (url.protocol !== "https:" && !loopback)) return { error: BAD_NAME };
    if (!/\.(tgz|tar\.gz)$/.test(url.pathname)) return { error: NOT_AN_ARCHIVE };
    return { kind: "url", url: url.href };
  }
  if (text.startsWith("/") || text.startsWith("~/") || text.startsWith("./")) {
    if (/[\x00-\x1f]/.test(text)) return { error: BAD_NAME };
    const path = text.startsWith("~/") ? resolve(home(), text.slice(2)) : resolve(text);
    try {
      if (!statSync(path).isFile() || !/\.(tgz|tar\.gz)$/.test(path)) return { error: NOT_AN_ARCHIVE };
    } catch {
      return { error: `Nie ma takiego pliku: ${path}.` };
    }
    return { kind: "file", path };
  }
  if (SHELL.test(text)) return { error: BAD_NAME };
  const at = text.lastIndexOf("@");
  const [name, version] = at > 0 ? [text.slice(0, at), text.slice(at + 1)] : [text, undefined];
  if (!isPackageName(name) || (version !== undefined && !VERSION.test(version))) return { error: BAD_NAME };
  return { kind: "registry", name, version };
}

/** The id of a plug-in that is not in the catalogue: its package name as an MCP server name. */
export function idForPackage(name: string): string {
  return name.replace(/^@/, "").replace(/[^A-Za-z0-9_-]+/g, "-");
}
