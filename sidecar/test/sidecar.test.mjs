import { test } from "node:test";
import assert from "node:assert/strict";
import { Sidecar, alive, sleep } from "./helpers.mjs";

test("Claude Code: flags, activity, final text, and the session resumed by the next task", async () => {
  const s = new Sidecar();
  s.send({ type: "run", id: "T1", task: "Ile plików mam w Dokumentach?" });
  const done = await s.terminal("T1");
  assert.deepEqual(done, { type: "finished", id: "T1", text: "W Dokumentach są [[CYTAT]]3 pliki[[/CYTAT]]." });
  assert.ok(s.of("T1", "activity").some((l) => l.text === "Uruchamiam polecenie: Liczę pliki w Dokumentach"));

  const [first] = s.agentStarts();
  const argv = first.argv.join(" ");
  for (const part of ["-p", "--input-format stream-json", "--output-format stream-json", "--verbose",
    "--permission-prompt-tool stdio", "--permission-mode default", "--model claude-opus-5", "--effort high", "--strict-mcp-config"])
    assert.ok(argv.includes(part), part);
  const instructions = first.argv[first.argv.indexOf("--append-system-prompt") + 1];
  assert.match(instructions, /niewidomemu/);
  assert.match(instructions, /\[\[CYTAT\]\] i \[\[\/CYTAT\]\]/);
  assert.equal(first.user.message.content, "Ile plików mam w Dokumentach?");
  assert.ok(!first.argv.includes("--resume"));

  s.send({ type: "run", id: "T2", task: "A w Pobranych?" });
  await s.terminal("T2");
  const second = s.agentStarts()[1];
  assert.equal(second.argv[second.argv.indexOf("--resume") + 1], `sesja-${first.pid}`);
  assert.equal(s.state().claude.session, `sesja-${first.pid}`);
  assert.equal(await s.close(), 0);
});

test("two tasks at once run side by side and keep their lines apart", async () => {
  const s = new Sidecar({ scenario: "permission" });
  s.send({ type: "run", id: "R1", task: "pierwsze" });
  s.send({ type: "run", id: "R2", task: "drugie" });
  await s.waitFor((l) => l.id === "R1" && l.type === "confirm_required");
  await s.waitFor((l) => l.id === "R2" && l.type === "confirm_required");
  s.send({ type: "confirm", id: "R2", approved: true });
  assert.equal((await s.terminal("R2")).text, "Utworzyłem plik.");
  assert.equal(s.of("R1").filter((l) => l.type === "finished").length, 0, "the other task still waits for its answer");
  s.send({ type: "confirm", id: "R1", approved: true });
  assert.equal((await s.terminal("R1")).text, "Utworzyłem plik.");
  assert.equal(new Set(s.agentStarts().filter((e) => e.argv).map((e) => e.pid)).size, 2);
  await s.close();
});

test("memory off (0 hours) starts every task afresh; a resumed session that is gone is replaced", async () => {
  const off = new Sidecar({ config: { sesja_godziny: 0 } });
  for (const id of ["A", "B"]) {
    off.send({ type: "run", id, task: "x" });
    await off.terminal(id);
  }
  assert.ok(off.agentStarts().every((start) => !start.argv.includes("--resume")));
  await off.close();

  const stale = new Sidecar({ config: { sesja_godziny: -1 } });
  // A state file naming a session the agent no longer knows.
  const { mkdirSync, writeFileSync } = await import("node:fs");
  mkdirSync(`${stale.home}/state/selvina-voice`, { recursive: true });
  writeFileSync(`${stale.home}/state/selvina-voice/sidecar-state.json`, JSON.stringify({ claude: { session: "nieistniejaca", usedAt: 0 } }));
  stale.send({ type: "run", id: "C", task: "x" });
  assert.equal((await stale.terminal("C")).type, "finished");
  await stale.close();
});

test("a permission request becomes confirm_required and the step runs after confirm", async () => {
  const s = new Sidecar({ scenario: "permission" });
  s.send({ type: "run", id: "P", task: "Utwórz plik" });
  const ask = await s.waitFor((l) => l.type === "confirm_required");
  assert.equal(ask.id, "P");
  assert.match(ask.intent, /touch \/tmp\/selvina-plik\.txt/);
  s.send({ type: "confirm", id: "P", approved: true });
  assert.equal((await s.terminal("P")).text, "Utworzyłem plik.");
  assert.equal(s.agentStarts()[1].answer.response.response.behavior, "allow");
  await s.close();
});

test("a long silent step is covered by heartbeats; an agent silent past the limit is stopped", async () => {
  const s = new Sidecar({ scenario: "silent-long", env: { FAKE_SILENT_MS: "1200" } });
  s.send({ type: "run", id: "L", task: "długo" });
  await s.terminal("L");
  assert.ok(s.of("L", "heartbeat").length >= 5, `heartbeats: ${s.of("L", "heartbeat").length}`);
  await s.close();

  const hung = new Sidecar({ scenario: "silent-long", env: { FAKE_SILENT_MS: "60000", SELVINA_AGENT_INACTIVITY_MS: "500" } });
  hung.send({ type: "run", id: "H", task: "x" });
  const failed = await hung.terminal("H");
  assert.equal(failed.type, "failed");
  assert.match(failed.error, /nie dał znaku życia/);
  await sleep(600);
  assert.ok(!alive(hung.agentStarts()[0].pid), "the silent agent was killed");
  await hung.close();
});

test("an agent that crashes, one that is not logged in, and a result that is an error all fail in Polish", async () => {
  const crash = new Sidecar({ scenario: "crash" });
  crash.send({ type: "run", id: "X", task: "x" });
  assert.deepEqual(await crash.terminal("X"), { type: "failed", id: "X", error: "Claude Code zakończył pracę bez wyniku (kod 3)." });
  await crash.close();

  const out = new Sidecar({ env: { FAKE_CLAUDE_LOGGED_OUT: "1" } });
  out.send({ type: "run", id: "N", task: "x" });
  assert.match((await out.terminal("N")).error, /Claude Code nie jest zalogowany/);
  assert.equal(out.agentStarts().length, 0, "no run without a login");
  await out.close();

  const err = new Sidecar({ scenario: "not-logged-in" });
  err.send({ type: "run", id: "E", task: "x" });
  const line = await err.terminal("E");
  assert.equal(line.type, "failed", "an error result is never spoken as the answer");
  await err.close();
});

test("cancel mid-task kills the agent and its children and says nothing more about the task", async () => {
  const s = new Sidecar({ scenario: "ignore-sigterm-with-child" });
  s.send({ type: "run", id: "K", task: "x" });
  await s.waitFor((l) => l.id === "K" && l.text === "Uruchamiam polecenie: Czekam");
  const [start, { child }] = s.agentStarts();
  s.send({ type: "cancel", id: "K" });
  await sleep(800);
  assert.ok(!alive(start.pid), "agent gone");
  assert.ok(!alive(child), "its child gone");
  assert.equal(s.of("K").filter((l) => l.type === "finished" || l.type === "failed").length, 0);
  await s.close();
});

test("shutdown ends running tasks and the process at once", async () => {
  const s = new Sidecar({ scenario: "ignore-sigterm-with-child" });
  s.send({ type: "run", id: "S", task: "x" });
  await s.waitFor((l) => l.id === "S" && l.text === "Uruchamiam polecenie: Czekam");
  const began = Date.now();
  s.send({ type: "shutdown" });
  assert.equal(await s.exited, 0);
  assert.ok(Date.now() - began < 500, "left before the application's 0.5 s kill");
  await sleep(100);
  assert.ok(!alive(s.agentStarts()[0].pid));
});

test("Codex CLI: chosen by config, exec flags, plug-ins as -c, reconnect notes are not terminal", async () => {
  const s = new Sidecar({
    config: { reasoning_engine: "codex", codex_effort: "low" },
    // An API key in the environment runs although the stored login is missing.
    env: { CODEX_API_KEY: "sk-test", FAKE_CODEX_LOGGED_OUT: "1" },
    files: {
      "mcp.json": { mcpServers: { dom: { command: "dom-mcp", args: ["--port", "1"] }, poczta: { command: "mail-mcp" } } },
      "plugins.json": { disabled: ["poczta"], tools: { dom: ["swiatlo"] }, toolsKnown: { dom: ["swiatlo", "zamek"] } },
    },
  });
  s.send({ type: "run", id: "C", task: "-ile procesów?" });
  assert.deepEqual(await s.terminal("C"), { type: "finished", id: "C", text: "Działa 212 procesów." });
  assert.ok(s.of("C", "progress").some((l) => l.text === "Ponawiam połączenie z modelem."));
  assert.ok(s.of("C", "activity").some((l) => l.text.startsWith("Uruchamiam polecenie: bash -lc")));
  const argv = s.agentStarts()[0].argv;
  const joined = argv.join(" ");
  for (const part of ["exec --json --skip-git-repo-check", "-s danger-full-access", 'model_reasoning_effort="low"',
    'mcp_servers.dom.command="dom-mcp"', 'mcp_servers.dom.args=["--port", "1"]', "mcp_servers.dom.tool_timeout_sec=20",
    'mcp_servers.dom.disabled_tools=["zamek"]'])
    assert.ok(joined.includes(part), part);
  assert.ok(!joined.includes("poczta"), "a disabled plug-in stays out");
  assert.deepEqual(argv.slice(-2), ["--", "-ile procesów?"]);
  await s.close();
});

test("Claude Code gets only the enabled plug-ins in its MCP file", async () => {
  const s = new Sidecar({
    files: {
      "mcp.json": { mcpServers: { dom: { type: "stdio", command: "dom-mcp" }, notatki: { command: "n" }, pusty: { command: "p" } } },
      "plugins.json": { disabled: ["notatki"], tools: { pusty: [] } },
    },
  });
  s.send({ type: "run", id: "M", task: "x" });
  await s.terminal("M");
  assert.deepEqual(Object.keys(s.agentStarts()[0].mcp.mcpServers), ["dom"]);
  await s.close();
});
