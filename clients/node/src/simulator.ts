// The simulated PC behind padbridge-sim: a host's tests play the game (rumble, lightbar) and the
// PC (a secure desktop) with lines only padbridge-sim takes. padbridge-sim drops a malformed one
// without a word, so each call is checked here first, like every other method.
import { checkBoolean, checkNumber, checkPlayer, invalid } from "./checks.js";
import * as lines from "./lines.js";
import type { Link } from "./link.js";

/** The backends padbridge-sim can simulate: the ViGEmBus driver, vJoy devices 1 to 8, or none. */
export type SimulatorBackend = "vigem" | "vjoy" | "none";
export const simulatorBackends: readonly SimulatorBackend[] = ["vigem", "vjoy", "none"];

/** The game and the PC of padbridge-sim. Every call throws "restarting" while a crashed bridge is
 *  being replaced and "ended" after stop(). */
export interface Simulator {
  /** The game sets a pad's motors (0..1 each): the bridge then prints the `rumble` line the real
   *  driver would make it print. No effect on a player without a bus pad. */
  rumble(player: number, motors: { readonly low: number; readonly high: number }): void;
  /** The game sets a DualShock 4's lightbar (whole numbers 0..255): a `lightbar` line follows. */
  lightbar(player: number, colour: { readonly red: number; readonly green: number; readonly blue: number }): void;
  /** A secure desktop appears (true: every desktop event is refused, as under a UAC prompt) or
   *  goes (false). */
  block(blocked: boolean): void;
}

export class SimulatorImpl implements Simulator {
  readonly #link: Link;

  constructor(link: Link) {
    this.#link = link;
  }

  rumble(player: number, motors: { readonly low: number; readonly high: number }): void {
    this.#link.checkRunning();
    checkPlayer(player);
    const { low, high } = fields(motors, "motors", ["low", "high"]);
    this.#link.send(lines.simRumbleLine(player, fraction(low, "low"), fraction(high, "high")));
  }

  lightbar(player: number, colour: { readonly red: number; readonly green: number; readonly blue: number }): void {
    this.#link.checkRunning();
    checkPlayer(player);
    const { red, green, blue } = fields(colour, "colour", ["red", "green", "blue"]);
    this.#link.send(lines.simLightbarLine(player, byte(red, "red"), byte(green, "green"), byte(blue, "blue")));
  }

  block(blocked: boolean): void {
    this.#link.checkRunning();
    this.#link.send(lines.simDesktopLine(checkBoolean(blocked, "blocked")));
  }
}

function fields<K extends string>(value: unknown, what: string, names: readonly K[]): Record<K, unknown> {
  if (typeof value !== "object" || value === null) {
    throw invalid(`${what} must be an object with ${names.join(", ")}, got ${String(value)}`);
  }
  return value as Record<K, unknown>;
}

function fraction(value: unknown, what: string): number {
  const number = checkNumber(value, what);
  if (number < 0 || number > 1) throw invalid(`${what} must be from 0 to 1, got ${number}`);
  return number;
}

function byte(value: unknown, what: string): number {
  const number = checkNumber(value, what);
  if (!Number.isInteger(number) || number < 0 || number > 255) {
    throw invalid(`${what} must be a whole number from 0 to 255, got ${number}`);
  }
  return number;
}
