// The client's rules over a stand-in bridge, on mocked timers: keep-alive, heartbeats, events,
// clean stop and restart with back-off.
import assert from "node:assert/strict";
import { afterEach, beforeEach, describe, mock, test } from "node:test";

import { defaults, startWith, type ExitInfo, type StartOptions } from "../../src/bridge.js";
import { keepAliveMs } from "../../src/pad.js";
import type { BridgeLine } from "../../src/lines.js";
import type { TraceRecord } from "../../src/trace.js";
import { advance, capabilities, enableGranted, FakeChild, settle, started, startFake, still, zeros, type Harness } from "../fake.js";

const stillLine = `{"type":"input","player":0,"axes":[0,0,0,0],"buttons":[${zeros(16).join(",")}]}`;

beforeEach(() => mock.timers.enable({ apis: ["setTimeout"] }));
afterEach(() => mock.timers.reset());

/** Runs the clock for `ms` and returns, for each line the child received, the time it came. */
async function timeline(h: Harness, ms: number): Promise<{ at: number; line: string }[]> {
  const seen: { at: number; line: string }[] = [];
  for (let at = 10; at <= ms; at += 10) {
    await advance(10);
    for (const line of h.child().take()) seen.push({ at, line });
  }
  return seen;
}

function longestGap(times: number[], end: number): number {
  let last = 0;
  let longest = 0;
  for (const at of [...times, end]) {
    longest = Math.max(longest, at - last);
    last = at;
  }
  return longest;
}

describe("start", () => {
  test("runs the exe behind the command prefix with --vjoy-dll and resolves on capabilities", async () => {
    const h = await startFake({ command: ["wine64", "--x"], exe: "C:\\pb.exe", vjoyDll: "Z:\\v.dll" });
    assert.equal(h.child().file, "wine64");
    assert.deepEqual(h.child().args, ["--x", "C:\\pb.exe", "--vjoy-dll", "Z:\\v.dll"]);
    assert.equal(h.bridge.capabilities.gamepadBackend, "vJoy DirectInput");
    assert.ok(h.bridge.running);
    assert.equal(h.bridge.simulator, undefined);
  });

  // The command line each option makes, after the exe, and whether the client reads the child's
  // standard error (only for the trace it emits; a line trace needs no bridge trace at all).
  const commandLines: [string, StartOptions, string[], "pipe" | "inherit"][] = [
    ["the simulator", { simulator: true }, [], "inherit"],
    ["a simulated backend", { simulator: true, simulatorBackend: "vjoy" }, ["--sim-backend", "vjoy"], "inherit"],
    ["the trace to read", { trace: true }, ["--trace", "-"], "pipe"],
    ["the trace to a file", { trace: "/tmp/bridge trace.jsonl", simulator: false }, ["--trace", "/tmp/bridge trace.jsonl"], "inherit"],
    ["a line trace", { trace: () => {} }, [], "inherit"],
    ["everything", { vjoyDll: "v.dll", simulator: true, simulatorBackend: "none", trace: true }, ["--vjoy-dll", "v.dll", "--sim-backend", "none", "--trace", "-"], "pipe"],
  ];
  for (const [name, options, args, stderr] of commandLines) {
    test(`passes ${name}`, async () => {
      const h = await startFake({ exe: "/opt/padbridge-sim", ...options });
      assert.deepEqual(h.child().args, args);
      assert.equal(h.child().stderrMode, stderr);
      assert.equal(h.bridge.simulator !== undefined, options.simulator === true);
    });
  }

  // Options the bridge could not take are refused before anything starts.
  const badOptions: [string, unknown, RegExp][] = [
    ["a backend that does not exist", { simulator: true, simulatorBackend: "vigembus" }, /simulatorBackend must be "vigem", "vjoy" or "none", got "vigembus"/],
    ["a backend without the simulator", { simulatorBackend: "none" }, /simulatorBackend needs simulator: true/],
    ["a simulator that is not a boolean", { simulator: "yes" }, /simulator must be true or false, got "yes"/],
    ["an empty trace path", { trace: "" }, /trace must be true, a path or a function, got ""/],
    ["a trace of false", { trace: false }, /trace must be true, a path or a function, got false/],
  ];
  for (const [name, options, message] of badOptions) {
    test(`refuses ${name}`, async () => {
      const spawner = () => assert.fail("nothing may be started");
      await assert.rejects(startWith({ exe: "x", ...(options as StartOptions) }, spawner), { code: "invalid_argument", message });
    });
  }

  test("fails when the bridge ends before its first line, or stays silent too long", async () => {
    const spawned: FakeChild[] = [];
    const spawner = (file: string, args: readonly string[]) => {
      const child = new FakeChild(file, args);
      spawned.push(child);
      return child;
    };
    const early = startWith({ exe: "x.exe" }, spawner);
    await settle();
    spawned[0]?.exit(3);
    await assert.rejects(early, { code: "not_started", message: /ended before it started \(exit code 3\)/ });

    const silent = assert.rejects(startWith({ exe: "x.exe", startTimeoutMs: 1000 }, spawner), {
      code: "timeout",
      message: /no first line within 1000 ms/,
    });
    await advance(1000, 100);
    await silent;
    assert.ok(spawned[1]?.killed);
  });
});

test("without an exe and without the platform package, starting says what to install", async () => {
  const spawner = () => assert.fail("nothing may be started");
  await assert.rejects(startWith({}, spawner), {
    name: "PadbridgeError",
    code: "not_installed",
    message: /@padbridge\/win32-x64 is not installed.*--os=win32 --cpu=x64.*`exe` option/,
  });
  await assert.rejects(startWith({ simulator: true }, spawner), {
    code: "not_installed",
    message: /@padbridge\/linux-x64-sim is not installed, so there is no padbridge-sim.*On Linux x64.*`exe` option/,
  });
});

describe("simulator", () => {
  test("plays the game and the PC with padbridge-sim's lines", async () => {
    const h = await started({ simulator: true });
    const sim = h.bridge.simulator;
    assert.ok(sim !== undefined);
    sim.rumble(0, { low: 0.5, high: 1 });
    sim.lightbar(7, { red: 255, green: 0, blue: 64 });
    sim.block(true);
    sim.block(false);
    await settle();
    assert.deepEqual(h.child().take(), [
      '{"type":"sim-rumble","player":0,"low":0.5,"high":1}',
      '{"type":"sim-lightbar","player":7,"red":255,"green":0,"blue":64}',
      '{"type":"sim-desktop","blocked":true}',
      '{"type":"sim-desktop","blocked":false}',
    ]);
    assert.deepEqual(h.schemaErrors, []);
  });

  test("bad calls throw at the call and send nothing", async () => {
    const h = await started({ simulator: true });
    const sim = h.bridge.simulator;
    assert.ok(sim !== undefined);
    const calls: [() => void, RegExp][] = [
      [() => sim.rumble(8, { low: 0, high: 0 }), /player must be a whole number from 0 to 7, got 8/],
      [() => sim.rumble(0, { low: 1.5, high: 0 }), /low must be from 0 to 1, got 1.5/],
      [() => sim.rumble(0, undefined as never), /motors must be an object with low, high, got undefined/],
      [() => sim.lightbar(0, { red: 256, green: 0, blue: 0 }), /red must be a whole number from 0 to 255, got 256/],
      [() => sim.lightbar(0, { red: 0, green: 0.5, blue: 0 }), /green must be a whole number from 0 to 255, got 0.5/],
      [() => sim.block("true" as never), /blocked must be true or false, got "true"/],
    ];
    for (const [call, message] of calls) assert.throws(call, { code: "invalid_argument", message });
    await settle();
    assert.deepEqual(h.child().take(), []);
  });
});

describe("trace", () => {
  test("records from standard error become trace events, those before the start once it resolved; anything else is skipped", async () => {
    const records: TraceRecord[] = [];
    const spawned: FakeChild[] = [];
    const pending = startWith({ exe: "padbridge-sim", trace: true }, (file, args) => {
      const child = new FakeChild(file, args);
      spawned.push(child);
      return child;
    });
    await settle();
    const child = spawned[0] as FakeChild;
    child.stderr.write('{"t":0,"kind":"start","version":"1.0.0"}\n{"t":1,"kind":"probe","back');
    child.stderr.write('end":"vigem"}\npadbridge: a message, not a record\n');
    child.print(capabilities);
    const bridge = await pending;
    bridge.on("trace", (record) => records.push(record));
    child.stderr.write('{"t":2,"kind":"out","line":"{\\"type\\":\\"capabilities\\"}"}\n');
    await settle();
    assert.deepEqual(records, [
      { t: 0, kind: "start", version: "1.0.0" },
      { t: 1, kind: "probe", backend: "vigem" },
      { t: 2, kind: "out", line: '{"type":"capabilities"}' },
    ]);
  });
});


describe("pads", () => {
  test("a state set once goes out at once and then at least every 500 ms", async () => {
    const h = await started();
    h.bridge.pad(0).set(still);
    await settle();
    const first = h.child().take();
    assert.deepEqual(first, [stillLine]);
    const seen = await timeline(h, 5000);
    assert.ok(seen.every(({ line }) => line === stillLine));
    assert.ok(longestGap(seen.map(({ at }) => at), 5000) <= Math.min(keepAliveMs, 500));
    assert.ok(seen.length >= 5000 / 500, `only ${seen.length} keep-alives in 5 s`);
    assert.deepEqual(h.schemaErrors, []);
  });

  test("an unchanged state is not sent again before its keep-alive; a change goes at once", async () => {
    const h = await started();
    const pad = h.bridge.pad(2);
    pad.set(still);
    await advance(100);
    pad.set({ axes: [0, 0, 0, 0], buttons: zeros(16) });
    await settle();
    assert.equal(h.child().take().length, 1);
    pad.set({ axes: [0.5, 0, 0, 0], buttons: [{ value: 1 }, ...zeros(15).map((value) => ({ value })), { value: 1 }] });
    await settle();
    const [changed] = h.child().take();
    // A browser's seventeenth button (the centre button) goes through.
    assert.match(changed ?? "", /"player":2,"axes":\[0.5,0,0,0\],"buttons":\[1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1\]\}$/);
    // The keep-alive counts from the change.
    await advance(keepAliveMs - 10);
    assert.deepEqual(h.child().take(), []);
    await advance(10);
    assert.equal(h.child().take().length, 1);
  });

  test("release() sends remove and ends the keep-alive; set() brings the pad back", async () => {
    const h = await started();
    const pad = h.bridge.pad(5);
    pad.set(still);
    pad.release();
    await settle();
    assert.deepEqual(h.child().take().slice(-1), ['{"type":"remove","player":5}']);
    assert.equal(pad.active, false);
    await advance(2000, 100);
    assert.deepEqual(h.child().take(), []);
    pad.set(still);
    await settle();
    assert.equal(h.child().take().length, 1);
  });

  test("a bad state or player throws at the call and sends nothing", async () => {
    const h = await started();
    assert.throws(() => h.bridge.pad(8), /player must be a whole number from 0 to 7, got 8/);
    assert.throws(() => h.bridge.pad(0).set({ axes: zeros(4), buttons: zeros(15) }), /got 15/);
    assert.throws(() => h.bridge.pad(0).set({ axes: [NaN, 0, 0, 0], buttons: zeros(16) }), /NaN/);
    assert.strictEqual(h.bridge.pad(1), h.bridge.pad(1));
    await advance(1000, 100);
    assert.deepEqual(h.child().take(), []);
  });
});

describe("desktop", () => {
  test("enable() resolves on the answer and heartbeats go at least every 500 ms until disable()", async () => {
    const h = await started();
    const answer = h.bridge.desktop.enable();
    await settle();
    assert.deepEqual(h.child().take(), ['{"type":"system-permission","enabled":true}']);
    h.child().print('{"type":"system-permission","enabled":true}');
    assert.equal(await answer, true);
    const seen = await timeline(h, 3000);
    assert.ok(seen.every(({ line }) => line === '{"type":"system-heartbeat"}'));
    assert.ok(longestGap(seen.map(({ at }) => at), 3000) <= Math.min(keepAliveMs, 500));

    const off = h.bridge.desktop.disable();
    await settle();
    assert.deepEqual(h.child().take(), ['{"type":"system-permission","enabled":false}']);
    h.child().print('{"type":"system-permission","enabled":false}');
    assert.equal(await off, false);
    await advance(2000, 100);
    assert.deepEqual(h.child().take(), []);
    assert.throws(() => h.bridge.desktop.move(1, 1), { code: "not_enabled", message: /call bridge.desktop.enable\(\) first/ });
  });

  test("every system line counts as a heartbeat", async () => {
    const h = await started();
    void h.bridge.desktop.enable();
    await advance(200);
    h.bridge.desktop.key("KeyA", true);
    await advance(200);
    h.bridge.desktop.key("KeyA", false);
    await advance(keepAliveMs - 10);
    assert.deepEqual(h.child().take(), [
      '{"type":"system-permission","enabled":true}',
      '{"type":"system","action":"key","key":"KeyA","down":true}',
      '{"type":"system","action":"key","key":"KeyA","down":false}',
    ]);
    await advance(10);
    assert.deepEqual(h.child().take(), ['{"type":"system-heartbeat"}']);
  });

  test("actions become the lines the bridge takes, split where it would cut them", async () => {
    const h = await started();
    void h.bridge.desktop.enable();
    const d = h.bridge.desktop;
    d.move(450, -10.5);
    d.move(0.4, 0);
    d.move(0.7, -0.6); // with the fractions left over: 1.1 and -1.1
    d.scroll(-25);
    d.scroll(0.5);
    d.click("right", true);
    d.click("left", false);
    d.text("a".repeat(1500));
    d.releaseAll();
    for (const name of ["left", "right", "middle", "back", "forward"] as const) d.button(name, name !== "right");
    d.scroll(0, 2.5);
    d.scroll(-12, 25);
    d.point(0.25, 1);
    d.point(-0.5, 1.5);
    d.point(1e-7, -0);
    await settle();
    const sent = h.child().take().slice(1);
    assert.deepEqual(sent.slice(0, 4), [
      '{"type":"system","action":"move","x":200,"y":-10}',
      '{"type":"system","action":"move","x":200,"y":0}',
      '{"type":"system","action":"move","x":50,"y":0}',
      '{"type":"system","action":"move","x":1,"y":-1}',
    ]);
    assert.deepEqual(sent.slice(4, 8), [
      '{"type":"system","action":"scroll","y":-10}',
      '{"type":"system","action":"scroll","y":-10}',
      '{"type":"system","action":"scroll","y":-5}',
      '{"type":"system","action":"scroll","y":0.5}',
    ]);
    assert.deepEqual(sent.slice(8, 10), [
      '{"type":"system","action":"click","button":1,"down":true}',
      '{"type":"system","action":"click","button":0,"down":false}',
    ]);
    assert.deepEqual(sent.slice(10, 12), [
      `{"type":"system","action":"text","text":"${"a".repeat(1024)}"}`,
      `{"type":"system","action":"text","text":"${"a".repeat(476)}"}`,
    ]);
    assert.deepEqual(sent.slice(12, 13), ['{"type":"system","action":"release"}']);
    assert.deepEqual(sent.slice(13, 18), [
      '{"type":"system","action":"button","button":"left","down":true}',
      '{"type":"system","action":"button","button":"right","down":false}',
      '{"type":"system","action":"button","button":"middle","down":true}',
      '{"type":"system","action":"button","button":"back","down":true}',
      '{"type":"system","action":"button","button":"forward","down":true}',
    ]);
    // The horizontal wheel rides on the same lines as the vertical one, each split at 10 notches.
    assert.deepEqual(sent.slice(18, 22), [
      '{"type":"system","action":"scroll","y":0,"x":2.5}',
      '{"type":"system","action":"scroll","y":-10,"x":10}',
      '{"type":"system","action":"scroll","y":-2,"x":10}',
      '{"type":"system","action":"scroll","y":0,"x":5}',
    ]);
    assert.deepEqual(sent.slice(22), [
      '{"type":"system","action":"point","x":0.25,"y":1}',
      '{"type":"system","action":"point","x":0,"y":1}',
      '{"type":"system","action":"point","x":1e-7,"y":0}',
    ]);
    assert.deepEqual(h.schemaErrors, []);
  });

  test("bad calls throw at the call", async () => {
    const h = await started();
    void h.bridge.desktop.enable();
    const d = h.bridge.desktop;
    assert.throws(() => d.key("F13" as never, true), /unknown key name "F13"/);
    assert.throws(() => d.key("KeyA", "yes" as never), /down must be true or false/);
    assert.throws(() => d.move(NaN, 0), /dx must be a finite number, got NaN/);
    assert.throws(() => d.scroll(Infinity), /dy must be a finite number/);
    assert.throws(() => d.scroll(1, NaN), /dx must be a finite number, got NaN/);
    assert.throws(() => d.scroll(1, "2" as never), /dx must be a finite number, got "2"/);
    assert.throws(() => d.point(NaN, 0), /x must be a finite number, got NaN/);
    assert.throws(() => d.point(0, undefined as never), /y must be a finite number, got undefined/);
    assert.throws(() => d.click("middle" as never, true), /"left" or "right"/);
    assert.throws(() => d.button("Middle" as never, true), /"left", "right", "middle", "back" or "forward", got "Middle"/);
    assert.throws(() => d.button("x1" as never, true), /got "x1"/);
    assert.throws(() => d.button("back", 1 as never), /down must be true or false/);
    assert.throws(() => d.text("a\u0007b"), { code: "invalid_argument", message: /U\+0007/ });
  });
});

describe("events", () => {
  test("each line type reaches its typed event; failure carries the error lines", async () => {
    const h = await started();
    const got: [string, BridgeLine][] = [];
    for (const event of ["device", "rumble", "failure", "permission", "capabilities", "blocked"] as const) {
      h.bridge.on(event, (line: BridgeLine) => got.push([event, line]));
    }
    // The desktop's state as each blocked listener sees it: already the line's.
    const blockedSeen: boolean[] = [];
    h.bridge.on("blocked", () => blockedSeen.push(h.bridge.desktop.blocked));
    assert.equal(h.bridge.desktop.blocked, false);
    const printed = [
      '{"type":"device","player":0,"created":true,"backend":"vJoy DirectInput"}',
      '{"type":"rumble","player":0,"low":1.000000,"high":0.250000}',
      '{"type":"error","player":1,"code":"gamepad_update_failed","win32Error":1460}',
      '{"type":"error","code":"vjoy_busy","message":"The vJoy device is in use by another feeder."}',
      '{"type":"system-permission","enabled":false}',
      '{"type":"system-blocked","blocked":true,"win32Error":5}',
      '{"type":"system-blocked","blocked":false}',
      '{"type":"system-blocked","blocked":true,"win32Error":0}',
      "not json at all",
      '{"type":"self-test","ok":true}',
      '{"type":"device","player":0,"created":false}',
    ];
    for (const line of printed) h.child().print(line);
    await settle();
    assert.deepEqual(got.map(([event]) => event), [
      "device", "rumble", "failure", "failure", "permission", "blocked", "blocked", "blocked", "device",
    ]);
    assert.deepEqual(got[5]?.[1], { type: "system-blocked", blocked: true, win32Error: 5 });
    assert.deepEqual(blockedSeen, [true, false, true]);
    assert.equal(h.bridge.desktop.blocked, true);
    assert.deepEqual(got[1]?.[1], { type: "rumble", player: 0, low: 1, high: 0.25 });
    assert.deepEqual(got[2]?.[1], { type: "error", player: 1, code: "gamepad_update_failed", win32Error: 1460 });
  });

  test("probe() resolves with the capabilities that answer it", async () => {
    const h = await started();
    const probed = h.bridge.probe();
    await settle();
    assert.deepEqual(h.child().take(), ['{"type":"probe"}']);
    h.child().print(capabilities.replace('"systemEnabled":false', '"systemEnabled":true'));
    const line = await probed;
    assert.equal(line.systemEnabled, true);
    assert.strictEqual(h.bridge.capabilities, line);
  });
});

describe("stop", () => {
  test("closes standard input and resolves with the bridge's exit; nothing is sent after", async () => {
    const h = await started();
    h.bridge.pad(0).set(still);
    const exits: ExitInfo[] = [];
    h.bridge.on("exit", (exit) => exits.push(exit));
    const stopping = h.bridge.stop();
    await settle();
    assert.ok(h.child().stdinClosed);
    h.child().exit(0);
    assert.deepEqual(await stopping, { code: 0, signal: null, restarting: false });
    assert.deepEqual(exits, [{ code: 0, signal: null, restarting: false }]);
    assert.equal(h.child().killed, false);
    assert.throws(() => h.bridge.pad(0).set(still), { code: "ended", message: /has ended \(exit code 0\)/ });
    assert.deepEqual(await h.bridge.stop(), { code: 0, signal: null, restarting: false });
  });

  test("kills a bridge that does not end within the time-out", async () => {
    const h = await started({ stopTimeoutMs: 2000 });
    const stopping = h.bridge.stop();
    await advance(1990, 10);
    assert.equal(h.child().killed, false);
    await advance(10);
    assert.equal(h.child().killed, true);
    assert.equal((await stopping).signal, "SIGTERM");
  });

  test("a pending answer is refused when the bridge ends", async () => {
    const h = await started();
    const probed = h.bridge.probe();
    h.child().exit(1);
    await assert.rejects(probed, { code: "ended", message: /ended before it answered \(exit code 1\)/ });
  });
});

describe("crash and restart", () => {
  test("without restart: an exit event with the code, then every call throws", async () => {
    const h = await started();
    const exits: ExitInfo[] = [];
    h.bridge.on("exit", (exit) => exits.push(exit));
    h.bridge.pad(0).set(still);
    h.child().exit(3221225477);
    await settle();
    assert.deepEqual(exits, [{ code: 3221225477, signal: null, restarting: false }]);
    assert.equal(h.bridge.running, false);
    await advance(5000, 500);
    assert.equal(h.children.length, 1);
    assert.throws(() => h.bridge.pad(0).set(still), /has ended/);
  });

  test("with restart: a new bridge after the back-off, permission restored, pads sent at once", async () => {
    const h = await started({ restart: true });
    await enableGranted(h);
    const refused = assert.rejects(h.bridge.probe(), { code: "restarting", message: /ended before it answered/ });
    h.bridge.pad(3).set(still);
    await settle();
    const exits: ExitInfo[] = [];
    h.bridge.on("exit", (exit) => exits.push(exit));
    h.child().print('{"type":"system-blocked","blocked":true,"win32Error":5}');
    await settle();
    assert.equal(h.bridge.desktop.blocked, true);
    h.child().exit(1);
    await settle();
    assert.deepEqual(exits, [{ code: 1, signal: null, restarting: true }]);
    await refused;
    h.bridge.pad(3).set({ axes: [1, 0, 0, 0], buttons: zeros(16) }); // kept for the next bridge
    await advance((defaults.restartDelaysMs[0] as number) - 10);
    assert.equal(h.children.length, 1);
    await advance(10);
    assert.equal(h.children.length, 2);
    await settle();
    assert.equal(h.bridge.desktop.blocked, false); // the new bridge has refused nothing yet
    const sent = h.child().take();
    assert.deepEqual(sent.slice(0, 2), [
      '{"type":"system-permission","enabled":true}',
      `{"type":"input","player":3,"axes":[1,0,0,0],"buttons":[${zeros(16).join(",")}]}`,
    ]);
    // Heartbeats and keep-alives go on to the new bridge.
    const seen = await timeline(h, 1000);
    assert.ok(seen.some(({ line }) => line === '{"type":"system-heartbeat"}'));
    assert.ok(seen.filter(({ line }) => line.includes('"input"')).length >= 2);
  });

  // The waits after six quick crashes in a row, then one after a bridge that ran stableMs.
  const backOffs: [string, StartOptions, number[], number][] = [
    ["by default", {}, [250, 500, 1000, 2000, 4000, 4000], 10_000],
    ["as set", { restartDelaysMs: [100, 300], stableMs: 3000 }, [100, 300, 300, 300, 300, 300], 3000],
  ];
  for (const [name, options, expected, stableMs] of backOffs) {
    test(`quick crashes back off further; a bridge that ran a while resets the back-off (${name})`, async () => {
      const h = await started({ restart: true, ...options });
      const waits: number[] = [];
      for (let crash = 0; crash < 6; crash++) {
        const before = h.children.length;
        h.child().exit(1);
        await settle();
        let waited = 0;
        while (h.children.length === before) {
          await advance(50, 50);
          waited += 50;
        }
        waits.push(waited);
        await settle();
      }
      assert.deepEqual(waits, expected);
      await advance(stableMs, 500);
      h.child().exit(1);
      await settle();
      await advance(expected[0] as number, 50);
      assert.equal(h.children.length, 8);
    });
  }

  test("stop() during the back-off ends it for good, with a last exit event that says so", async () => {
    const h = await started({ restart: true });
    const exits: ExitInfo[] = [];
    h.bridge.on("exit", (exit) => exits.push(exit));
    h.child().exit(1);
    await settle();
    const exit = await h.bridge.stop();
    assert.deepEqual(exit, { code: 1, signal: null, restarting: false });
    assert.deepEqual(exits, [{ code: 1, signal: null, restarting: true }, exit]);
    assert.equal(h.bridge.running, false);
    await advance(5000, 500);
    assert.equal(h.children.length, 1);
  });
});
