import { afterEach, test } from "node:test";
import assert from "node:assert/strict";
import { cpSync, existsSync, mkdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { Sidecar, alive, occupyPid, startTime, until } from "./helpers.mjs";
import { fixtures, sdk } from "./plugins-registry.mjs";

const terminal = (l) => l.type === "finished" || l.type === "failed";
afterEach(() => Sidecar.killAll());

test("Claude Code: flags, the enabled plug-ins in a file gone with it, activity, final text, the session resumed next", async () => {
  const s = new Sidecar({
    files: {
      "mcp.json": { mcpServers: { dom: { type: "stdio", command: "dom-mcp" }, notatki: { command: "n" }, pusty: { command: "p" } } },
      "plugins.json": { disabled: ["notatki"], tools: { pusty: [] } },
    },
  });
  const done = await s.run("T1", "Ile plików mam w Dokumentach?");
  assert.deepEqual(done, { type: "finished", id: "T1", text: "W Dokumentach są [[CYTAT]]3 pliki[[/CYTAT]]." });
  assert.ok(s.of("T1", "activity").some((l) => l.text === "Uruchamiam polecenie: Liczę pliki w Dokumentach"));

  const [first] = s.agentStarts();
  const argv = first.argv.join(" ");
  for (const part of ["-p", "--input-format stream-json", "--output-format stream-json", "--verbose",
    "--permission-prompt-tool stdio", "--permission-mode default", "--model claude-opus-5", "--effort high", "--strict-mcp-config"])
    assert.ok(argv.includes(part), part);
  assert.match(first.argv[first.argv.indexOf("--append-system-prompt") + 1], /\[\[CYTAT\]\] i \[\[\/CYTAT\]\]/);
  assert.equal(first.user.message.content, "Ile plików mam w Dokumentach?");
  assert.ok(!first.argv.includes("--resume"));
  assert.deepEqual(Object.keys(first.mcp.mcpServers), ["dom"]);

  await s.run("T2", "A w Pobranych?");
  const second = s.agentStarts()[1];
  assert.equal(second.argv[second.argv.indexOf("--resume") + 1], `sesja-${first.pid}`);
  assert.equal(JSON.parse(readFileSync(join(s.home, "state/selvina-voice/sidecar-state.json"))).claude.session, `sesja-${first.pid}`);
  assert.equal(await s.close(), 0);
  assert.ok(!existsSync(first.argv[first.argv.indexOf("--mcp-config") + 1]), "the plug-in file went with the agent");
});

test("permission requests of two tasks side by side, each step run after its confirm; a second run under a live id stops it with one failed line", async () => {
  const s = new Sidecar({ scenario: "permission" });
  s.send({ type: "run", id: "R1", task: "pierwsze" });
  s.send({ type: "run", id: "R2", task: "drugie" });
  await s.waitFor((l) => l.id === "R1" && l.type === "confirm_required");
  assert.match((await s.waitFor((l) => l.id === "R2" && l.type === "confirm_required")).intent, /touch \/tmp\/selvina-plik\.txt/);
  s.send({ type: "confirm", id: "R2", approved: true });
  assert.equal((await s.terminal("R2")).text, "Utworzyłem plik.");
  assert.equal(s.agentStarts().find((e) => e.answer).answer.response.response.behavior, "allow");
  assert.equal(s.of("R1").filter(terminal).length, 0, "the other task still waits for its answer");

  assert.match((await s.run("R1", "jeszcze raz")).error, /^Warstwa namysłu dostała drugie zadanie o tym samym identyfikatorze/);
  const agents = s.agentStarts().filter((e) => e.argv);
  assert.equal(agents.length, 2, "the second run starts no agent");
  const first = agents.find((a) => a.user.message.content === "pierwsze");
  await until(() => !alive(first.pid), "the first run's agent stopped");
  s.send({ type: "confirm", id: "R1", approved: true });
  await s.close();
  assert.equal(s.of("R1").filter(terminal).length, 1, "one terminal line for the id");
});

test("memory off (0 hours) starts every task afresh; a resumed session that is gone is replaced", async () => {
  const [off, stale] = [0, -1].map((hours) => new Sidecar({ config: { sesja_godziny: hours } }));
  // A state file naming a session the agent no longer knows.
  mkdirSync(`${stale.home}/state/selvina-voice`, { recursive: true });
  writeFileSync(`${stale.home}/state/selvina-voice/sidecar-state.json`, JSON.stringify({ claude: { session: "nieistniejaca", usedAt: 0 } }));
  for (const id of ["A", "B"]) await off.run(id);
  assert.ok(off.agentStarts().every((start) => !start.argv.includes("--resume")));
  assert.equal((await stale.run("C")).type, "finished");
  await Promise.all([off.close(), stale.close()]);
});

test("a session a running task holds is resumed by no other task, in its own sidecar or in one running beside it", async () => {
  const old = new Sidecar({ scenario: "silent-long", env: { FAKE_SILENT_MS: "60000" } });
  const remembered = () => {
    const file = join(old.home, "state/selvina-voice/sidecar-state.json");
    return existsSync(file) ? JSON.parse(readFileSync(file, "utf8")).claude?.session : undefined;
  };
  for (const [n, id] of [[1, "A"], [2, "A2"]]) {
    old.send({ type: "run", id, task: "x" });
    await until(() => old.agentStarts().length === n && remembered() === `sesja-${old.agentStarts()[n - 1].pid}`, `agent ${id}`);
  }
  // A sidecar started after a change of settings, while the old one still runs both tasks.
  const beside = new Sidecar({ home: old.home });
  assert.equal((await beside.run("B")).type, "finished");
  assert.deepEqual(old.agentStarts().map((start) => start.argv.includes("--resume")), [false, false, false]);
  await beside.run("C");
  const [, , b, c] = old.agentStarts();
  assert.equal(c.argv[c.argv.indexOf("--resume") + 1], `sesja-${b.pid}`, "a session no task holds is resumed");
  await beside.close();
  await old.close();
});

test("a long silent step is covered by heartbeats; an agent silent past the limit is stopped", async () => {
  const [s, hung] = [{ FAKE_SILENT_MS: "1200" }, { FAKE_SILENT_MS: "60000", SELVINA_AGENT_INACTIVITY_MS: "2000" }]
    .map((env) => new Sidecar({ scenario: "silent-long", env }));
  const [, failed] = await Promise.all([s.run("L", "długo"), hung.run("H")]);
  assert.ok(s.of("L", "heartbeat").length >= 5, `heartbeats: ${s.of("L", "heartbeat").length}`);
  assert.equal(failed.type, "failed");
  assert.match(failed.error, /nie dał znaku życia/);
  // The agent's start record may land after the failure it caused has been read.
  await until(() => hung.agentStarts().length > 0 && !alive(hung.agentStarts()[0].pid), "the silent agent killed");
  await Promise.all([s.close(), hung.close()]);
});

test("an agent that crashes, one that is not logged in, and a result that is an error all fail in Polish", async () => {
  const [crash, out, err] = [{ scenario: "crash" }, { env: { FAKE_CLAUDE_LOGGED_OUT: "1" } }, { scenario: "not-logged-in" }].map((o) => new Sidecar(o));
  const [crashed, refused, errored] = await Promise.all([crash.run("X"), out.run("N"), err.run("E")]);
  assert.deepEqual(crashed, { type: "failed", id: "X", error: "Claude Code zakończył pracę bez wyniku (kod 3)." });
  assert.match(refused.error, /Claude Code nie jest zalogowany/);
  assert.equal(out.agentStarts().length, 0, "no run without a login");
  assert.equal(errored.type, "failed", "an error result is never spoken as the answer");
  await Promise.all([crash, out, err].map((s) => s.close()));
});

test("cancel and shutdown kill each agent with its children and say nothing more; a pid an agent freed is not signalled; a run after shutdown is answered", async (t) => {
  const s = new Sidecar({ scenario: "ignore-sigterm-with-child", env: { SELVINA_AGENT_KILL_GRACE_MS: "1500" } });
  // Each agent waits with a child in a group of its own that ignores SIGTERM.
  const start = async (id, task) => {
    s.send({ type: "run", id, task });
    await s.waitFor((l) => l.id === id && l.text === "Uruchamiam polecenie: Czekam");
    const [{ pid }, { child }] = s.agentStarts().slice(-2);
    return { pid, child, gone: () => !alive(pid) && !alive(child) };
  };
  const stubborn = await start("K", "x");
  s.send({ type: "cancel", id: "K" });
  await until(stubborn.gone, "the agent ignoring SIGTERM and its child killed");

  const leaving = await start("W", "wyjdź");
  const born = startTime(leaving.pid);
  s.send({ type: "cancel", id: "W" });
  await until(() => startTime(leaving.pid) !== born, "the agent reaped");
  // Someone else's process group now goes by the agent's old pid; the sweep is yet to come.
  const decoy = occupyPid(leaving.pid);
  if (decoy) t.after(() => process.kill(decoy, "SIGKILL"));
  if (decoy && alive(leaving.child)) {
    await until(() => !alive(leaving.child), "the child of the agent that left killed by the sweep");
    assert.ok(alive(decoy), "the process now under the agent's old pid was left alone");
  } else t.diagnostic(decoy ? "the sweep came before the pid was taken" : "cannot take the freed pid (not root?): pid reuse not checked");

  const last = await start("S", "x");
  s.send({ type: "shutdown" });
  s.send({ type: "run", id: "late", task: "x" });
  assert.equal(await s.exited, 0);
  assert.deepEqual(s.of("late"), [
    { type: "failed", id: "late", error: "Warstwa namysłu właśnie się zamyka, więc zadanie nie zostało rozpoczęte. Spróbuj ponownie za chwilę." },
  ]);
  await until(last.gone, "the agent running at shutdown and its child killed");
  await s.close();
  assert.deepEqual(["K", "W", "S"].flatMap((id) => s.of(id).filter(terminal)), []);
});

test("Codex CLI: chosen by config, exec flags, plug-ins as -c with their secrets off argv, reconnect notes are not terminal", async () => {
  const secrets = ["sk-sejf-'$tajny'", "tok-zdalny", "klucz-zdalny"];
  const s = new Sidecar({
    config: { reasoning_engine: "codex", codex_effort: "low" },
    // An API key in the environment runs although the stored login is missing.
    env: { CODEX_API_KEY: "sk-test", FAKE_CODEX_LOGGED_OUT: "1", OPENAI_API_KEY: "sk-openai-tajny" },
    files: {
      "mcp.json": {
        mcpServers: {
          dom: { command: "dom-mcp", args: ["--port", "1"] },
          // The recorder writes into the agent's folder, its working directory.
          sejf: { command: "mcp-recorder", args: ["sejf.log", "--tryb", "x"], env: { SEJF_API_KEY: secrets[0] } },
          zdalny: { type: "http", url: "http://127.0.0.1:9/mcp", headers: { Authorization: `Bearer ${secrets[1]}`, "X-Api-Key": secrets[2] } },
        },
      },
      "plugins.json": { tools: { dom: ["swiatlo"] }, toolsKnown: { dom: ["swiatlo", "zamek"] } },
    },
  });
  assert.deepEqual(await s.run("C", "-ile procesów?"), { type: "finished", id: "C", text: "Działa 212 procesów." });
  assert.ok(s.of("C", "progress").some((l) => l.text === "Ponawiam połączenie z modelem."));
  assert.ok(s.of("C", "activity").some((l) => l.text.startsWith("Uruchamiam polecenie: bash -lc")));
  const argv = s.agentStarts()[0].argv;
  const joined = argv.join(" ");
  for (const part of ["exec --json --skip-git-repo-check", "-s danger-full-access", 'model_reasoning_effort="low"',
    // Third-party servers start through env -i and the allowed environment from a private file.
    'mcp_servers.dom.command="/usr/bin/env"', '"dom-mcp", "--port", "1"]', "mcp_servers.dom.tool_timeout_sec=20",
    'mcp_servers.dom.disabled_tools=["zamek"]'])
    assert.ok(joined.includes(part), part);
  assert.deepEqual(argv.slice(-2), ["--", "-ile procesów?"]);

  for (const secret of secrets) assert.ok(!joined.includes(secret.slice(0, 8)), `${secret} not on the command line`);
  const [record] = s.agentLines("sejf.log");
  assert.equal(record.env.SEJF_API_KEY, secrets[0], "the stdio server gets its variable");
  assert.deepEqual([record.env.OPENAI_API_KEY, record.env.CODEX_API_KEY, record.env.HOME], [undefined, undefined, s.home], "and none of the user's keys");
  assert.deepEqual(record.argv, ["--tryb", "x"]);
  assert.deepEqual(s.agentStarts()[0].headers.zdalny, { Authorization: `Bearer ${secrets[1]}`, "X-Api-Key": secrets[2] });
  const envFile = /\/[^"]*selvina-agent-[^"/]+\/[^"]+\.env/.exec(joined)[0];
  await until(() => !existsSync(envFile), "the private file removed with the agent");
  await s.close();
});

test("installed plug-ins reach Claude Code with switched-off tools disallowed; the other engine takes a handed-over task", async () => {
  // A plug-ins folder as the store leaves it, with the two-tool fixture under two package names.
  const data = join(tmpdir(), `selvina-plugins-${process.pid}`);
  const dir = join(data, "selvina-voice", "plugins");
  mkdirSync(join(dir, "node_modules"), { recursive: true });
  writeFileSync(join(dir, "package.json"), JSON.stringify({ dependencies: { "mcp-dwa": "1.0.0", "mcp-trzy": "1.0.0" } }));
  for (const name of ["mcp-dwa", "mcp-trzy"]) {
    cpSync(join(fixtures, "mcp-dwa"), join(dir, "node_modules", name), { recursive: true });
    writeFileSync(join(dir, "node_modules", name, "package.json"), JSON.stringify({ name, version: "1.0.0", type: "module", bin: "server" }));
  }
  // The fixture takes the MCP SDK from a variable the catalogue gives it, and records its environment.
  const envLog = join(data, "serwery-env.log");
  const srodowisko = { FIXTURE_MCP_SDK: sdk, FIXTURE_ENV_LOG: envLog };
  const catalog = { wtyczki: ["mcp-dwa", "mcp-trzy"].map((n) => ({ nazwa: n, pakiet: n, wersja: "1.0.0", srodowisko })) };
  writeFileSync(join(data, "katalog.json"), JSON.stringify(catalog));
  const env = { XDG_DATA_HOME: data, SELVINA_PLUGIN_CATALOG: join(data, "katalog.json") };
  const keys = { CODEX_API_KEY: "sk-codex-tajny", ANTHROPIC_API_KEY: "sk-ant-tajny", OPENAI_API_KEY: "sk-openai-tajny" };
  const s = new Sidecar({
    scenario: "mcp",
    env: { ...env, ...keys },
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
  const started = readFileSync(envLog, "utf8").trim().split("\n").map((l) => JSON.parse(l));
  assert.ok(started.length >= 2, "under both engines");
  for (const e of started) assert.deepEqual([Object.values(keys).filter((k) => Object.values(e).includes(k)), e.FIXTURE_MCP_SDK], [[], sdk]);
  await s.close();

  // A plugins.json that is not an object may have lost what the user turned off: nothing runs.
  const again = new Sidecar({ env, files: { "plugins.json": "nie obiekt", "mcp.json": [] } });
  const mcpOnly = new Sidecar({ env, files: { "mcp.json": [] } });
  await Promise.all([again.run("B", "cokolwiek", 20_000), mcpOnly.run("M", "cokolwiek", 20_000)]);
  assert.deepEqual(again.agentStarts()[0].mcp.mcpServers, {});
  assert.match(again.stderr, /\[wtyczki\] plugins\.json jest uszkodzony — nie uruchamiam żadnej wtyczki/);
  assert.deepEqual(Object.keys(mcpOnly.agentStarts()[0].mcp.mcpServers).sort(), ["mcp-dwa", "mcp-trzy"], "the installed ones still run");
  assert.match(mcpOnly.stderr, /\[wtyczki\] mcp\.json jest uszkodzony — pomijam wpisane w nim serwery/);
  await Promise.all([again.close(), mcpOnly.close()]);
  rmSync(data, { recursive: true, force: true });
});
