// One player's pad: the newest state goes out at once on a change and again every keepAliveMs,
// well inside the bridge's one-second idle limit.
import { normalisePad, type PadState } from "./checks.js";
import * as lines from "./lines.js";
import type { Link } from "./link.js";

/** The newest pad state and the desktop heartbeat go out at least this often (the bridge gives
 *  up after 1000 ms of silence): a quarter of the limit leaves room for a busy event loop. */
export const keepAliveMs = 250;

/** One player's virtual pad. */
export interface Pad {
  /** 0 to 7. */
  readonly player: number;
  /** Whether the client is keeping this pad alive (since set(), until release() or stop()). */
  readonly active: boolean;
  /** The player's controller state: a W3C Gamepad, or { axes, buttons } with 4 axes (-1..1) and
   *  16, 17 or 18 buttons (0..1, numbers or { value }), plus the DualShock 4's optional fields.
   *  Throws (code "invalid_argument") for a state the bridge would drop. During a restart the
   *  state is kept and sent to the new bridge. */
  set(state: PadState): void;
  /** Removes the pad (a `remove` line) and stops keeping it alive. */
  release(): void;
}

/** What the bridge alone may do with a pad; kept off the pad object itself. */
export interface PadControls {
  /** Sends the newest state now and again every keepAliveMs. */
  flush(keepAlive: boolean): void;
  /** Stops keeping the pad alive and forgets its state. */
  forget(): void;
}

export class PadImpl implements Pad {
  readonly #link: Link;
  #line: string | undefined;
  #timer: NodeJS.Timeout | undefined;

  constructor(
    readonly player: number,
    link: Link,
    share: (controls: PadControls) => void,
  ) {
    this.#link = link;
    share({ flush: (keepAlive) => this.#flush(keepAlive), forget: () => this.#forget() });
  }

  set(state: PadState): void {
    this.#link.checkOpen();
    const line = lines.inputLine(this.player, normalisePad(state));
    if (line === this.#line && this.#timer !== undefined) return;
    if (line !== this.#line) this.#link.padChanged(this.player);
    this.#line = line;
    this.#flush(false);
  }

  release(): void {
    this.#link.checkOpen();
    this.#forget();
    this.#link.padChanged(this.player);
    this.#link.send(lines.removeLine(this.player));
  }

  get active(): boolean {
    return this.#line !== undefined;
  }

  #flush(keepAlive: boolean): void {
    if (this.#line === undefined) return;
    clearTimeout(this.#timer);
    this.#link.send(this.#line, keepAlive);
    this.#timer = setTimeout(() => this.#flush(true), keepAliveMs);
  }

  #forget(): void {
    clearTimeout(this.#timer);
    this.#timer = undefined;
    this.#line = undefined;
  }
}
