import { afterEach, test } from "node:test";
import assert from "node:assert/strict";
import { cpSync, mkdirSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { Sidecar } from "./helpers.mjs";
import { fixtures, sdk } from "./plugins-registry.mjs";

afterEach(() => Sidecar.killAll());

/** A plug-ins folder as the store leaves it, with the two-tool fixture under two package names. */
function pluginsFolder(root, names) {
  const dir = join(root, "selvina-voice", "plugins");
  mkdirSync(join(dir, "node_modules"), { recursive: true });
  writeFileSync(join(dir, "package.json"), JSON.stringify({ dependencies: Object.fromEntries(names.map((n) => [n, "1.0.0"])) }));
  for (const name of names) {
    cpSync(join(fixtures, "mcp-dwa"), join(dir, "node_modules", name), { recursive: true });
    writeFileSync(join(dir, "node_modules", name, "package.json"), JSON.stringify({ name, version: "1.0.0", type: "module", bin: "server" }));
  }
}

test("installed plug-ins reach Claude Code with switched-off tools disallowed; the other engine takes a handed-over task", async () => {
  const data = join(tmpdir(), `selvina-plugins-${process.pid}`);
  pluginsFolder(data, ["mcp-dwa", "mcp-trzy"]);
  const env = { XDG_DATA_HOME: data, SELVINA_PLUGIN_CATALOG: join(data, "brak.json") };
  const s = new Sidecar({
    scenario: "mcp",
    env: { ...env, FIXTURE_MCP_SDK: sdk, CODEX_API_KEY: "sk-test" },
    files: { "plugins.json": { tools: { "mcp-dwa": ["echo"], "mcp-trzy": [] }, toolsKnown: { "mcp-dwa": ["echo", "suma"], "mcp-trzy": ["echo", "suma"] } } },
  });
  assert.deepEqual(await s.run("P", "oddaj: ile procesów?", 20_000), { type: "finished", id: "P", text: "Drugi agent: Działa 212 procesów." });
  const [claude, codex, ...rest] = s.agentStarts().filter((l) => l.argv);
  assert.deepEqual(rest, []);
  assert.deepEqual(Object.keys(claude.mcp.mcpServers).sort(), ["agent", "mcp-dwa"], "a plug-in with no tool on is left out");
  assert.equal(claude.argv[claude.argv.indexOf("--disallowedTools") + 1], "mcp__mcp-dwa__suma");
  assert.deepEqual(s.agentLines("agent.log").find((l) => l.tools)?.tools, { "mcp-dwa": ["echo", "suma"], agent: ["oddaj_zadanie", "czekaj_na_wynik", "przerwij_zadanie"] });
  assert.equal(codex.argv.at(-1), "ile procesów?");
  const handed = codex.argv.join(" ");
  assert.ok(!handed.includes("mcp_servers.agent"), "a handed-over task cannot hand it on");
  assert.ok(handed.includes('mcp_servers.mcp-dwa.disabled_tools=["suma"]') && !handed.includes("mcp-trzy"), "the same plug-ins under Codex");
  await s.close();

  // A plugins.json that is not an object may have lost what the user turned off: nothing runs.
  const again = new Sidecar({ env, files: { "plugins.json": "nie obiekt", "mcp.json": [] } });
  await again.run("B", "cokolwiek", 20_000);
  assert.deepEqual(again.agentStarts()[0].mcp.mcpServers, {});
  assert.match(again.stderr, /\[wtyczki\] plugins\.json jest uszkodzony — nie uruchamiam żadnej wtyczki/);
  const mcpOnly = new Sidecar({ env, files: { "mcp.json": [] } });
  await mcpOnly.run("M", "cokolwiek", 20_000);
  assert.deepEqual(Object.keys(mcpOnly.agentStarts()[0].mcp.mcpServers).sort(), ["mcp-dwa", "mcp-trzy"], "the installed ones still run");
  assert.match(mcpOnly.stderr, /\[wtyczki\] mcp\.json jest uszkodzony — pomijam wpisane w nim serwery/);
  await Promise.all([again.close(), mcpOnly.close()]);
  rmSync(data, { recursive: true, force: true });
});
