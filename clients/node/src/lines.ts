// The lines that cross the pipe: what the bridge prints (parsed into typed events) and what the
// client writes (built here, already checked, one JSON object per line).
import type { NormalisedPad } from "./checks.js";

/** The backend the bridge drives pads with. */
export type GamepadBackend = "Xbox 360 (ViGEmBus)" | "vJoy DirectInput" | "No gamepad driver installed";

/** The state of the ViGEmBus driver as the last probe found it. */
export type VigemBusStatus = "missing" | "unavailable" | "incompatible" | "ready";

/** `capabilities`: printed at start-up and once for each probe. */
export interface CapabilitiesLine {
  type: "capabilities";
  os: "Windows";
  gamepadBackend: GamepadBackend;
  vigemBus: VigemBusStatus;
  gamepadAvailable: boolean;
  textInput: true;
  systemEnabled: boolean;
}

/** `device`: a player's pad appeared (`created` true, with its backend) or went. */
export type DeviceLine =
  | {
      type: "device";
      player: number;
      created: true;
      backend: "Xbox 360 (ViGEmBus)" | "DualShock 4 (ViGEmBus)" | "vJoy DirectInput";
    }
  | { type: "device"; player: number; created: false };

/** `rumble`: the two motor strengths a game drives, 0 to 1. */
export interface RumbleLine {
  type: "rumble";
  player: number;
  low: number;
  high: number;
}

/** `lightbar`: the colour a game set on a DualShock 4, 0 to 255 each; printed on a change only. */
export interface LightbarLine {
  type: "lightbar";
  player: number;
  red: number;
  green: number;
  blue: number;
}

/** Error codes the bridge reports for one player's driver request, with its Windows error code.
 *  `gamepad_motion_unavailable`: the bus driver refused a DualShock 4's full report, so the pad
 *  goes on without motion and touch. */
export type PlayerErrorCode =
  | "gamepad_create_failed"
  | "gamepad_update_failed"
  | "gamepad_remove_failed"
  | "gamepad_rumble_unavailable"
  | "gamepad_motion_unavailable";

/** Error codes the bridge reports without a player. */
export type GeneralErrorCode = "driver_required" | "vjoy_configuration_required" | "vjoy_busy";

/** `error`: a missing driver, a misconfigured or busy vJoy device, or a failed driver request. */
export type ErrorLine =
  | { type: "error"; player: number; code: PlayerErrorCode; win32Error: number }
  | { type: "error"; code: GeneralErrorCode; message?: string };

/** `system-permission`: the answer to every permission line the client sends. */
export interface PermissionLine {
  type: "system-permission";
  enabled: boolean;
}

/** `system-blocked`: Windows started refusing desktop input (a UAC prompt, the lock screen), with
 *  the error it gave (5, access denied; 0 if none), or accepts it again. Printed on a change only;
 *  the bridge retries refused releases on its own until they land. */
export type BlockedLine =
  | { type: "system-blocked"; blocked: true; win32Error: number }
  | { type: "system-blocked"; blocked: false };

/** Any line the bridge prints in a session. */
export type BridgeLine = CapabilitiesLine | DeviceLine | RumbleLine | LightbarLine | ErrorLine | PermissionLine | BlockedLine;

const lineTypes = new Set(["capabilities", "device", "rumble", "lightbar", "error", "system-permission", "system-blocked"]);

/** A line of JSON that holds one object, or undefined for anything else. */
export function parseJsonObject(text: string): Record<string, unknown> | undefined {
  let value: unknown;
  try {
    value = JSON.parse(text);
  } catch {
    return undefined;
  }
  if (typeof value !== "object" || value === null || Array.isArray(value)) return undefined;
  return value as Record<string, unknown>;
}

/** One printed line (its CR LF already cut) as a typed object, or undefined for anything else. */
export function parseBridgeLine(text: string): BridgeLine | undefined {
  const value = parseJsonObject(text);
  if (value === undefined) return undefined;
  const type = value.type;
  if (typeof type !== "string" || !lineTypes.has(type)) return undefined;
  return value as BridgeLine;
}

/** A string as the bridge's string reader takes it back byte for byte. That reader knows only
 *  the escapes for quote, backslash, line feed and tab, so every other character must pass raw:
 *  the caller has already refused the characters that cannot (see checkText). */
export function quote(text: string): string {
  let out = '"';
  for (const ch of text) {
    if (ch === '"') out += '\\"';
    else if (ch === "\\") out += "\\\\";
    else if (ch === "\n") out += "\\n";
    else if (ch === "\t") out += "\\t";
    else out += ch;
  }
  return out + '"';
}

/** A finite number as JSON text; -0 prints as 0. */
export function numberText(value: number): string {
  return Object.is(value, -0) ? "0" : String(value);
}

export const probeLine = '{"type":"probe"}\n';
export const heartbeatLine = '{"type":"system-heartbeat"}\n';
export const releaseAllLine = '{"type":"system","action":"release"}\n';

export function permissionLine(enabled: boolean): string {
  return `{"type":"system-permission","enabled":${enabled}}\n`;
}

const list = (values: readonly number[]) => `[${values.map(numberText).join(",")}]`;

/** The optional fields follow the required ones, each only when the host gave it. */
export function inputLine(player: number, state: NormalisedPad): string {
  let line = `{"type":"input","player":${player},"axes":${list(state.axes)},"buttons":${list(state.buttons)}`;
  if (state.pad !== undefined) line += `,"pad":"${state.pad}"`;
  if (state.gyro !== undefined) line += `,"gyro":${list(state.gyro)}`;
  if (state.accel !== undefined) line += `,"accel":${list(state.accel)}`;
  if (state.touch !== undefined) line += `,"touch":${list(state.touch)}`;
  return line + "}\n";
}

export function removeLine(player: number): string {
  return `{"type":"remove","player":${player}}\n`;
}

export function moveLine(x: number, y: number): string {
  return `{"type":"system","action":"move","x":${numberText(x)},"y":${numberText(y)}}\n`;
}

/** `x`, the horizontal wheel, only when given: without it the line is the vertical scroll alone. */
export function scrollLine(y: number, x?: number): string {
  const horizontal = x === undefined ? "" : `,"x":${numberText(x)}`;
  return `{"type":"system","action":"scroll","y":${numberText(y)}${horizontal}}\n`;
}

export function buttonLine(button: string, down: boolean): string {
  return `{"type":"system","action":"button","button":${quote(button)},"down":${down}}\n`;
}

export function pointLine(x: number, y: number): string {
  return `{"type":"system","action":"point","x":${numberText(x)},"y":${numberText(y)}}\n`;
}

export function clickLine(button: 0 | 1, down: boolean): string {
  return `{"type":"system","action":"click","button":${button},"down":${down}}\n`;
}

export function keyLine(name: string, down: boolean): string {
  return `{"type":"system","action":"key","key":${quote(name)},"down":${down}}\n`;
}

/** The text field comes last, after `type` and `action`: the bridge takes each field's first
 *  occurrence, and the text's own quotes are escaped, so nothing in it can pose as a field. */
export function textLine(text: string): string {
  return `{"type":"system","action":"text","text":${quote(text)}}\n`;
}

// padbridge-sim's own lines: the game and the PC of the simulation (padbridge.exe drops them).

export function simRumbleLine(player: number, low: number, high: number): string {
  return `{"type":"sim-rumble","player":${player},"low":${numberText(low)},"high":${numberText(high)}}\n`;
}

export function simLightbarLine(player: number, red: number, green: number, blue: number): string {
  return `{"type":"sim-lightbar","player":${player},"red":${red},"green":${green},"blue":${blue}}\n`;
}

export function simDesktopLine(blocked: boolean): string {
  return `{"type":"sim-desktop","blocked":${blocked}}\n`;
}
