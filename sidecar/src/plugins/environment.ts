// The environment third-party code gets: npm with its install scripts, and every plug-in server.
// Ours holds the user's keys (the voice model's, the agents' logins); theirs holds only what a
// program needs to run on this desktop, plus the plug-in's own configured variables.
import type { McpServer } from "../config.js";

const NAMES = new Set([
  "PATH", "HOME", "USER", "LOGNAME", "SHELL", "LANG", "LANGUAGE", "TZ", "TERM", "TMPDIR", "TMP", "TEMP",
  "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME",
  "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_DIRS", "XDG_CURRENT_DESKTOP",
  "XDG_SESSION_TYPE", "NODE_EXTRA_CA_CERTS", "SSL_CERT_FILE", "SSL_CERT_DIR",
]);
const PROXIES = /^(https?_proxy|no_proxy|all_proxy)$/i;
// npm's own settings (registry, cache, proxy) pass; a credential among them does not.
const NPM_CONFIG = /^npm_config_/i;
const CREDENTIAL = /auth|token|pass|secret|key|cert|otp/i;

function allowed(name: string, value: string): boolean {
  if (NAMES.has(name) || name.startsWith("LC_")) return true;
  // A proxy address with a login in it is a credential too.
  if (PROXIES.test(name)) return !/^[a-z][a-z0-9+.-]*:\/\/[^/]*@/i.test(value);
  return NPM_CONFIG.test(name) && !CREDENTIAL.test(name.slice("npm_config_".length));
}

/** The allowed part of `from`, then the plug-in's own variables over it. */
export function pluginEnvironment(own: Record<string, unknown> = {}, from: NodeJS.ProcessEnv = process.env): Record<string, string> {
  const env: Record<string, string> = {};
  for (const [name, value] of Object.entries(from)) if (value !== undefined && allowed(name, value)) env[name] = value;
  for (const [name, value] of Object.entries(own)) if (typeof value === "string") env[name] = value;
  return env;
}

/** A value for a line of a POSIX shell script, whatever it holds. */
export function shellQuote(value: string): string {
  return `'${value.replace(/'/g, `'\\''`)}'`;
}

// Sources the server's environment from a private file, then becomes the server itself.
export const WITH_ENV = '. "$1" && shift && exec "$@"';

/**
 * A stdio server as an agent CLI is to start it: the agent hands its own environment (with our
 * keys) to the servers it starts, so the server is started through env -i and a shell that
 * sources the allowed environment from a private file (`write` makes it, 0600) and then becomes
 * the server. Nothing of the environment appears on a command line.
 */
export function contained(name: string, server: McpServer, write: (content: string) => string, diag: (line: string) => void): McpServer {
  if (!server.command) return server;
  const lines = Object.entries(pluginEnvironment(server.env ?? {})).flatMap(([variable, value]) => {
    if (/^[A-Za-z_][A-Za-z0-9_]*$/.test(variable)) return [`export ${variable}=${shellQuote(value)}`];
    diag(`wtyczka ${name}: pomijam zmienną środowiska o nazwie ${JSON.stringify(variable)}`);
    return [];
  });
  const file = write(lines.join("\n") + "\n");
  const { env: _env, envVars: _vars, ...rest } = server;
  return { ...rest, command: "/usr/bin/env", args: ["-i", "/bin/sh", "-c", WITH_ENV, "selvina-mcp", file, server.command, ...(server.args ?? [])] };
}
