// The client against the real padbridge.exe under Wine, with our stand-in vJoy library as the
// pad backend. Every line either way is checked against the schemas.
import assert from "node:assert/strict";
import { afterEach, describe, test } from "node:test";

import { startBridge, type Bridge, type StartOptions } from "../../src/bridge.js";
import type { PadbridgeError } from "../../src/errors.js";
import type { DeviceLine } from "../../src/lines.js";
import { still, zeros } from "../fake.js";
import { checkLine } from "../schema.js";
import { exe, missing, next, sleep, vjoyDouble, wine, wineEnv, windowsPath } from "../wine.js";

const skip = missing();
const vjoyCreated = (player: number) => (line: DeviceLine) =>
  line.player === player && line.created && line.backend === "vJoy DirectInput";
const removed = (player: number) => (line: DeviceLine) => line.player === player && !line.created;

interface Session {
  bridge: Bridge;
  received: string[];
  schemaErrors: string[];
  devices: DeviceLine[];
}

/** Bridges of the running test, stopped after it whatever happened. */
const open: Bridge[] = [];
afterEach(async () => {
  await Promise.all(open.splice(0).map((bridge) => bridge.stop()));
});

async function session(options: StartOptions = {}, env: NodeJS.ProcessEnv = {}): Promise<Session> {
  const received: string[] = [];
  const schemaErrors: string[] = [];
  const bridge = await startBridge({
    exe,
    command: [wine as string],
    vjoyDll: windowsPath(vjoyDouble),
    env: wineEnv(env),
    trace: (direction, line) => {
      if (direction === "received") received.push(line);
      schemaErrors.push(...checkLine(direction, line));
    },
    ...options,
  });
  open.push(bridge);
  const devices: DeviceLine[] = [];
  bridge.on("device", (line) => devices.push(line));
  return { bridge, received, schemaErrors, devices };
}

function checkSchemas(s: Session): void {
  assert.ok(s.received.length > 0);
  assert.deepEqual(s.schemaErrors, []);
}

describe("padbridge.exe under Wine", { skip }, () => {
  test("a pad set once stays alive for seconds; release() removes it", async () => {
    const s = await session();
    assert.equal(s.bridge.capabilities.gamepadBackend, "vJoy DirectInput");
    const created = next(s.bridge, "device", vjoyCreated(0));
    s.bridge.pad(0).set({ axes: [1, 0, 0, 0], buttons: [1, ...zeros(15)] });
    await created;
    await sleep(3000); // three idle limits of the bridge without another set()
    assert.deepEqual(s.devices.filter((line) => !line.created), [], "the pad went while the host still held it");
    const gone = next(s.bridge, "device", removed(0), 1000);
    s.bridge.pad(0).release();
    await gone;
    assert.deepEqual((await s.bridge.stop()).code, 0);
    checkSchemas(s);
  });

  test("stop() ends the bridge with exit 0 after the pad's device line created false", async () => {
    const s = await session();
    const events: string[] = [];
    s.bridge.on("device", (line) => events.push(`device ${line.player} ${line.created}`));
    s.bridge.on("exit", (exit) => events.push(`exit ${exit.code}`));
    const created = next(s.bridge, "device", vjoyCreated(3));
    s.bridge.pad(3).set(still);
    await created;
    const exit = await s.bridge.stop();
    assert.deepEqual(exit, { code: 0, signal: null, restarting: false });
    assert.deepEqual(events, ["device 3 true", "device 3 false", "exit 0"]);
    checkSchemas(s);
  });

  test("an error line arrives as a failure event", async () => {
    const s = await session({}, { VJOY_DOUBLE_REFUSE_ACQUIRE: "1" });
    const failure = next(s.bridge, "failure");
    s.bridge.pad(1).set(still);
    const [line] = await failure;
    assert.deepEqual(line, { type: "error", code: "vjoy_busy", message: "The vJoy device is in use by another feeder." });
    await s.bridge.stop();
    checkSchemas(s);
  });

  test("probe() resolves with the new capabilities; desktop answers arrive", async () => {
    const s = await session({ vjoyDll: "Z:\\nowhere\\vJoyInterface.dll" });
    assert.equal(s.bridge.capabilities.gamepadBackend, "No gamepad driver installed");
    assert.equal(await s.bridge.desktop.enable(), true);
    s.bridge.desktop.key("ArrowLeft", true);
    s.bridge.desktop.key("ArrowLeft", false);
    s.bridge.desktop.text("é\n👋");
    const probed = await s.bridge.probe();
    assert.equal(probed.systemEnabled, true);
    assert.strictEqual(s.bridge.capabilities, probed);
    assert.equal(await s.bridge.desktop.disable(), false);
    const failure = next(s.bridge, "failure");
    s.bridge.pad(0).set(still);
    assert.equal((await failure)[0].code, "driver_required");
    assert.equal((await s.bridge.stop()).code, 0);
    checkSchemas(s);
  });

  test("an exe that is not there: the start fails with the bridge's end, not a hang", async () => {
    await assert.rejects(
      startBridge({ exe: "/nowhere/padbridge.exe", command: [wine as string], env: wineEnv(), startTimeoutMs: 60_000 }),
      (error: PadbridgeError) => error.code === "not_started" && /ended before it started \(exit code \d+\)/.test(error.message),
    );
  });
});
