// A sidecar the test drives line by line: it connects to the test's local socket, copies every
// line the application writes to its stdin onto that socket, and obeys the test's commands.
// PUPPET_MODE=exit-now leaves at once without a word; one-line writes one line, then leaves.
// {"agent":true} starts a stand-in agent tree and reports its pids.
"use strict";
const net = require("node:net");
const readline = require("node:readline");
const { spawn } = require("node:child_process");

const mode = process.env.PUPPET_MODE || "puppet";
if (mode === "exit-now") process.exit(0);
if (mode === "one-line") {
  process.stdout.write('{"type":"hello"}\n', () => process.exit(0));
  return;
}

const socket = net.connect(process.env.PUPPET_SOCKET);
const tell = (o) => socket.write(JSON.stringify(o) + "\n");
socket.on("connect", () => tell({ hello: process.pid, env: { MCP_TOOL_TIMEOUT: process.env.MCP_TOOL_TIMEOUT, ANTHROPIC_API_KEY: process.env.ANTHROPIC_API_KEY }, cwd: process.cwd() }));
readline.createInterface({ input: process.stdin }).on("line", (line) => tell({ got: line }));
process.stdin.on("end", () => tell({ stdinClosed: true }));
readline.createInterface({ input: socket }).on("line", (line) => {
  const c = JSON.parse(line);
  if (c.out !== undefined) process.stdout.write(c.out);
  if (c.err !== undefined) process.stderr.write(c.err);
  if (c.floodErr) for (let i = 0; i < c.floodErr; i++) process.stderr.write(`szum ${i}\n`);
  if (c.ignoreTerm) process.on("SIGTERM", () => tell({ sigterm: true }));
  if (c.child) {
    const child = spawn("/bin/sh", ["-c", "trap '' TERM; sleep 1000"], { stdio: "ignore" });
    tell({ childPid: child.pid });
  }
  if (c.agent) {
    // An agent as the sidecar starts one: a process group of its own, a child of its own, and
    // both deaf to SIGTERM.
    const agent = spawn("/bin/sh", ["-c", "trap '' TERM; sleep 1000 & echo $!; wait"],
      { detached: true, stdio: ["ignore", "pipe", "ignore"] });
    agent.stdout.once("data", (d) => tell({ agentPid: agent.pid, agentChildPid: Number(String(d).trim()) }));
  }
  if (c.exit !== undefined) process.exit(c.exit);
});
socket.on("close", () => process.exit(0));
