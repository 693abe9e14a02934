// padbridge-sim of the native build, started by the client on Linux with no Wine: the project
// README's example as a host would run it (the client and the simulator package installed in a
// project of its own), and each backend and the trace file as the client asks for them.
import assert from "node:assert/strict";
import { execFile } from "node:child_process";
import { cpSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, symlinkSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, describe, test } from "node:test";

import { startBridge } from "../../src/bridge.js";
import { parseTraceRecord } from "../../src/trace.js";
import { checkLine, loadSchemas, repoRoot, validate, type Schema } from "../schema.js";

const sim = process.env.PADBRIDGE_SIM ?? join(repoRoot, "build/native/padbridge-sim");

/** Why these tests cannot run here; scripts/test sets PADBRIDGE_REQUIRE_SIM so that a missing
 *  build fails instead of skipping. */
function missing(): string | undefined {
  const why = process.platform !== "linux" ? "padbridge-sim is tested on Linux" : !existsSync(sim) ? `${sim} is not built` : undefined;
  if (why !== undefined && process.env.PADBRIDGE_REQUIRE_SIM) throw new Error(why);
  return why;
}

const skip = missing();
const schemas = loadSchemas();
const scratch = mkdtempSync(join(tmpdir(), "padbridge-sim-"));
after(() => rmSync(scratch, { recursive: true, force: true }));

/** The example of the project README's section on testing without Windows. */
function readmeExample(): string {
  const readme = readFileSync(join(repoRoot, "README.md"), "utf8");
  const example = /## Testing your host without Windows\n[^#]*?```js\n([\s\S]*?)```/.exec(readme)?.[1];
  assert.ok(example !== undefined, "the README has the section with a js block");
  return example;
}

/** A project with padbridge (this build of the client) and @padbridge/linux-x64-sim (the native
 *  build's padbridge-sim) in its node_modules, where the client finds the simulator as it would
 *  after `npm install padbridge`. */
function hostProject(): string {
  const project = join(scratch, "host");
  const client = join(project, "node_modules/padbridge");
  const simPackage = join(project, "node_modules/@padbridge/linux-x64-sim");
  mkdirSync(simPackage, { recursive: true });
  // The client's files as the package lays them out: the CommonJS build and the ES module entry.
  cpSync(join(__dirname, "../../src"), client, { recursive: true });
  cpSync(join(repoRoot, "clients/node/esm/index.mjs"), join(client, "index.mjs"));
  const exports = { ".": { import: "./index.mjs", require: "./index.js" } };
  writeFileSync(join(client, "package.json"), JSON.stringify({ name: "padbridge", main: "index.js", exports }) + "\n");
  writeFileSync(join(simPackage, "package.json"), '{ "name": "@padbridge/linux-x64-sim" }\n');
  symlinkSync(sim, join(simPackage, "padbridge-sim"));
  writeFileSync(join(project, "package.json"), '{ "name": "host", "private": true, "type": "module" }\n');
  return project;
}

describe("padbridge-sim through the client", { skip }, () => {
  test("the README's example passes as a host's test", async () => {
    const project = hostProject();
    writeFileSync(join(project, "host.test.mjs"), readmeExample());
    // A run of its own, as the host's, not a test file of this run.
    const env = { ...process.env, NODE_TEST_CONTEXT: undefined };
    const { code, output } = await new Promise<{ code: number; output: string }>((resolve) => {
      execFile(process.execPath, ["--test", "host.test.mjs"], { cwd: project, env, timeout: 60_000 }, (error, stdout, stderr) =>
        resolve({ code: error === null ? 0 : Number(error.code ?? 1), output: stdout + stderr }),
      );
    });
    assert.equal(code, 0, output);
    assert.match(output, /^# pass 1$/m);
  });

  const backends: ["vigem" | "vjoy" | "none", string][] = [
    ["vigem", '"gamepadBackend":"Xbox 360 (ViGEmBus)","vigemBus":"ready"'],
    ["vjoy", '"gamepadBackend":"vJoy DirectInput","vigemBus":"missing"'],
    ["none", '"gamepadBackend":"No gamepad driver installed","vigemBus":"missing"'],
  ];
  for (const [backend, expected] of backends) {
    test(`the ${backend} backend, with the trace in a file`, async () => {
      const path = join(scratch, `${backend}.jsonl`);
      const bridge = await startBridge({ exe: sim, simulator: true, simulatorBackend: backend, trace: path });
      assert.ok(JSON.stringify(bridge.capabilities).includes(expected), JSON.stringify(bridge.capabilities));
      assert.equal((await bridge.stop()).code, 0);
      const records = readFileSync(path, "utf8").split("\n").slice(0, -1).map(parseTraceRecord);
      assert.deepEqual(records[0] && { kind: records[0].kind, t: records[0].t }, { kind: "start", t: 0 });
      assert.ok(records.every((record) => record !== undefined));
      // Each record passes its schema, and each line it shows passes the line's.
      for (const record of records) {
        assert.deepEqual(validate(schemas.get(`trace-${record?.kind}`) as Schema, record), []);
        if (record?.kind === "in" || record?.kind === "out") assert.deepEqual(checkLine(record.kind === "in" ? "sent" : "received", record.line), []);
      }
      assert.deepEqual(records.filter((record) => record?.kind === "probe").map((record) => record?.kind === "probe" && record.backend), [backend]);
    });
  }
});
