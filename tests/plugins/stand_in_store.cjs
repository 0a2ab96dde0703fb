// A stand-in for the plug-in store program. Its behaviour per command comes from the JSON file
// named by STAND_IN_STORE (command -> {stdout, stderr: [lines], exit, hang, childPidFile}); a
// command without an entry answers {"ok": true}. Every call is appended to STAND_IN_STORE + ".calls"
// as one JSON array line.
'use strict';
const fs = require('fs');
const { spawn } = require('child_process');

const args = process.argv.slice(2);
const file = process.env.STAND_IN_STORE;
const table = file && fs.existsSync(file) ? JSON.parse(fs.readFileSync(file, 'utf8')) : {};
if (file) fs.appendFileSync(file + '.calls', JSON.stringify(args) + '\n');
const plan = table[args[0]] || { stdout: { ok: true } };

for (const line of plan.stderr || []) process.stderr.write(line + '\n');
if (plan.hang) {
  if (plan.childPidFile) {
    const child = spawn(process.execPath, ['-e', 'setInterval(() => {}, 1000)'], { stdio: 'ignore' });
    fs.writeFileSync(plan.childPidFile, String(child.pid));
  }
  setInterval(() => {}, 1000);
} else {
  if (plan.stdout !== undefined)
    process.stdout.write(typeof plan.stdout === 'string' ? plan.stdout : JSON.stringify(plan.stdout));
  process.exitCode = plan.exit || 0;
}
