// The packed tarballs installed into an empty project, where the README's example runs as written
// (under Wine) and the shipped types check a consumer's code.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, test } from "node:test";

import { repoRoot } from "../schema.js";
import { missing, wineEnv } from "../wine.js";

const skip = missing();
const scratch = mkdtempSync(join(tmpdir(), "padbridge-npm-"));
after(() => rmSync(scratch, { recursive: true, force: true }));

function run(file: string, args: string[], cwd: string, env: NodeJS.ProcessEnv = process.env): string {
  return execFileSync(file, args, { cwd, env, encoding: "utf8", stdio: ["ignore", "pipe", "pipe"], timeout: 120_000 });
}

/** The tarballs of scripts/package-npm: those scripts/test made, or packed afresh here. */
function tarballs(): { client: string; platform: string } {
  const version = (JSON.parse(readFileSync(join(repoRoot, "clients/node/package.json"), "utf8")) as { version: string }).version;
  let dir = process.env.PADBRIDGE_NPM_DIST;
  if (dir === undefined) {
    dir = join(scratch, "dist");
    run(join(repoRoot, "scripts/package-npm"), [dir], repoRoot);
  }
  return { client: join(dir, `padbridge-${version}.tgz`), platform: join(dir, `padbridge-win32-x64-${version}.tgz`) };
}

test("the packed packages install into an empty project and the README's example runs", { skip }, () => {
  const { client, platform } = tarballs();
  const project = join(scratch, "project");
  run("mkdir", ["-p", project], scratch);
  writeFileSync(join(project, "package.json"), '{ "name": "scratch", "version": "1.0.0", "private": true }\n');
  // As the README says for Linux: the Windows package on request, nothing from the network.
  const flags = ["--offline", "--no-audit", "--no-fund", "--os=win32", "--cpu=x64"];
  run("npm", ["install", ...flags, "--save-optional", platform], project);
  run("npm", ["install", ...flags, client], project);

  const readme = readFileSync(join(repoRoot, "clients/node/README.md"), "utf8");
  const example = /## Example\n\n```js\n([\s\S]*?)```/.exec(readme)?.[1];
  assert.ok(example !== undefined, "the README has an Example section with a js block");
  writeFileSync(join(project, "example.mjs"), example);
  const output = run(process.execPath, ["example.mjs"], project, wineEnv());
  // No gamepad driver under Wine: the pad's lines are answered with driver_required.
  assert.match(output, /^backend: No gamepad driver installed$/m);
  assert.match(output, /^bridge error: driver_required$/m);
  assert.match(output, /^exit code: 0$/m);

  // The types ship: a consumer's mistakes are caught by tsc, its correct code passes.
  writeFileSync(
    join(project, "consumer.mts"),
    [
      'import { startBridge, keyNames, type KeyName, type ErrorLine } from "padbridge";',
      'const good: KeyName = "NumpadEnter";',
      '// @ts-expect-error: not a key the bridge knows',
      'const bad: KeyName = "F13";',
      "export async function main(): Promise<number | null> {",
      '  const bridge = await startBridge({ command: ["wine"] });',
      '  bridge.on("failure", (line: ErrorLine) => console.log(line.code));',
      '  bridge.on("rumble", (line) => console.log(line.low + line.high));',
      "  // @ts-expect-error: no such event",
      '  bridge.on("rumbled", () => {});',
      "  bridge.desktop.key(good, true);",
      "  console.log(bad, keyNames.length);",
      "  return (await bridge.stop()).code;",
      "}",
      "",
    ].join("\n"),
  );
  const tsc = join(repoRoot, "clients/node/node_modules/typescript/bin/tsc");
  run(process.execPath, [tsc, "--noEmit", "--strict", "--skipLibCheck", "--module", "nodenext", "--moduleResolution", "nodenext",
    "--target", "es2022", "--types", "node", "--typeRoots", join(repoRoot, "clients/node/node_modules/@types"), "consumer.mts"], project);
});
