// The packed tarballs installed into an empty project, where the README's example runs as written,
// require() and import() both start the real exe (under Wine), the shipped types check a
// consumer's code as strictly as a host may compile it, and on Linux the simulator comes with the
// client and starts.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, describe, test } from "node:test";

import { repoRoot } from "../schema.js";
import { missing, wineEnv } from "../wine.js";

const skip = missing();
const scratch = mkdtempSync(join(tmpdir(), "padbridge-npm-"));
after(() => rmSync(scratch, { recursive: true, force: true }));

function run(file: string, args: string[], cwd: string, env: NodeJS.ProcessEnv = process.env): string {
  return execFileSync(file, args, { cwd, env, encoding: "utf8", stdio: ["ignore", "pipe", "pipe"], timeout: 120_000 });
}

/** The tarballs of scripts/package-npm: those scripts/test made, or packed afresh here. */
function tarballs(): { client: string; platform: string; simulator: string } {
  const version = (JSON.parse(readFileSync(join(repoRoot, "clients/node/package.json"), "utf8")) as { version: string }).version;
  let dir = process.env.PADBRIDGE_NPM_DIST;
  if (dir === undefined) {
    dir = join(scratch, "dist");
    run(join(repoRoot, "scripts/package-npm"), [dir], repoRoot);
  }
  return {
    client: join(dir, `padbridge-${version}.tgz`),
    platform: join(dir, `padbridge-win32-x64-${version}.tgz`),
    simulator: join(dir, `padbridge-linux-x64-sim-${version}.tgz`),
  };
}

/** An empty project with both packed packages installed as the README says for Linux. */
function installProject(): string {
  const { client, platform } = tarballs();
  const project = join(scratch, "project");
  mkdirSync(project, { recursive: true });
  writeFileSync(join(project, "package.json"), '{ "name": "scratch", "version": "1.0.0", "private": true }\n');
  // The Windows package on request, nothing from the network.
  const flags = ["--offline", "--no-audit", "--no-fund", "--os=win32", "--cpu=x64"];
  run("npm", ["install", ...flags, "--save-optional", platform], project);
  run("npm", ["install", ...flags, client], project);
  return project;
}

describe("the packed packages in an empty project", { skip }, () => {
  let project = "";
  before(() => (project = installProject()));

  test("on Linux x64 the client brings padbridge-sim, which starts without Wine", { skip: process.platform !== "linux" }, () => {
    const { client, simulator } = tarballs();
    const linux = join(scratch, "linux");
    mkdirSync(linux, { recursive: true });
    writeFileSync(join(linux, "package.json"), '{ "name": "scratch", "version": "1.0.0", "private": true }\n');
    const flags = ["--offline", "--no-audit", "--no-fund"];
    run("npm", ["install", ...flags, "--save-optional", simulator], linux);
    run("npm", ["install", ...flags, client], linux);
    const manifest = JSON.parse(readFileSync(join(linux, "node_modules/padbridge/package.json"), "utf8")) as Record<string, unknown>;
    assert.deepEqual(Object.keys(manifest.optionalDependencies as object), ["@padbridge/win32-x64", "@padbridge/linux-x64-sim"]);
    for (const field of ["repository", "homepage", "bugs"]) assert.ok(!(field in manifest), field);
    writeFileSync(
      join(linux, "start.mjs"),
      [
        'import { startBridge } from "padbridge";',
        "const bridge = await startBridge({ simulator: true });",
        "const exit = await bridge.stop();",
        "console.log(JSON.stringify([bridge.capabilities.gamepadBackend, exit.code]));",
        "",
      ].join("\n"),
    );
    assert.deepEqual(JSON.parse(run(process.execPath, ["start.mjs"], linux)), ["Xbox 360 (ViGEmBus)", 0]);
  });

  test("the README's example runs", () => {
    const readme = readFileSync(join(repoRoot, "clients/node/README.md"), "utf8");
    const example = /## Example\n[^#]*?```js\n([\s\S]*?)```/.exec(readme)?.[1];
    assert.ok(example !== undefined, "the README has an Example section with a js block");
    writeFileSync(join(project, "example.mjs"), example);
    const output = run(process.execPath, ["example.mjs"], project, wineEnv());
    // No gamepad driver under Wine: the pad's lines are answered with driver_required, once.
    assert.match(output, /^backend: No gamepad driver installed$/m);
    assert.equal(output.match(/^bridge error: driver_required$/gm)?.length, 1, output);
    assert.match(output, /^exit code: 0$/m);
  });

  // The same objects whichever way the package is loaded, and each way starts the real exe.
  const loaders: [string, string, string][] = [
    ["require()", "start.cjs", 'const padbridge = require("padbridge");\nmain(padbridge);\n'],
    ["import()", "start.mjs", 'const padbridge = await import("padbridge");\nmain(padbridge);\n'],
  ];
  for (const [name, file, load] of loaders) {
    test(`${name} starts the real exe`, () => {
      const main = [
        "async function main({ startBridge, PadbridgeError }) {",
        '  const bridge = await startBridge({ command: ["wine"] });',
        '  const refused = await bridge.desktop.disable({ timeoutMs: 20000 });',
        "  const exit = await bridge.stop();",
        "  const late = await bridge.probe().catch((error) => error instanceof PadbridgeError && error.code);",
        "  console.log(JSON.stringify([bridge.capabilities.type, refused, exit.code, late]));",
        "}",
      ].join("\n");
      writeFileSync(join(project, file), `${main}\n${load}`);
      const output = run(process.execPath, [file], project, wineEnv());
      assert.deepEqual(JSON.parse(output), ["capabilities", false, 0, "ended"]);
    });
  }

  test("the shipped types check a consumer's code, strict, exact optional types, libraries checked", () => {
    writeFileSync(
      join(project, "consumer.mts"),
      [
        'import { once } from "node:events";',
        'import { startBridge, PadbridgeError, keyNames, type KeyName, type ErrorLine, type StartOptions, type PadState } from "padbridge";',
        'const good: KeyName = "NumpadEnter";',
        "// @ts-expect-error: not a key the bridge knows",
        'const bad: KeyName = "F13";',
        "// Option fields take undefined, for hosts that pass their own optional settings on.",
        'const options: StartOptions = { exe: undefined, command: ["wine"], signal: AbortSignal.timeout(60_000), trace: undefined };',
        "export async function main(): Promise<number | null> {",
        "  await using bridge = await startBridge(options);",
        '  bridge.on("failure", (line: ErrorLine) => console.log(line.code));',
        '  bridge.on("lightbar", (line) => console.log(line.red + line.green + line.blue));',
        "  // @ts-expect-error: no such event",
        '  bridge.on("rumbled", () => {});',
        "  // @ts-expect-error: starting is startBridge's business",
        "  void bridge.start();",
        "  // @ts-expect-error: no constructor a host can call",
        "  new (bridge.constructor as typeof import(\"padbridge\").Bridge)();",
        '  const state: PadState = { axes: [0, 0, 0, 0], buttons: new Array<number>(18).fill(0), pad: "dualshock4", touch: [] };',
        "  bridge.pad(0).set(state);",
        "  // @ts-expect-error: a pad kind the bridge does not know",
        '  bridge.pad(1).set({ ...state, pad: "dualsense" });',
        "  bridge.desktop.key(good, true);",
        '  bridge.desktop.button("forward", true);',
        "  bridge.desktop.scroll(1, -1);",
        "  bridge.desktop.point(0.5, 0.5);",
        '  const [exit] = await once(bridge, "exit");',
        "  try {",
        "    await bridge.probe({ timeoutMs: 1000 });",
        "  } catch (error) {",
        "    if (error instanceof PadbridgeError) console.log(error.code === \"timeout\", error.cause);",
        "  }",
        "  console.log(bad, keyNames.length, exit, bridge.desktop.enabled, bridge.pad(0).active, bridge.running);",
        "  return (await bridge.stop()).code;",
        "}",
        "",
      ].join("\n"),
    );
    writeFileSync(
      join(project, "consumer.cts"),
      [
        'import padbridge = require("padbridge");',
        "export async function main(): Promise<boolean> {",
        "  const bridge = await padbridge.startBridge({ restart: true, vjoyDll: undefined });",
        '  const code: padbridge.PadbridgeErrorCode = "restarting";',
        "  const exit: padbridge.ExitInfo = await bridge.stop();",
        "  return bridge.running && code.length > 0 && exit.restarting;",
        "}",
        "",
      ].join("\n"),
    );
    const modules = join(repoRoot, "clients/node/node_modules");
    run(process.execPath, [join(modules, "typescript/bin/tsc"), "--noEmit", "--strict", "--exactOptionalPropertyTypes",
      "--module", "nodenext", "--moduleResolution", "nodenext", "--target", "es2022", "--types", "node",
      "--typeRoots", join(modules, "@types"), "consumer.mts", "consumer.cts"], project);
  });
});
