// Runs the npm that comes with Node.js, never through a shell, and turns its failures into
// sentences for the user.
import { execFile } from "node:child_process";
import { accessSync, constants, existsSync, realpathSync } from "node:fs";
import { dirname, join } from "node:path";
import { diag } from "../protocol.js";
import { pluginEnvironment } from "./environment.js";

export interface NpmOutcome {
  ok: boolean;
  stdout: string;
  stderr: string;
}

function npmProgram(): { command: string; prefix: string[] } {
  const bin = dirname(process.execPath);
  for (const candidate of [join(bin, "npm"), join(bin, "..", "lib", "node_modules", "npm", "bin", "npm-cli.js")]) {
    if (!existsSync(candidate)) continue;
    const real = realpathSync(candidate);
    if (real.endsWith(".js")) return { command: process.execPath, prefix: [real] };
    try {
      accessSync(real, constants.X_OK);
      return { command: real, prefix: [] };
    } catch {
      // not runnable: the next one
    }
  }
  return { command: "npm", prefix: [] };
}

const TIMEOUT_MS = 10 * 60_000;

/**
 * One npm command: its options, then "--", then its operands, so that no operand (a package name
 * or an address from the user) is ever read as an option. npm and the install scripts it runs get
 * the allowed environment only.
 */
export function npm(command: string, options: string[], operands: string[], cwd: string): Promise<NpmOutcome> {
  const { command: program, prefix } = npmProgram();
  const env = {
    ...pluginEnvironment(),
    npm_config_update_notifier: "false",
    npm_config_fund: "false",
    npm_config_audit: "false",
    npm_config_global: "false",
    npm_config_loglevel: "error",
  };
  const args = [...prefix, command, ...options, "--", ...operands];
  return new Promise((resolve) => {
    execFile(program, args, { cwd, env, timeout: TIMEOUT_MS, maxBuffer: 64 * 1024 * 1024, killSignal: "SIGKILL" }, (error, stdout, stderr) => {
      for (const line of String(stderr).split("\n")) if (line.trim()) diag(`npm: ${line.slice(0, 500)}`);
      resolve({ ok: !error, stdout: String(stdout), stderr: String(stderr) + (error && !stderr ? String(error.message) : "") });
    });
  });
}

/** npm's error as a Polish sentence about the package being installed. */
export function npmFailure(stderr: string, what: string): string {
  // Node.js without its npm (Debian packages them apart): the command itself was not found.
  if (/^spawn \S*npm ENOENT/m.test(stderr))
    return `Nie ma programu npm, którym instaluję wtyczki, więc nie zainstalowałem ${what}. Zainstaluj go poleceniem sudo apt install npm i spróbuj ponownie.`;
  const code = /npm (?:error|ERR!) code (\S+)/.exec(stderr)?.[1] ?? "";
  if (code === "EINTEGRITY" || /integrity checksum failed|sha\d+-\S+ integrity/i.test(stderr))
    return `Pobrany pakiet ${what} nie zgadza się ze swoją sumą kontrolną, więc go nie zainstalowałem.`;
  if (/^(ENOTFOUND|ECONNREFUSED|ECONNRESET|ETIMEDOUT|EAI_AGAIN|ENETUNREACH|EHOSTUNREACH)$/.test(code) || /network|getaddrinfo|socket hang up/i.test(stderr))
    return `Brak połączenia z rejestrem pakietów, więc nie zainstalowałem ${what}. Sprawdź połączenie z internetem i spróbuj ponownie.`;
  if (code === "E404") return `W rejestrze npm nie ma pakietu ${what}.`;
  if (code === "ETARGET") return `W rejestrze npm nie ma takiej wersji pakietu ${what}.`;
  if (code === "ELIFECYCLE" || /command failed/i.test(stderr)) return `Skrypt instalacyjny pakietu ${what} zakończył się błędem.`;
  if (/^(TAR_BAD_ARCHIVE|TAR_ENTRY_INVALID|EJSONPARSE|ENOTDIR|Z_DATA_ERROR|EBADPACKAGE)$/.test(code) || /package\.json|invalid package|not a valid|\btar\b/i.test(stderr))
    return `${what} nie jest pakietem npm.`;
  const last = stderr
    .split("\n")
    .map((l) => l.replace(/^npm (?:error|ERR!)\s*/, "").trim())
    .filter(Boolean)
    .pop();
  return `Nie udało się zainstalować ${what}${last ? `: ${last.slice(0, 200)}` : ""}.`;
}
