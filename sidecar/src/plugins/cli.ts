// The plug-in store's command line: one command per run, one JSON object on standard output,
// diagnostics on standard error. Exit status 0 on success, 1 when the command failed, 2 for an
// unknown command.
import { diag } from "../protocol.js";
import { type Result, aktualizujWszystko, domyslne, lista, narzedzia, usun, ustawNarzedzia, zainstaluj } from "./store.js";

async function dispatch(command: string | undefined, args: string[]): Promise<Result | undefined> {
  switch (command) {
    case "lista":
      return lista();
    case "zainstaluj":
      return zainstaluj(args[0]);
    case "usun":
      return usun(args[0]);
    case "aktualizuj-wszystko":
      return aktualizujWszystko();
    case "domyslne":
      return domyslne();
    case "narzedzia":
      return narzedzia(args[0]);
    case "ustaw-narzedzia":
      return ustawNarzedzia(args[0], args[1]);
    default:
      return undefined;
  }
}

export async function main(argv: string[]): Promise<never> {
  const [command, ...args] = argv;
  let result: Result | undefined;
  let status: number;
  // The kill sweep's timers do not hold a process open; this one does until the answer is out.
  setInterval(() => {}, 1 << 30);
  try {
    result = await dispatch(command, args);
    status = result === undefined ? 2 : result.ok === false ? 1 : 0;
    result ??= { ok: false, komunikat: `Nieznane polecenie magazynu wtyczek: ${command ?? ""}.` };
  } catch (error) {
    diag(`wtyczki: ${(error as Error)?.stack ?? String(error)}`);
    result = { ok: false, komunikat: "Wewnętrzny błąd magazynu wtyczek." };
    status = 1;
  }
  // Leave at once: a stopped plug-in server must not hold the process with its timers.
  return new Promise<never>(() => process.stdout.write(JSON.stringify(result) + "\n", () => process.exit(status)));
}
