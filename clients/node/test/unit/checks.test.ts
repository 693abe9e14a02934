// Normalisation and checks at the call, and the text encoding the bridge reads back exactly.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { checkPlayer, checkText, normalisePad, splitText, textByteLimit, type PadState } from "../../src/checks.js";
import { keyNames, isKeyName } from "../../src/keys.js";
import { inputLine, quote, textLine } from "../../src/lines.js";
import { zeros } from "../fake.js";

describe("normalisePad", () => {
  test("takes numbers and { value } buttons, passes 17 and 18 buttons through, clamps", () => {
    const buttons = [...zeros(16).map((_, i) => ({ value: i === 0 ? 1 : 0, pressed: i === 0 })), { value: 1 }];
    const pad = normalisePad({ axes: [2, -3, 0.25, -0], buttons });
    assert.deepEqual(pad.axes, [1, -1, 0.25, -0]);
    assert.deepEqual(pad.buttons, [1, ...zeros(15), 1]);
    assert.deepEqual(normalisePad({ axes: zeros(4), buttons: [...zeros(16), 2, -1] }).buttons.slice(16), [1, 0]);
    assert.deepEqual(normalisePad({ axes: zeros(4), buttons: [1.5, -2, ...zeros(14)] }).buttons.slice(0, 2), [1, 0]);
    assert.deepEqual(normalisePad({ axes: [Infinity, -Infinity, 0, 0], buttons: zeros(16) }).axes, [1, -1, 0, 0]);
  });

  const ds4 = { axes: zeros(4), buttons: zeros(18), pad: "dualshock4" as const };
  const refused: [string, unknown, RegExp][] = [
    ["3 axes", { axes: zeros(3), buttons: zeros(16) }, /exactly 4 axes, got 3/],
    ["5 axes", { axes: zeros(5), buttons: zeros(16) }, /exactly 4 axes, got 5/],
    ["15 buttons", { axes: zeros(4), buttons: zeros(15) }, /16, 17 or 18 buttons, got 15/],
    ["19 buttons", { axes: zeros(4), buttons: zeros(19) }, /16, 17 or 18 buttons, got 19/],
    ["no buttons", { axes: zeros(4) }, /16, 17 or 18 buttons, got undefined/],
    ["a NaN axis", { axes: [0, NaN, 0, 0], buttons: zeros(16) }, /axis 1 must be a number, got NaN/],
    ["a NaN button value", { axes: zeros(4), buttons: [...zeros(15), { value: NaN }] }, /button 15 must be a number/],
    ["a NaN 18th button", { axes: zeros(4), buttons: [...zeros(17), NaN] }, /button 17 must be a number/],
    ["a string button", { axes: zeros(4), buttons: ["1", ...zeros(15)] }, /button 0 must be a number, got "1"/],
    ["a boolean button", { axes: zeros(4), buttons: [true, ...zeros(15)] }, /button 0 must be a number, got true/],
    ["null", null, /needs axes and buttons/],
    ["an unknown pad kind", { ...ds4, pad: "dualsense" }, /pad must be "xbox360" or "dualshock4", got "dualsense"/],
    ["a pad kind that is not a string", { ...ds4, pad: 4 }, /pad must be .* got 4/],
    ["2 gyro numbers", { ...ds4, gyro: [0, 0] }, /gyro needs exactly 3 numbers \[x, y, z\], got 2/],
    ["a NaN in gyro", { ...ds4, gyro: [0, NaN, 0] }, /gyro 1 must be a finite number, got NaN/],
    ["an infinite accel", { ...ds4, accel: [0, Infinity, 0] }, /accel 1 must be a finite number, got Infinity/],
    ["4 accel numbers", { ...ds4, accel: [0, 9.8, 0, 0] }, /accel needs exactly 3 numbers/],
    ["1 touch number", { ...ds4, touch: [0.5] }, /touch needs 0, 2 or 4 numbers, got 1/],
    ["3 touch numbers", { ...ds4, touch: [0.5, 0.5, 0.5] }, /touch needs 0, 2 or 4 numbers, got 3/],
    ["6 touch numbers", { ...ds4, touch: zeros(6) }, /touch needs 0, 2 or 4 numbers, got 6/],
    ["a touch that is not a list", { ...ds4, touch: 0.5 }, /touch needs 0, 2 or 4 numbers, got 0.5/],
    ["a NaN touch", { ...ds4, touch: [0.5, NaN] }, /touch 1 must be a finite number, got NaN/],
  ];
  for (const [name, state, message] of refused) {
    test(`refuses ${name}`, () => assert.throws(() => normalisePad(state as never), { code: "invalid_argument", message }));
  }

  // The optional fields follow the required ones, only when given; touch is clamped, motion is
  // the bridge's to clamp to what its sensor reports.
  const printed: [string, PadState, string][] = [
    ["an Xbox pad as ever", { axes: [-0, 1e-7, -1, 0.5], buttons: zeros(16) }, `"axes":[0,1e-7,-1,0.5],"buttons":[${zeros(16)}]}`],
    ["xbox360 named is the default", { axes: zeros(4), buttons: zeros(17), pad: "xbox360" }, `"axes":[0,0,0,0],"buttons":[${zeros(17)}]}`],
    [
      "a DualShock 4 with everything",
      { ...ds4, gyro: [90, 0, -45], accel: [0, 9.80665, 0], touch: [0.25, 1.5, -1, 0.75] },
      `"axes":[0,0,0,0],"buttons":[${zeros(18)}],"pad":"dualshock4","gyro":[90,0,-45],"accel":[0,9.80665,0],"touch":[0.25,1,0,0.75]}`,
    ],
    ["no finger", { ...ds4, touch: [] }, `"buttons":[${zeros(18)}],"pad":"dualshock4","touch":[]}`],
    ["motion beyond the sensor, as given", { ...ds4, gyro: [5000, -5000, 0] }, `"pad":"dualshock4","gyro":[5000,-5000,0]}`],
  ];
  for (const [name, state, tail] of printed) {
    test(`input line: ${name}`, () => {
      const line = inputLine(3, normalisePad(state));
      assert.ok(line.startsWith('{"type":"input","player":3,"axes":['), line);
      assert.ok(line.endsWith(tail + "\n"), line);
    });
  }
});

test("players 0 to 7 only", () => {
  for (const player of [0, 7, 3.0]) assert.equal(checkPlayer(player), player);
  for (const player of [-1, 8, 2.5, NaN, "1", undefined]) {
    assert.throws(() => checkPlayer(player), /player must be a whole number from 0 to 7/);
  }
});

test("key names: the full list, no duplicates, all within the bridge's 39 bytes", () => {
  assert.equal(keyNames.length, 114);
  assert.equal(new Set(keyNames).size, keyNames.length);
  for (const name of keyNames) assert.ok(name.length <= 39 && /^[A-Za-z0-9]+$/.test(name), name);
  for (const name of ["KeyQ", "F12", "Digit0", "NumpadEnter", "MediaPlayPause", "Backquote"]) assert.ok(isKeyName(name));
  for (const name of ["keyq", "KeyQQ", "F13", "F0", "Numpad", "", "Enter "]) assert.ok(!isKeyName(name), name);
});

/** The bridge's string reader: only \" \\ \n \t, everything else raw; the result as UTF-8 bytes,
 *  or undefined where the bridge fails the read. */
function bridgeReads(value: string, capacity = textByteLimit + 1): Buffer | undefined {
  const bytes = Buffer.from(value, "utf8");
  if (bytes[0] !== 0x22) return undefined;
  const out: number[] = [];
  for (let i = 1; i < bytes.length; i++) {
    const byte = bytes[i] as number;
    if (byte === 0x22) return Buffer.from(out);
    if (byte === 0 || out.length === capacity - 1) return undefined;
    if (byte === 0x5c) {
      const next = bytes[++i];
      const escaped = { 0x22: 0x22, 0x5c: 0x5c, 0x6e: 0x0a, 0x74: 0x09 }[next as number];
      if (escaped === undefined) return undefined;
      out.push(escaped);
    } else {
      out.push(byte);
    }
  }
  return undefined;
}

describe("text", () => {
  const samples = ['plain', 'quote " and \\ backslash', "line\nfeed\ttab", "héllo wörld", "emoji 😀 and 𝄞", "中文", "\u007f\u0085"];
  for (const sample of samples) {
    test(`the bridge reads ${JSON.stringify(sample)} back exactly`, () => {
      const read = bridgeReads(quote(checkText(sample)));
      assert.deepEqual(read, Buffer.from(sample, "utf8"));
      assert.ok(textLine(sample).endsWith("}\n") && !textLine(sample).slice(0, -1).includes("\n"));
    });
  }

  const refused: [string, string, RegExp][] = [
    ["a zero byte", "a\0b", /U\+0000/],
    ["an escape character", "\u001b[A", /U\+001B/],
    ["a lone high surrogate", "a\ud83d", /lone surrogate \(U\+D83D at 1\)/],
    ["a lone low surrogate", "\ude00b", /lone surrogate \(U\+DE00 at 0\)/],
  ];
  for (const [name, text, message] of refused) {
    test(`refuses ${name}`, () => assert.throws(() => checkText(text), message));
  }
  // Text from a Windows clipboard ends its lines in CR LF, and old Mac text in CR alone.
  const lineEnds: [string, string][] = [
    ["one\r\ntwo\r\n", "one\ntwo\n"],
    ["one\rtwo", "one\ntwo"],
    ["\r\r\n\n", "\n\n\n"],
    ["mixed\r\n\rend\n", "mixed\n\nend\n"],
  ];
  for (const [given, typed] of lineEnds) {
    test(`types ${JSON.stringify(given)} as ${JSON.stringify(typed)}`, () => assert.equal(checkText(given), typed));
  }
  test("refuses a text that is not a string", () => assert.throws(() => checkText(5), /text must be a string/));

  test("splits on code points, each piece at most 1024 bytes", () => {
    const cases: [string, number[]][] = [
      ["", []],
      ["a".repeat(1024), [1024]],
      ["a".repeat(1025), [1024, 1]],
      ["a".repeat(1023) + "é", [1023, 1]], // é is 2 bytes: it may not straddle the limit
      ["a".repeat(1020) + "😀", [1022]], // 1020 + 4 bytes fit exactly
      ["a".repeat(1021) + "😀", [1021, 2]], // the pair goes whole to the next piece
      ["😀".repeat(257), [256 * 2, 2]],
      ["€".repeat(342), [341, 1]], // 341 * 3 = 1023 bytes, one more would be 1026
    ];
    for (const [text, lengths] of cases) {
      const pieces = splitText(text);
      assert.equal(pieces.join(""), text);
      for (const piece of pieces) {
        assert.ok(Buffer.byteLength(piece, "utf8") <= 1024);
        assert.equal(Buffer.from(piece, "utf8").toString("utf8"), piece, "a piece cut inside a character");
      }
      assert.deepEqual(pieces.map((piece) => piece.length), lengths, JSON.stringify(text.slice(0, 8)));
    }
  });
});
