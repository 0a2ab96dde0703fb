// A loopback stand-in for the OpenAI Responses API (HTTP streaming only: WebSocket upgrades are
// refused, so Codex falls back to it), answering every turn with one assistant message. Prints
// its port on stdout.
import { createServer } from "node:http";

const answer = process.env.FAKE_ANSWER || "Działa [[CYTAT]]212[[/CYTAT]] procesów.";
let n = 0;

const server = createServer((req, res) => {
  let raw = "";
  req.on("data", (d) => (raw += d));
  req.on("end", () => {
    const inputs = raw ? (JSON.parse(raw).input ?? []).length : 0;
    process.stderr.write(`${req.method} ${req.url} (${inputs} input items)\n`);
    if (req.method !== "POST" || !req.url.includes("/responses")) {
      res.writeHead(404, { "content-type": "application/json" });
      return res.end(JSON.stringify({ error: { message: "nie ma", type: "not_found" } }));
    }
    const id = `resp_${++n}`;
    const item = { id: `msg_${n}`, type: "message", role: "assistant", status: "completed", content: [{ type: "output_text", text: answer, annotations: [] }] };
    let seq = 0;
    const send = (type, data) => res.write(`event: ${type}\ndata: ${JSON.stringify({ type, sequence_number: seq++, ...data })}\n\n`);
    res.writeHead(200, { "content-type": "text/event-stream" });
    send("response.created", { response: { id, object: "response", status: "in_progress", output: [] } });
    send("response.output_item.added", { output_index: 0, item: { ...item, status: "in_progress", content: [] } });
    send("response.output_text.delta", { item_id: item.id, output_index: 0, content_index: 0, delta: answer });
    send("response.output_item.done", { output_index: 0, item });
    send("response.completed", {
      response: { id, object: "response", status: "completed", output: [item],
        usage: { input_tokens: 10, input_tokens_details: { cached_tokens: 0 }, output_tokens: 5, output_tokens_details: { reasoning_tokens: 0 }, total_tokens: 15 } },
    });
    res.end();
  });
});
server.on("upgrade", (req, socket) => socket.destroy());
server.listen(0, "127.0.0.1", () => process.stdout.write(`${server.address().port}\n`));
