// A sidecar that answers every run with FLOOD_LINES progress lines of FLOOD_BYTES bytes, then finished.
"use strict";
const lines = Number(process.env.FLOOD_LINES) || 100000;
const pad = "x".repeat(Number(process.env.FLOOD_BYTES) || 100);
require("node:readline").createInterface({ input: process.stdin }).on("line", (l) => {
  const m = JSON.parse(l);
  if (m.type !== "run") return;
  let chunk = "";
  for (let i = 0; i < lines; i++) {
    chunk += JSON.stringify({ type: "progress", id: m.id, text: pad }) + "\n";
    if (chunk.length > 65536) { process.stdout.write(chunk); chunk = ""; }
  }
  process.stdout.write(chunk + JSON.stringify({ type: "finished", id: m.id, text: "koniec" }) + "\n");
});
