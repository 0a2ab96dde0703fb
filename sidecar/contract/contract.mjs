// Contract check against the real agent CLIs (run by hand, not in CI): the built sidecar drives
// the `claude` or `codex` found on PATH against a loopback stand-in for the model API, to the
// final text. Claude Code is also taken through a permission request (a shell command whose
// file must appear). A second task follows, which resumes the first one's session. Two plug-ins
// carry secrets: a stdio one must see its variable, an HTTP one its headers.
// Usage: node contract/contract.mjs claude|codex   (after npm run build)
import { spawn } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";

const engine = process.argv[2] === "codex" ? "codex" : "claude";
const here = dirname(fileURLToPath(import.meta.url));
const target = "/tmp/selvina-contract.txt";
rmSync(target, { force: true });

const fake = engine === "claude" ? "fake-anthropic.mjs" : "fake-openai.mjs";
const model = spawn(process.execPath, [join(here, fake)], { stdio: ["ignore", "pipe", "inherit"], env: { ...process.env, FAKE_COMMAND: `touch ${target}` } });
const port = await new Promise((resolve) => createInterface({ input: model.stdout }).once("line", resolve));
const home = mkdtempSync(join(tmpdir(), "selvina-contract-"));
mkdirSync(join(home, ".config", "selvina-voice"), { recursive: true });
writeFileSync(join(home, ".config", "selvina-voice", "config.json"), JSON.stringify({ reasoning_engine: engine, codex_model: engine === "codex" ? "gpt-5-codex" : "" }));

// The plug-ins only record what reached them; the agent finds them broken and goes on.
const headers = [];
const remote = createServer((req, res) => (headers.push(req.headers), req.resume(), res.writeHead(404).end()));
await new Promise((resolve) => remote.listen(0, "127.0.0.1", resolve));
const record = join(home, "plugin-env.json");
writeFileSync(join(home, "plugin.mjs"), `import { writeFileSync } from "node:fs"; writeFileSync(${JSON.stringify(record)}, JSON.stringify(process.env));`);
writeFileSync(join(home, ".config", "selvina-voice", "mcp.json"), JSON.stringify({ mcpServers: {
  lokalny: { command: process.execPath, args: [join(home, "plugin.mjs")], env: { KONTRAKT_KLUCZ: "sk-'lokalny'" } },
  zdalny: { type: "http", url: `http://127.0.0.1:${remote.address().port}/mcp`, headers: { Authorization: "Bearer tok-zdalny", "X-Api-Key": "klucz-zdalny" } },
} }));
const pluginsOk = () =>
  existsSync(record) && JSON.parse(readFileSync(record, "utf8")).KONTRAKT_KLUCZ === "sk-'lokalny'" &&
  headers.some((h) => h.authorization === "Bearer tok-zdalny" && h["x-api-key"] === "klucz-zdalny");
mkdirSync(join(home, ".codex"), { recursive: true });
writeFileSync(join(home, ".codex", "config.toml"), `openai_base_url = "http://127.0.0.1:${port}/v1"\n`);

const sidecar = spawn(process.execPath, [join(here, "..", "dist", "index.js")], {
  stdio: ["pipe", "pipe", "inherit"],
  env: {
    ...process.env,
    HOME: home,
    SELVINA_AGENT_DIR: home,
    ANTHROPIC_BASE_URL: `http://127.0.0.1:${port}`,
    ANTHROPIC_API_KEY: "sk-ant-contract",
    CODEX_API_KEY: "sk-contract",
    CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC: "1",
    DISABLE_AUTOUPDATER: "1",
  },
});
const send = (o) => sidecar.stdin.write(JSON.stringify(o) + "\n");
const timer = setTimeout(() => {
  console.error("KONTRAKT: brak wyniku po 120 s");
  process.exit(2);
}, 120_000);
createInterface({ input: sidecar.stdout }).on("line", (line) => {
  console.log(line);
  const m = JSON.parse(line);
  if (m.type === "confirm_required") send({ type: "confirm", id: m.id, approved: true });
  if (m.id === "KONTRAKT-1" && m.type === "finished") {
    send({ type: "run", id: "KONTRAKT-2", task: "A teraz powiedz, co zrobiłeś." });
    return;
  }
  if (m.type === "finished" || m.type === "failed") {
    clearTimeout(timer);
    const ok = m.type === "finished" && (engine === "codex" || existsSync(target)) && pluginsOk();
    console.log(ok ? "KONTRAKT: zgodny" : `KONTRAKT: NIEZGODNY${pluginsOk() ? "" : " (wtyczki nie dostały sekretów)"}`);
    sidecar.stdin.end();
    model.kill();
    remote.close();
    rmSync(home, { recursive: true, force: true });
    process.exitCode = ok ? 0 : 1;
  }
});
send({ type: "run", id: "KONTRAKT-1", task: "Utwórz plik kontrolny." });
