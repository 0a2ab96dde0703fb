// The store's test bench: a registry stand-in on loopback serving packuments and tarballs made
// from the fixture folders, and the store program run as an ordinary user in a throw-away home.
import { execFile, spawnSync } from "node:child_process";
import { createHash } from "node:crypto";
import { chownSync, cpSync, existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
export const fixtures = join(here, "plugins-fixtures");
export const cli = join(here, "..", "dist", "wtyczki-cli.js");
export const sdk = join(here, "..", "node_modules", "@modelcontextprotocol", "sdk", "dist", "esm");
const NOBODY = 65534;
export const asRoot = process.getuid() === 0;

export class Registry {
  /** packages: [{ fixture, name, versions: [...], badIntegrity, manifest: fields over the fixture's }] */
  async start(packages) {
    this.dir = mkdtempSync(join(tmpdir(), "selvina-registry-"));
    this.packuments = {};
    this.tarballs = {};
    this.tarballHits = 0;
    this.requested = new Set(); // the package names asked for, by packument or tarball
    this.server = createServer((req, res) => {
      const path = decodeURIComponent(req.url.split("?")[0]);
      if (path.startsWith("/-/tarballs/")) {
        this.tarballHits++;
        this.requested.add(this.tarballs[path.slice(12)]);
        const file = join(this.dir, path.slice(12));
        return existsSync(file) ? res.end(readFileSync(file)) : res.writeHead(404).end();
      }
      const doc = this.packuments[path.slice(1)];
      this.requested.add(path.slice(1));
      res.writeHead(doc ? 200 : 404, { "content-type": "application/json" }).end(JSON.stringify(doc ?? { error: "Not found" }));
    });
    await new Promise((r) => this.server.listen(0, "127.0.0.1", r));
    this.url = `http://127.0.0.1:${this.server.address().port}/`;
    for (const p of packages) for (const v of p.versions) this.publish(p, v);
    return this;
  }

  /** A tarball of the fixture folder under the package's name and version, as npm pack lays it out. */
  publish({ fixture, name, badIntegrity, manifest: extra }, version) {
    const file = `${name.replace("/", "-")}-${version}.tgz`;
    this.tarballs[file] = name;
    const work = mkdtempSync(join(tmpdir(), "selvina-pack-"));
    cpSync(join(fixtures, fixture), join(work, "package"), { recursive: true });
    const manifest = { ...JSON.parse(readFileSync(join(work, "package", "package.json"), "utf8")), ...extra, name, version };
    writeFileSync(join(work, "package", "package.json"), JSON.stringify(manifest));
    spawnSync("tar", ["-czf", join(this.dir, file), "-C", work, "package"]);
    rmSync(work, { recursive: true, force: true });
    const data = readFileSync(join(this.dir, file));
    const digest = createHash("sha512").update(badIntegrity ? Buffer.from("inna zawartość") : data).digest("base64");
    const doc = (this.packuments[name] ??= { name, versions: {}, "dist-tags": {} });
    doc.versions[version] = {
      ...manifest,
      dist: { tarball: `${this.url}-/tarballs/${file}`, integrity: `sha512-${digest}`, shasum: createHash("sha1").update(data).digest("hex") },
    };
    doc["dist-tags"].latest = version;
  }

  stop() {
    this.server.close();
    rmSync(this.dir, { recursive: true, force: true });
  }
}

/** The program's JSON answer, or what it printed instead. */
const parsed = (stdout) => { try { return JSON.parse(stdout); } catch { return { unparsed: stdout }; } };

/** A home of an ordinary user (nobody, when the tests run as root) with a catalogue of its own. */
export class StoreHome {
  constructor(registry, catalog = []) {
    this.root = mkdtempSync(join(tmpdir(), "selvina-store-"));
    this.config = join(this.root, ".config", "selvina-voice");
    mkdirSync(this.config, { recursive: true });
    this.catalog = join(this.root, "catalog.json");
    this.plugins = join(this.root, "data", "selvina-voice", "plugins");
    this.setCatalog(catalog);
    this.env = {
      PATH: process.env.PATH,
      HOME: this.root,
      XDG_DATA_HOME: join(this.root, "data"),
      SELVINA_PLUGIN_CATALOG: this.catalog,
      npm_config_registry: registry?.url ?? "http://127.0.0.1:9/",
      npm_config_cache: join(this.root, "npm-cache"),
      npm_config_userconfig: join(this.root, "npmrc"),
      npm_config_fetch_retries: "0",
    };
    this.own();
  }

  setCatalog(entries) {
    writeFileSync(this.catalog, JSON.stringify({ wtyczki: entries }));
  }

  write(name, content) {
    writeFileSync(join(this.config, name), typeof content === "string" ? content : JSON.stringify(content));
    this.own();
  }

  read(name) {
    return JSON.parse(readFileSync(join(this.config, name), "utf8"));
  }

  own() {
    if (!asRoot) return;
    for (const p of ["", ...readdirSync(this.root, { recursive: true })]) chownSync(join(this.root, p), NOBODY, NOBODY);
  }

  /** Runs one store command; resolves to { code, result, stderr }. */
  run(args, { env = {}, root = false, node = process.execPath } = {}) {
    const options = { env: { ...this.env, ...env }, cwd: this.root, ...(asRoot && !root ? { uid: NOBODY, gid: NOBODY } : {}) };
    return new Promise((resolve) => execFile(node, [cli, ...args], options, (error, stdout, stderr) =>
      resolve({ code: error ? error.code : 0, result: parsed(stdout), stderr })));
  }

  remove() {
    rmSync(this.root, { recursive: true, force: true });
  }
}

