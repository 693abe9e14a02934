// The schemas in schemas/ and the validator the end-to-end tests check every line with.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { keyNames } from "../../src/keys.js";
import { checkLine, loadSchemas, validate, type Schema } from "../schema.js";

const schemas = loadSchemas();
const sixteen = new Array(16).fill(0).join(",");

describe("schemas", () => {
  test("one per line type each way", () => {
    assert.deepEqual([...schemas.keys()].sort(), [
      "in-input", "in-neutral", "in-probe", "in-remove", "in-system-heartbeat", "in-system-permission", "in-system",
      "in-sim-desktop", "in-sim-lightbar", "in-sim-rumble",
      "out-capabilities", "out-device", "out-error", "out-lightbar", "out-rumble", "out-self-test", "out-system-blocked", "out-system-permission", "out-version",
      "trace-drop", "trace-dropped", "trace-in", "trace-input", "trace-lapse", "trace-out", "trace-pad", "trace-probe", "trace-request", "trace-start",
    ].sort());
  });

  test("use only what the validator checks", () => {
    const visit = (schema: unknown): void => {
      if (Array.isArray(schema)) return schema.forEach(visit);
      if (typeof schema !== "object" || schema === null) return;
      validate(schema as Schema, null); // throws on a keyword outside the subset
      for (const key of ["properties"]) Object.values((schema as Schema)[key] ?? {}).forEach(visit);
      visit((schema as Schema).items);
      visit((schema as Schema).oneOf);
    };
    for (const schema of schemas.values()) visit(schema);
  });

  test("the key names are the client's", () => {
    const system = schemas.get("in-system") as { oneOf: { properties: { action: { const: string }; key?: { enum: string[] } } }[] };
    const key = system.oneOf.find((branch) => branch.properties.action.const === "key");
    assert.deepEqual(key?.properties.key?.enum, [...keyNames]);
  });
});

// Every exact text the bridge prints passes, and near misses fail.
const printed: [string, boolean][] = [
  ['{"type":"capabilities","os":"Windows","gamepadBackend":"Xbox 360 (ViGEmBus)","vigemBus":"ready","gamepadAvailable":true,"textInput":true,"systemEnabled":false}', true],
  ['{"type":"capabilities","os":"Windows","gamepadBackend":"No gamepad driver installed","vigemBus":"incompatible","gamepadAvailable":false,"textInput":true,"systemEnabled":true}', true],
  ['{"type":"capabilities","os":"Windows","gamepadBackend":"vJoy","vigemBus":"ready","gamepadAvailable":true,"textInput":true,"systemEnabled":false}', false],
  ['{"type":"capabilities","os":"Windows","gamepadBackend":"vJoy DirectInput","vigemBus":"ready","gamepadAvailable":true,"textInput":true}', false],
  ['{"type":"device","player":0,"created":true,"backend":"Xbox 360 (ViGEmBus)"}', true],
  ['{"type":"device","player":7,"created":true,"backend":"vJoy DirectInput"}', true],
  ['{"type":"device","player":0,"created":false}', true],
  ['{"type":"device","player":0,"created":true}', false],
  ['{"type":"device","player":8,"created":false}', false],
  ['{"type":"device","player":0,"created":false,"backend":"vJoy DirectInput"}', false],
  ['{"type":"rumble","player":0,"low":1.000000,"high":0.000000}', true],
  ['{"type":"rumble","player":0,"low":1.500000,"high":0.000000}', false],
  ['{"type":"error","player":0,"code":"gamepad_update_failed","win32Error":1460}', true],
  ['{"type":"error","player":2,"code":"gamepad_rumble_unavailable","win32Error":13}', true],
  ['{"type":"error","player":2,"code":"driver_required","win32Error":13}', false],
  ['{"type":"error","code":"driver_required","message":"Install the Xbox controller driver on this computer. Game keys still work."}', true],
  ['{"type":"error","code":"vjoy_configuration_required","message":"Configure this vJoy device with 10 buttons, X/Y/Rx/Ry/Z/Rz axes and a continuous POV."}', true],
  ['{"type":"error","code":"vjoy_configuration_required"}', true],
  ['{"type":"error","code":"vjoy_busy","message":"The vJoy device is in use by another feeder."}', true],
  ['{"type":"error","code":"vjoy_busy"}', false],
  ['{"type":"error","code":"driver_required","message":"Install a driver."}', false],
  ['{"type":"device","player":1,"created":true,"backend":"DualShock 4 (ViGEmBus)"}', true],
  ['{"type":"lightbar","player":1,"red":255,"green":0,"blue":64}', true],
  ['{"type":"lightbar","player":1,"red":256,"green":0,"blue":64}', false],
  ['{"type":"error","player":1,"code":"gamepad_motion_unavailable","win32Error":87}', true],
  ['{"type":"system-permission","enabled":true}', true],
  ['{"type":"system-permission","enabled":"true"}', false],
  ['{"type":"system-blocked","blocked":true,"win32Error":5}', true],
  ['{"type":"system-blocked","blocked":true,"win32Error":0}', true],
  ['{"type":"system-blocked","blocked":false}', true],
  ['{"type":"system-blocked","blocked":true}', false],
  ['{"type":"system-blocked","blocked":false,"win32Error":5}', false],
  ['{"type":"self-test","ok":true}', true],
  ['{"type":"version","version":"1.0.0"}', true],
  ['{"type":"version","version":"1.0"}', false],
  ['{"type":"version","version":"1.0.0-beta"}', false],
  ['{"type":"hello"}', false],
];

const sent: [string, boolean][] = [
  ['{"type":"probe"}', true],
  [`{"type":"input","player":0,"axes":[0,-1,1,0.5],"buttons":[${sixteen}]}`, true],
  [`{"type":"input","player":0,"axes":[0,-1,1,0.5],"buttons":[${sixteen},0]}`, true],
  [`{"type":"input","player":0,"axes":[0,-1,1,0.5],"buttons":[${sixteen},0,0,0]}`, false],
  [`{"type":"input","player":0,"axes":[0,0,0,0],"buttons":[${sixteen},1,1],"pad":"dualshock4","gyro":[1,2,3],"accel":[0,9.8,0],"touch":[0.5,0.5]}`, true],
  [`{"type":"input","player":0,"axes":[0,0,0,0],"buttons":[${sixteen}],"pad":"dualsense"}`, false],
  [`{"type":"input","player":0,"axes":[0,-1,1],"buttons":[${sixteen}]}`, false],
  [`{"type":"input","player":2.5,"axes":[0,0,0,0],"buttons":[${sixteen}]}`, false],
  [`{"type":"input","player":0,"axes":[0,0,0,2],"buttons":[${sixteen}]}`, false],
  ['{"type":"remove","player":7}', true],
  ['{"type":"neutral","player":8}', false],
  ['{"type":"system-permission","enabled":false}', true],
  ['{"type":"system-heartbeat"}', true],
  ['{"type":"system","action":"move","x":-200,"y":3}', true],
  ['{"type":"system","action":"scroll","y":0.5}', true],
  ['{"type":"system","action":"click","button":1,"down":true}', true],
  ['{"type":"system","action":"click","button":2,"down":true}', false],
  ['{"type":"system","action":"scroll","y":0,"x":-2.5}', true],
  ['{"type":"system","action":"button","button":"forward","down":true}', true],
  ['{"type":"system","action":"button","button":"x1","down":true}', false],
  ['{"type":"system","action":"point","x":0.5,"y":1}', true],
  ['{"type":"system","action":"key","key":"NumpadEnter","down":false}', true],
  ['{"type":"system","action":"key","key":"F13","down":false}', false],
  ['{"type":"system","action":"text","text":"héllo"}', true],
  [`{"type":"system","action":"text","text":"${"x".repeat(1025)}"}`, false],
  ['{"type":"system","action":"release"}', true],
  ['{"type":"system","action":"release","x":1}', false],
  ['{"type":"system","action":"jump"}', false],
  ['{"type":"sim-rumble","player":0,"low":0.5,"high":1}', true],
  ['{"type":"sim-rumble","player":0,"low":1.5,"high":0}', false],
  ['{"type":"sim-lightbar","player":7,"red":255,"green":0,"blue":64}', true],
  ['{"type":"sim-lightbar","player":7,"red":0.5,"green":0,"blue":64}', false],
  ['{"type":"sim-desktop","blocked":false}', true],
  ['{"type":"sim-desktop","blocked":"true"}', false],
];

describe("lines", () => {
  for (const [direction, table] of [["received", printed], ["sent", sent]] as const) {
    for (const [line, valid] of table) {
      test(`${direction} ${valid ? "passes" : "fails"}: ${line.slice(0, 90)}`, () => {
        const errors = checkLine(direction, line);
        assert.equal(errors.length === 0, valid, errors.join("; "));
      });
    }
  }
});
