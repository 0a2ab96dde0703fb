// The plug-in store program the application runs with Node.js (see plugins/cli.ts).
import { main } from "./plugins/cli.js";

void main(process.argv.slice(2));
