// A loopback stand-in for the Anthropic Messages API, enough for Claude Code to run one task:
// the first turn asks to run a shell command (so the permission round trip is exercised), the
// turn after the tool result answers in text. Prints its port on stdout.
import { createServer } from "node:http";

const command = process.env.FAKE_COMMAND || "touch /tmp/selvina-contract.txt";
const answer = process.env.FAKE_ANSWER || "Utworzyłem plik [[CYTAT]]/tmp/selvina-contract.txt[[/CYTAT]].";

function blocks(body) {
  const answeredTool = (body.messages ?? []).some(
    (m) => Array.isArray(m.content) && m.content.some((c) => c.type === "tool_result"),
  );
  const hasBash = (body.tools ?? []).some((t) => t.name === "Bash");
  if (hasBash && !answeredTool)
    return [{ type: "tool_use", id: "toolu_contract", name: "Bash", input: { command, description: "Tworzę plik" } }];
  return [{ type: "text", text: hasBash ? answer : "ok" }];
}

function sse(res, model, content) {
  const send = (event, data) => res.write(`event: ${event}\ndata: ${JSON.stringify({ type: event, ...data })}\n\n`);
  res.writeHead(200, { "content-type": "text/event-stream", "cache-control": "no-cache" });
  send("message_start", { message: { id: "msg_contract", type: "message", role: "assistant", model, content: [], stop_reason: null, stop_sequence: null, usage: { input_tokens: 10, output_tokens: 1 } } });
  content.forEach((block, index) => {
    if (block.type === "tool_use") {
      send("content_block_start", { index, content_block: { type: "tool_use", id: block.id, name: block.name, input: {} } });
      send("content_block_delta", { index, delta: { type: "input_json_delta", partial_json: JSON.stringify(block.input) } });
    } else {
      send("content_block_start", { index, content_block: { type: "text", text: "" } });
      send("content_block_delta", { index, delta: { type: "text_delta", text: block.text } });
    }
    send("content_block_stop", { index });
  });
  const stop = content.some((b) => b.type === "tool_use") ? "tool_use" : "end_turn";
  send("message_delta", { delta: { stop_reason: stop, stop_sequence: null }, usage: { output_tokens: 20 } });
  send("message_stop", {});
  res.end();
}

const server = createServer((req, res) => {
  let raw = "";
  req.on("data", (d) => (raw += d));
  req.on("end", () => {
    process.stderr.write(`${req.method} ${req.url}\n`);
    if (!req.url.startsWith("/v1/messages")) {
      res.writeHead(404, { "content-type": "application/json" });
      return res.end(JSON.stringify({ type: "error", error: { type: "not_found_error", message: "nie ma" } }));
    }
    const body = raw ? JSON.parse(raw) : {};
    if (req.url.startsWith("/v1/messages/count_tokens")) {
      res.writeHead(200, { "content-type": "application/json" });
      return res.end(JSON.stringify({ input_tokens: 10 }));
    }
    const content = blocks(body);
    if (body.stream) return sse(res, body.model, content);
    res.writeHead(200, { "content-type": "application/json" });
    res.end(JSON.stringify({ id: "msg_contract", type: "message", role: "assistant", model: body.model, content, stop_reason: content[0].type === "tool_use" ? "tool_use" : "end_turn", stop_sequence: null, usage: { input_tokens: 10, output_tokens: 20 } }));
  });
});
server.listen(0, "127.0.0.1", () => process.stdout.write(`${server.address().port}\n`));
