// Checks and normalisation at the call, in the host's code: the bridge drops a line it cannot use
// without a word, so anything it would drop is refused here with an error that says why.
import { PadbridgeError } from "./errors.js";

/** A button as the browser's Gamepad API gives it, or its value as a plain number. */
export type ButtonInput = number | { readonly value: number };

/** The kind of pad the bus driver presents; vJoy pads ignore it. */
export type PadKind = "xbox360" | "dualshock4";

/** A W3C Gamepad (or anything shaped like one): 4 axes and 16 buttons in the standard layout, or
 *  17 with the centre button (a browser's standard gamepad), or 18 with the touchpad click. The
 *  other fields are for a DualShock 4 and are ignored by the other pads. */
export interface PadState {
  readonly axes: ArrayLike<number>;
  readonly buttons: ArrayLike<ButtonInput>;
  /** Default "xbox360". */
  readonly pad?: PadKind | undefined;
  /** Angular velocity [x, y, z] in degrees per second, in the pad's frame. */
  readonly gyro?: ArrayLike<number> | undefined;
  /** Acceleration [x, y, z] in m/s² with gravity, in the pad's frame ([0, 9.80665, 0] at rest). */
  readonly accel?: ArrayLike<number> | undefined;
  /** Fingers on the touchpad: [], [x, y] or [x1, y1, x2, y2], each 0..1, x right and y down. */
  readonly touch?: ArrayLike<number> | undefined;
}

/** A pad state as it goes on the wire: checked, clamped, optional fields left out when absent. */
export interface NormalisedPad {
  axes: number[];
  buttons: number[];
  pad?: "dualshock4";
  gyro?: number[];
  accel?: number[];
  touch?: number[];
}

export const maxPlayers = 8;
/** The bridge types at most this many bytes of UTF-8 per `text` line. */
export const textByteLimit = 1024;

export function checkPlayer(player: unknown): number {
  if (typeof player !== "number" || !Number.isInteger(player) || player < 0 || player >= maxPlayers) {
    throw invalid(`player must be a whole number from 0 to 7, got ${describe(player)}`);
  }
  return player;
}

function clamp(value: number, low: number, high: number): number {
  return value < low ? low : value > high ? high : value;
}

function checkValue(value: unknown, what: string): number {
  if (typeof value !== "number" || Number.isNaN(value)) {
    throw invalid(`${what} must be a number, got ${describe(value)}`);
  }
  return value;
}

/** Axes clamped to -1..1, buttons and touch clamped to 0..1, or an error for a state the bridge
 *  would drop (a wrong count, a NaN, a value that is not a number, an unknown pad kind). */
export function normalisePad(state: PadState): NormalisedPad {
  if (typeof state !== "object" || state === null) {
    throw invalid(`a pad state needs axes and buttons, got ${describe(state)}`);
  }
  const { axes, buttons } = state;
  if (!hasLength(axes, [4])) throw invalid(`a pad state needs exactly 4 axes, got ${countOf(axes)}`);
  if (!hasLength(buttons, [16, 17, 18])) {
    throw invalid(`a pad state needs 16, 17 or 18 buttons, got ${countOf(buttons)}`);
  }
  const result: NormalisedPad = {
    axes: Array.from({ length: 4 }, (_, i) => clamp(checkValue(axes[i], `axis ${i}`), -1, 1)),
    buttons: Array.from({ length: buttons.length }, (_, i) => {
      const button = buttons[i];
      const value = typeof button === "object" && button !== null ? button.value : button;
      return clamp(checkValue(value, `button ${i}`), 0, 1);
    }),
  };
  const { pad, gyro, accel, touch } = state;
  if (pad !== undefined && pad !== "xbox360" && pad !== "dualshock4") {
    throw invalid(`pad must be "xbox360" or "dualshock4", got ${describe(pad)}`);
  }
  if (pad === "dualshock4") result.pad = pad;
  if (gyro !== undefined) result.gyro = vector(gyro, "gyro");
  if (accel !== undefined) result.accel = vector(accel, "accel");
  if (touch !== undefined) {
    if (!hasLength(touch, [0, 2, 4])) throw invalid(`touch needs 0, 2 or 4 numbers, got ${countOf(touch)}`);
    result.touch = Array.from({ length: touch.length }, (_, i) => clamp(checkNumber(touch[i], `touch ${i}`), 0, 1));
  }
  return result;
}

function vector(list: ArrayLike<number>, what: string): number[] {
  if (!hasLength(list, [3])) throw invalid(`${what} needs exactly 3 numbers [x, y, z], got ${countOf(list)}`);
  return Array.from({ length: 3 }, (_, i) => checkNumber(list[i], `${what} ${i}`));
}

function hasLength(list: unknown, counts: readonly number[]): list is ArrayLike<unknown> {
  const length = list != null && typeof list === "object" ? (list as { length?: unknown }).length : undefined;
  return typeof length === "number" && counts.includes(length);
}

export function checkNumber(value: unknown, what: string): number {
  if (typeof value !== "number" || !Number.isFinite(value)) {
    throw invalid(`${what} must be a finite number, got ${describe(value)}`);
  }
  return value;
}

export function checkBoolean(value: unknown, what: string): boolean {
  if (typeof value !== "boolean") {
    throw invalid(`${what} must be true or false, got ${describe(value)}`);
  }
  return value;
}

/** The bridge reads raw UTF-8 and only the escapes for line feed and tab: a carriage return or
 *  another control character cannot reach it, and a lone surrogate is not UTF-8 at all (a line
 *  holding one would be dropped whole). Windows line ends (CR LF, or a lone CR) become line feeds
 *  first, so text from the clipboard types as it reads. */
export function checkText(input: unknown): string {
  if (typeof input !== "string") throw invalid(`text must be a string, got ${describe(input)}`);
  const text = input.replace(/\r\n?/g, "\n");
  for (let i = 0; i < text.length; i++) {
    const unit = text.charCodeAt(i);
    if (unit < 0x20 && unit !== 0x0a && unit !== 0x09) {
      throw invalid(`text can hold line feeds and tabs but no other control character (U+${hex(unit)} at ${i})`);
    }
    if (unit >= 0xd800 && unit <= 0xdbff) {
      const next = text.charCodeAt(i + 1);
      if (next >= 0xdc00 && next <= 0xdfff) {
        i++;
        continue;
      }
    }
    if (unit >= 0xd800 && unit <= 0xdfff) {
      throw invalid(`text holds a lone surrogate (U+${hex(unit)} at ${i}), which is not Unicode`);
    }
  }
  return text;
}

function utf8Length(codePoint: number): number {
  return codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
}

/** Checked text cut into pieces of at most `limit` bytes of UTF-8, each cut between two code
 *  points, so no piece ends inside a UTF-8 sequence or between the halves of a surrogate pair. */
export function splitText(text: string, limit = textByteLimit): string[] {
  const pieces: string[] = [];
  let start = 0;
  let index = 0;
  let bytes = 0;
  for (const ch of text) {
    const size = utf8Length(ch.codePointAt(0) as number);
    if (bytes + size > limit) {
      pieces.push(text.slice(start, index));
      start = index;
      bytes = 0;
    }
    bytes += size;
    index += ch.length;
  }
  if (index > start) pieces.push(text.slice(start, index));
  return pieces;
}

function hex(unit: number): string {
  return unit.toString(16).toUpperCase().padStart(4, "0");
}

function countOf(list: unknown): string {
  return list != null && typeof (list as { length?: unknown }).length === "number"
    ? String((list as { length: number }).length)
    : describe(list);
}

function describe(value: unknown): string {
  if (typeof value === "string") return JSON.stringify(value.length > 40 ? value.slice(0, 40) + "…" : value);
  if (typeof value === "number" || typeof value === "boolean" || value == null) return String(value);
  if (Array.isArray(value)) return "an array";
  return `a ${typeof value}`;
}

export function invalid(message: string): PadbridgeError {
  return new PadbridgeError("invalid_argument", message);
}
