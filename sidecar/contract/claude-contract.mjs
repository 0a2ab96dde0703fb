// Contract check against the real Claude Code (not run in CI): the built sidecar drives the
// `claude` found on PATH against a loopback stand-in for the model API, through a permission
// request, to its final text. Usage: node contract/claude-contract.mjs (after npm run build).
import { spawn } from "node:child_process";
import { existsSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const target = "/tmp/selvina-contract.txt";
rmSync(target, { force: true });

const model = spawn(process.execPath, [join(here, "fake-anthropic.mjs")], { stdio: ["ignore", "pipe", "inherit"], env: { ...process.env, FAKE_COMMAND: `touch ${target}` } });
const port = await new Promise((resolve) => createInterface({ input: model.stdout }).once("line", resolve));
const home = mkdtempSync(join(tmpdir(), "selvina-contract-"));
const sidecar = spawn(process.execPath, [join(here, "..", "dist", "index.js")], {
  stdio: ["pipe", "pipe", "inherit"],
  env: {
    ...process.env,
    HOME: home,
    SELVINA_AGENT_DIR: home,
    ANTHROPIC_BASE_URL: `http://127.0.0.1:${port}`,
    ANTHROPIC_API_KEY: "sk-ant-contract",
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
  if (m.type === "finished" || m.type === "failed") {
    clearTimeout(timer);
    const ok = m.type === "finished" && existsSync(target);
    console.log(ok ? "KONTRAKT: zgodny" : "KONTRAKT: NIEZGODNY");
    sidecar.stdin.end();
    model.kill();
    rmSync(home, { recursive: true, force: true });
    process.exitCode = ok ? 0 : 1;
  }
});
send({ type: "run", id: "KONTRAKT-1", task: "Utwórz plik kontrolny." });
