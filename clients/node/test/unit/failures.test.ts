// The paths a host walks on its bad days, over a stand-in bridge on mocked timers: crashes and
// restarts, listeners that throw, a bridge that stalls or will not end, refused permission.
import assert from "node:assert/strict";
import { on, once } from "node:events";
import { afterEach, beforeEach, describe, mock, test } from "node:test";

import { Bridge, defaults, startBridge, startWith, type ExitInfo, type StartOptions } from "../../src/bridge.js";
import { PadbridgeError } from "../../src/errors.js";
import type { RumbleLine } from "../../src/lines.js";
import { keepAliveMs } from "../../src/pad.js";
import { advance, capabilities, enableGranted, FakeChild, granted, settle, started, startFake, still, zeros, type Harness } from "../fake.js";

const firstDelay = defaults.restartDelaysMs[0] as number;
const driverRequired =
  '{"type":"error","code":"driver_required","message":"Install the Xbox controller driver on this computer. Game keys still work."}';

beforeEach(() => mock.timers.enable({ apis: ["setTimeout"] }));
afterEach(() => mock.timers.reset());

/** Crashes the running child and waits through the first back-off until the next one runs. */
async function crashAndRestart(h: Harness): Promise<void> {
  h.child().exit(1);
  await settle();
  await advance(firstDelay);
  await settle();
}

describe("desktop control after a crash", () => {
  // What the host did before the crash; `pending` is a call still waiting for its answer.
  type Before = (h: Harness) => Promise<{ pending?: Promise<unknown> }>;
  const cases: [string, Before, boolean][] = [
    ["enable() resolved true", async (h) => (await enableGranted(h), {}), true],
    ["enable() pending when the bridge crashed", async (h) => ({ pending: h.bridge.desktop.enable() }), false],
    [
      "enable() resolved true, then disable() pending at the crash",
      async (h) => (await enableGranted(h), { pending: h.bridge.desktop.disable() }),
      false,
    ],
    [
      "enable() resolved true, then a second enable() pending at the crash",
      async (h) => (await enableGranted(h), { pending: h.bridge.desktop.enable() }),
      false,
    ],
  ];
  for (const [name, before, grantedAgain] of cases) {
    test(`${name}: ${grantedAgain ? "granted again" : "not granted again"}`, async () => {
      const h = await started({ restart: true });
      const { pending } = await before(h);
      const outcome = pending?.then(
        () => "resolved",
        (error: PadbridgeError) => error.code,
      );
      await crashAndRestart(h);
      if (outcome !== undefined) assert.equal(await outcome, "restarting");
      await advance(keepAliveMs * 2);
      const sent = h.child().take();
      assert.equal(sent.includes(granted), grantedAgain, sent.join("\n"));
      assert.equal(sent.includes('{"type":"system-heartbeat"}'), grantedAgain);
      assert.equal(h.bridge.desktop.enabled, grantedAgain);
    });
  }

  test("enable() during the back-off rejects with restarting and is not granted later", async () => {
    const h = await started({ restart: true });
    h.child().exit(1);
    await settle();
    await assert.rejects(h.bridge.desktop.enable(), { code: "restarting" });
    await advance(firstDelay + keepAliveMs * 4);
    assert.equal(h.children.length, 2);
    assert.deepEqual(h.child().take(), []);
  });

  test("an enable() that timed out is taken back, and its late answer is not taken for the next", async () => {
    const h = await started({ answerTimeoutMs: 1000 });
    const late = assert.rejects(h.bridge.desktop.enable(), { code: "timeout", message: /within 1000 ms/ });
    await advance(1000);
    await late;
    assert.equal(h.bridge.desktop.enabled, false);
    const sent = h.child().take().filter((line) => !line.includes("heartbeat"));
    assert.deepEqual(sent, [granted, '{"type":"system-permission","enabled":false}']);
    await advance(keepAliveMs * 2);
    assert.deepEqual(h.child().take(), [], "heartbeats for a grant the host was told failed");
    const probe = h.bridge.probe();
    h.child().print(granted); // the late answer
    h.child().print('{"type":"system-permission","enabled":false}');
    h.child().print(capabilities);
    assert.equal((await probe).type, "capabilities");
    assert.throws(() => h.bridge.desktop.key("KeyA", true), { code: "not_enabled" });
  });
});

describe("during the back-off", () => {
  test("desktop and simulator actions throw restarting; a pad's state and the options are kept for the relaunch", async () => {
    const h = await started({ restart: true, simulator: true, simulatorBackend: "vjoy", trace: "t.jsonl" });
    await enableGranted(h);
    h.child().exit(1);
    await settle();
    const d = h.bridge.desktop;
    const sim = h.bridge.simulator as NonNullable<Bridge["simulator"]>;
    const actions: [string, () => void][] = [
      ["text", () => d.text("lost")],
      ["key", () => d.key("KeyA", true)],
      ["click", () => d.click("left", true)],
      ["button", () => d.button("middle", true)],
      ["move", () => d.move(5, 5)],
      ["scroll", () => d.scroll(1, 1)],
      ["point", () => d.point(0.5, 0.5)],
      ["releaseAll", () => d.releaseAll()],
      ["rumble", () => sim.rumble(0, { low: 1, high: 1 })],
      ["lightbar", () => sim.lightbar(0, { red: 1, green: 2, blue: 3 })],
      ["block", () => sim.block(true)],
    ];
    for (const [name, action] of actions) {
      assert.throws(action, { name: "PadbridgeError", code: "restarting" }, name);
    }
    await assert.rejects(h.bridge.probe(), { code: "restarting" });
    h.bridge.pad(1).set({ axes: [0, 0, 0, 1], buttons: zeros(16) });
    await advance(firstDelay);
    assert.deepEqual(h.child().take(), [granted, `{"type":"input","player":1,"axes":[0,0,0,1],"buttons":[${zeros(16)}]}`]);
    assert.deepEqual(h.child().args, ["--sim-backend", "vjoy", "--trace", "t.jsonl"]);
    assert.deepEqual(h.children[0]?.args, h.child().args);
  });

  test("stop() resolves at once with restarting false", async () => {
    const h = await started({ restart: true });
    h.child().exit(7);
    await settle();
    assert.deepEqual(await h.bridge.stop(), { code: 7, signal: null, restarting: false });
  });
});

describe("promise-returning methods reject, never throw", () => {
  const calls: [string, (bridge: Bridge) => Promise<unknown>][] = [
    ["enable", (bridge) => bridge.desktop.enable()],
    ["disable", (bridge) => bridge.desktop.disable()],
    ["probe", (bridge) => bridge.probe()],
  ];
  for (const [name, call] of calls) {
    test(`${name}() on an ended bridge`, async () => {
      const h = await started();
      h.child().exit(0);
      await settle();
      let promise: Promise<unknown> | undefined;
      assert.doesNotThrow(() => (promise = call(h.bridge)));
      await assert.rejects(promise as Promise<unknown>, { code: "ended", message: /has ended \(exit code 0\)/ });
    });
  }

  test("an aborted signal rejects with aborted and its reason as cause", async () => {
    const h = await started();
    const controller = new AbortController();
    const probe = h.bridge.probe({ signal: controller.signal });
    controller.abort(new Error("user left"));
    await assert.rejects(probe, (error: PadbridgeError) => error.code === "aborted" && (error.cause as Error).message === "user left");
    await assert.rejects(h.bridge.desktop.enable({ signal: controller.signal }), { code: "aborted" });
    await assert.rejects(startFake({ signal: controller.signal }), { code: "aborted" });
  });

  test("aborting a start that is under way kills the child and rejects at once", async () => {
    const controller = new AbortController();
    const children: FakeChild[] = [];
    const start = startWith({ exe: "x.exe", signal: controller.signal }, (file, args) => {
      children.push(new FakeChild(file, args));
      return children[0] as FakeChild;
    });
    await settle();
    controller.abort(new Error("window closed"));
    await assert.rejects(start, (error: PadbridgeError) => error.code === "aborted" && (error.cause as Error).message === "window closed");
    assert.equal(children.length, 1);
    assert.equal(children[0]?.killed, true);
  });
});

describe("a real EventEmitter", () => {
  test("events.once leaves no listener behind and can be aborted", async () => {
    const h = await started();
    assert.ok(h.bridge instanceof (await import("node:events")).EventEmitter);
    const controller = new AbortController();
    for (let i = 0; i < 12; i++) {
      const waiting = once(h.bridge, "capabilities", { signal: controller.signal });
      h.child().print(capabilities);
      await waiting;
    }
    assert.equal(h.bridge.listenerCount("error"), 0);
    assert.equal(h.bridge.listenerCount("capabilities"), 0);
    const aborted = once(h.bridge, "exit", { signal: controller.signal });
    controller.abort();
    await assert.rejects(aborted, { name: "AbortError" });
    assert.equal(h.bridge.listenerCount("exit"), 0);
  });

  test("leaving a for await over events.on cleans up", async () => {
    const h = await started();
    const rumble = '{"type":"rumble","player":0,"low":0.500000,"high":0.000000}';
    setImmediate(() => h.child().print(rumble));
    for await (const [line] of on(h.bridge, "rumble")) {
      assert.equal((line as RumbleLine).low, 0.5);
      break;
    }
    assert.equal(h.bridge.listenerCount("rumble"), 0);
    assert.equal(h.bridge.listenerCount("error"), 0);
  });

  test("a listener that throws: every line is still delivered, and the exception surfaces", async () => {
    const h = await started();
    const thrown: unknown[] = [];
    process.setUncaughtExceptionCaptureCallback((error) => thrown.push(error));
    try {
      const devices: number[] = [];
      h.bridge.on("device", (line) => {
        devices.push(line.player);
        throw new Error(`listener failed on ${line.player}`);
      });
      const answer = h.bridge.desktop.enable();
      await settle();
      h.child().stdout.write(
        '{"type":"device","player":0,"created":false}\r\n{"type":"device","player":1,"created":false}\r\n' + granted + "\r\n",
      );
      await settle();
      assert.deepEqual(devices, [0, 1]);
      assert.equal(await answer, true);
      assert.deepEqual(thrown.map((error) => (error as Error).message), ["listener failed on 0", "listener failed on 1"]);
    } finally {
      process.setUncaughtExceptionCaptureCallback(null);
    }
  });
});

describe("bounded restarts", () => {
  test("an exe that cannot be started: the first start rejects with spawn_failed and the cause", async () => {
    mock.timers.reset(); // a real spawn, whose failure comes from the system
    const start = startBridge({ exe: "/nonexistent/padbridge.exe" });
    await assert.rejects(start, (error: PadbridgeError) => {
      assert.equal(error.code, "spawn_failed");
      assert.equal((error.cause as NodeJS.ErrnoException).code, "ENOENT");
      return true;
    });
  });

  for (const [options, maxFailedStarts] of [[{}, 5], [{ maxFailedStarts: 2 }, 2]] as [StartOptions, number][]) {
    test(`a relaunch that keeps failing gives up after ${maxFailedStarts} starts, with the cause`, async () => {
      const h = await started({ restart: true, ...options }, (index) => (index === 0 ? "ready" : "missing"));
      const exits: ExitInfo[] = [];
      h.bridge.on("exit", (exit) => exits.push(exit));
      h.child().exit(1);
      await advance(30_000, 50);
      assert.equal(h.children.length, 1 + maxFailedStarts);
      assert.deepEqual(exits.map((exit) => exit.restarting), [true, ...new Array<boolean>(maxFailedStarts - 1).fill(true), false]);
      const last = exits[exits.length - 1] as ExitInfo;
      assert.equal(last.error?.code, "spawn_failed");
      assert.equal((last.error?.cause as NodeJS.ErrnoException).code, "ENOENT");
      assert.equal(h.bridge.running, false);
      await advance(30_000, 1000);
      assert.equal(h.children.length, 1 + maxFailedStarts);
    });
  }

  test("a relaunched bridge that never prints is killed after the start time-out", async () => {
    const h = await started({ restart: true, startTimeoutMs: 3000 }, (index) => (index === 1 ? "silent" : "ready"));
    const exits: ExitInfo[] = [];
    h.bridge.on("exit", (exit) => exits.push(exit));
    h.child().exit(1);
    await settle();
    await advance(firstDelay + 2990);
    assert.equal(h.children.length, 2);
    assert.equal(h.child().killed, false);
    await advance(10);
    assert.equal(h.children[1]?.killed, true);
    assert.equal(exits[1]?.error?.code, "timeout");
    await advance(defaults.restartDelaysMs[1] as number);
    assert.equal(h.children.length, 3);
    assert.ok(h.bridge.running);
  });
});

describe("a bridge that stops reading", () => {
  test("keep-alives and heartbeats wait for the pipe to drain; a new state still goes", async () => {
    const sent: string[] = [];
    const h = await started({ trace: (direction: string, line: string) => direction === "sent" && sent.push(line) }, undefined, 512);
    await enableGranted(h);
    h.bridge.pad(0).set(still);
    h.child().stall();
    await advance(30_000, 250);
    const whileStalled = sent.length;
    await advance(30_000, 250);
    assert.equal(sent.length, whileStalled, "lines piled up in a pipe nobody reads");
    h.bridge.pad(0).set({ axes: [1, 0, 0, 0], buttons: zeros(16) });
    assert.equal(sent.length, whileStalled + 1);
    h.child().resume();
    await advance(keepAliveMs * 2);
    assert.ok(sent.slice(whileStalled + 1).includes('{"type":"system-heartbeat"}'));
  });

  test("probe() and disable() time out with their own code; the default can be overridden per call", async () => {
    const h = await started({ answerTimeoutMs: 2000 });
    const probe = assert.rejects(h.bridge.probe(), { code: "timeout" });
    const quick = assert.rejects(h.bridge.desktop.disable({ timeoutMs: 500 }), { code: "timeout", message: /500 ms/ });
    await advance(500);
    await quick;
    await advance(1500);
    await probe;
  });
});

describe("stop() is bounded", () => {
  for (const [options, killWaitMs] of [[{}, 2000], [{ killWaitMs: 500 }, 500]] as [StartOptions, number][]) {
    test(`a bridge that never reports its end after the kill is given up on ${killWaitMs} ms later`, async () => {
      const h = await started({ stopTimeoutMs: 1000, ...options });
      h.child().killable = false;
      let ended = false;
      const stopping = h.bridge.stop().finally(() => (ended = true));
      await advance(1000 + killWaitMs - 10);
      assert.equal(ended, false);
      await advance(10);
      assert.equal(ended, true);
      const exit = await stopping;
      assert.equal(h.child().killed, true);
      assert.equal(exit.restarting, false);
      assert.equal(exit.error?.code, "timeout");
      assert.equal(h.bridge.running, false);
    });
  }

  test("await using stops the bridge", async () => {
    const h = await started();
    {
      await using bridge = h.bridge;
      bridge.pad(0).set(still);
      setImmediate(() => h.child().exit(0));
    }
    assert.ok(h.child().stdinClosed);
    assert.equal(h.bridge.running, false);
  });
});

describe("failures are reported once per pad and code", () => {
  test("a keep-alive answered with driver_required gives one event until the state changes", async () => {
    const h = await started();
    const failures: string[] = [];
    h.bridge.on("failure", (line) => failures.push("player" in line ? `${line.player} ${line.code}` : line.code));
    h.bridge.pad(0).set(still);
    const answer = (lines: string[]) => {
      for (const line of lines) if (line.includes('"input"')) h.child().print(driverRequired);
    };
    for (let i = 0; i < 20; i++) {
      await advance(keepAliveMs);
      answer(h.child().take());
    }
    h.child().print('{"type":"error","player":0,"code":"gamepad_update_failed","win32Error":1460}');
    h.child().print('{"type":"error","player":0,"code":"gamepad_update_failed","win32Error":1460}');
    h.child().print('{"type":"error","player":1,"code":"gamepad_update_failed","win32Error":1460}');
    await settle();
    assert.deepEqual(failures, ["driver_required", "0 gamepad_update_failed", "1 gamepad_update_failed"]);
    h.bridge.pad(0).set({ axes: [0.5, 0, 0, 0], buttons: zeros(16) });
    h.child().print(driverRequired);
    h.child().print('{"type":"error","player":0,"code":"gamepad_update_failed","win32Error":1460}');
    h.child().print('{"type":"error","player":1,"code":"gamepad_update_failed","win32Error":1460}');
    await settle();
    assert.deepEqual(failures.slice(3), ["driver_required", "0 gamepad_update_failed"]);
    h.bridge.pad(1).release();
    h.child().print('{"type":"error","player":1,"code":"gamepad_update_failed","win32Error":1460}');
    await settle();
    assert.deepEqual(failures.slice(5), ["1 gamepad_update_failed"]);
  });
});

test("only the documented members are reachable", async () => {
  const h = await started();
  assert.throws(() => new (Bridge as unknown as new () => Bridge)(), /use startBridge\(\)/);
  const members = Object.getOwnPropertyNames(Bridge.prototype).sort();
  assert.deepEqual(members, ["capabilities", "constructor", "pad", "probe", "running", "stop"]);
  for (const name of ["start", "flush", "forget", "restore", "shutDown"]) {
    assert.equal(name in h.bridge, false, name);
    assert.equal(name in h.bridge.desktop, false, name);
    assert.equal(name in h.bridge.pad(0), false, name);
  }
});
