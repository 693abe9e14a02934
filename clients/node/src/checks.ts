// Checks and normalisation at the call, in the host's code: the bridge drops a line it cannot use
// without a word, so anything it would drop is refused here with an error that says why.

/** A button as the browser's Gamepad API gives it, or its value as a plain number. */
export type ButtonInput = number | { readonly value: number };

/** A W3C Gamepad (or anything shaped like one): 4 axes and 16 buttons in the standard layout. A
 *  browser's standard gamepad has a seventeenth button (the centre button), which is left out. */
export interface PadState {
  readonly axes: ArrayLike<number>;
  readonly buttons: ArrayLike<ButtonInput>;
}

export const maxPlayers = 8;
/** The bridge types at most this many bytes of UTF-8 per `text` line. */
export const textByteLimit = 1024;

export function checkPlayer(player: unknown): number {
  if (typeof player !== "number" || !Number.isInteger(player) || player < 0 || player >= maxPlayers) {
    throw new RangeError(`padbridge: player must be a whole number from 0 to 7, got ${describe(player)}`);
  }
  return player;
}

function clamp(value: number, low: number, high: number): number {
  return value < low ? low : value > high ? high : value;
}

function checkValue(value: unknown, what: string): number {
  if (typeof value !== "number" || Number.isNaN(value)) {
    throw new TypeError(`padbridge: ${what} must be a number, got ${describe(value)}`);
  }
  return value;
}

/** Axes clamped to -1..1 and the first 16 buttons clamped to 0..1, or an error for a state the
 *  bridge would drop (a wrong count, a NaN, a value that is not a number). */
export function normalisePad(state: PadState): { axes: number[]; buttons: number[] } {
  if (typeof state !== "object" || state === null) {
    throw new TypeError(`padbridge: a pad state needs axes and buttons, got ${describe(state)}`);
  }
  const { axes, buttons } = state;
  if (axes == null || typeof axes.length !== "number" || axes.length !== 4) {
    throw new RangeError(`padbridge: a pad state needs exactly 4 axes, got ${countOf(axes)}`);
  }
  if (buttons == null || typeof buttons.length !== "number" || (buttons.length !== 16 && buttons.length !== 17)) {
    throw new RangeError(
      `padbridge: a pad state needs 16 buttons (17 from a standard gamepad), got ${countOf(buttons)}`,
    );
  }
  const axisValues: number[] = [];
  for (let i = 0; i < 4; i++) {
    axisValues.push(clamp(checkValue(axes[i], `axis ${i}`), -1, 1));
  }
  const buttonValues: number[] = [];
  for (let i = 0; i < 16; i++) {
    const button = buttons[i];
    const value = typeof button === "object" && button !== null ? button.value : button;
    buttonValues.push(clamp(checkValue(value, `button ${i}`), 0, 1));
  }
  return { axes: axisValues, buttons: buttonValues };
}

export function checkNumber(value: unknown, what: string): number {
  if (typeof value !== "number" || !Number.isFinite(value)) {
    throw new TypeError(`padbridge: ${what} must be a finite number, got ${describe(value)}`);
  }
  return value;
}

export function checkBoolean(value: unknown, what: string): boolean {
  if (typeof value !== "boolean") {
    throw new TypeError(`padbridge: ${what} must be true or false, got ${describe(value)}`);
  }
  return value;
}

/** The bridge reads raw UTF-8 and only the escapes for line feed and tab: a carriage return or
 *  another control character cannot reach it, and a lone surrogate is not UTF-8 at all (a line
 *  holding one would be dropped whole). */
export function checkText(text: unknown): string {
  if (typeof text !== "string") throw new TypeError(`padbridge: text must be a string, got ${describe(text)}`);
  for (let i = 0; i < text.length; i++) {
    const unit = text.charCodeAt(i);
    if (unit < 0x20 && unit !== 0x0a && unit !== 0x09) {
      throw new RangeError(
        `padbridge: text can hold line feeds and tabs but no other control character (U+${hex(unit)} at ${i})`,
      );
    }
    if (unit >= 0xd800 && unit <= 0xdbff) {
      const next = text.charCodeAt(i + 1);
      if (next >= 0xdc00 && next <= 0xdfff) {
        i++;
        continue;
      }
    }
    if (unit >= 0xd800 && unit <= 0xdfff) {
      throw new RangeError(`padbridge: text holds a lone surrogate (U+${hex(unit)} at ${i}), which is not Unicode`);
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
