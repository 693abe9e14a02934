// The bridge's own trace (--trace): one JSON record a line of everything it did, read from its
// standard error. Records are for people and tests; a line that is not one of the kinds below, or
// lacks one of its fields, is not a record and is skipped.

import { parseJsonObject } from "./lines.js";

/** Every record: `t` is whole milliseconds since the bridge started. */
interface Stamp {
  t: number;
}

/** The bus driver's requests, by the driver interface's names. */
export type BusRequestName =
  | "CheckVersion"
  | "PlugIn"
  | "WaitReady"
  | "SubmitReport"
  | "Unplug"
  | "AwaitRumble"
  | "SubmitDs4Report"
  | "AwaitDs4Feedback";

/** The first record. */
export interface TraceStart extends Stamp {
  kind: "start";
  version: string;
}

/** A line the host sent (`in`), one handed to standard output (`out`), or one the output queue
 *  dropped or replaced unsent (`drop`), without its line ending. `cut`: the line was too long for
 *  a record and was cut at a character. */
export interface TraceLine extends Stamp {
  kind: "in" | "out" | "drop";
  line: string;
  cut?: true;
}

/** A bus request as it completed (at once, later, or cancelled: result 995). `player` and `serial`
 *  only for a pad's request. */
export interface TraceRequest extends Stamp {
  kind: "request";
  name: BusRequestName;
  code: number;
  player?: number;
  serial?: number;
  result: number;
}

/** A report the driver accepted, as the pad now shows it: standard-gamepad button indexes
 *  pressed, ascending; axes -1..1; triggers 0..1. */
export interface TracePad extends Stamp {
  kind: "pad";
  player: number;
  pad: "xbox360" | "dualshock4" | "vjoy";
  buttons: number[];
  axes: number[];
  triggers: number[];
}

/** An event handed to SendInput, and whether the system took it. */
export type TraceInput =
  | (Stamp & { kind: "input"; device: "keyboard"; vk: number; scan: number; flags: number; accepted: boolean })
  | (Stamp & { kind: "input"; device: "mouse"; dx: number; dy: number; data: number; flags: number; accepted: boolean });

/** A probe's answer. */
export interface TraceProbe extends Stamp {
  kind: "probe";
  backend: "vigem" | "vjoy" | "none";
}

/** The watchdog released everything, or a player's pad left for want of input. */
export type TraceLapse = (Stamp & { kind: "lapse"; keeper: "watchdog" }) | (Stamp & { kind: "lapse"; keeper: "player"; player: number });

/** Records the trace dropped for want of room, written once room returned. */
export interface TraceDropped extends Stamp {
  kind: "dropped";
  count: number;
}

/** One record of the bridge's trace; `kind` tells which. */
export type TraceRecord = TraceStart | TraceLine | TraceRequest | TracePad | TraceInput | TraceProbe | TraceLapse | TraceDropped;

/** A field's shape: a JSON type, a list of numbers, or one of some strings. */
type Shape = "number" | "string" | "boolean" | "numbers" | true | readonly string[];
/** The fields a record must have (`t` and `kind` aside), and those it may have. */
type Fields = { required: Record<string, Shape>; optional?: Record<string, Shape> };

const requestNames = ["CheckVersion", "PlugIn", "WaitReady", "SubmitReport", "Unplug", "AwaitRumble", "SubmitDs4Report", "AwaitDs4Feedback"];
const lineFields: Fields = { required: { line: "string" }, optional: { cut: true } };

/** Each kind's fields; `input` and `lapse` by their device and keeper. */
const kinds: Record<string, Fields | Record<string, Fields>> = {
  start: { required: { version: "string" } },
  in: lineFields,
  out: lineFields,
  drop: lineFields,
  request: { required: { name: requestNames, code: "number", result: "number" }, optional: { player: "number", serial: "number" } },
  pad: {
    required: { player: "number", pad: ["xbox360", "dualshock4", "vjoy"], buttons: "numbers", axes: "numbers", triggers: "numbers" },
  },
  input: {
    keyboard: { required: { vk: "number", scan: "number", flags: "number", accepted: "boolean" } },
    mouse: { required: { dx: "number", dy: "number", data: "number", flags: "number", accepted: "boolean" } },
  },
  probe: { required: { backend: ["vigem", "vjoy", "none"] } },
  lapse: { watchdog: { required: {} }, player: { required: { player: "number" } } },
  dropped: { required: { count: "number" } },
};
/** The field that picks the variant of a kind with several. */
const variantField: Record<string, string> = { input: "device", lapse: "keeper" };

function fits(value: unknown, shape: Shape): boolean {
  if (shape === true) return value === true;
  if (typeof shape !== "string") return typeof value === "string" && shape.includes(value);
  if (shape === "numbers") return Array.isArray(value) && value.every((item) => typeof item === "number");
  return typeof value === shape;
}

/** One line of the trace as a typed record, or undefined for anything else. */
export function parseTraceRecord(text: string): TraceRecord | undefined {
  const record = parseJsonObject(text);
  if (record === undefined) return undefined;
  const { t, kind } = record;
  if (typeof t !== "number" || typeof kind !== "string" || !Object.hasOwn(kinds, kind)) return undefined;
  let fields = kinds[kind] as Fields | Record<string, Fields>;
  const variant = variantField[kind];
  if (variant !== undefined) {
    const name = record[variant];
    if (typeof name !== "string" || !Object.hasOwn(fields, name)) return undefined;
    fields = (fields as Record<string, Fields>)[name] as Fields;
  }
  const { required, optional = {} } = fields as Fields;
  for (const [name, shape] of Object.entries(required)) {
    if (!fits(record[name], shape)) return undefined;
  }
  for (const [name, shape] of Object.entries(optional)) {
    if (name in record && !fits(record[name], shape)) return undefined;
  }
  return record as unknown as TraceRecord;
}
