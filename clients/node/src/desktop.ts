// Desktop control: granted with enable(), kept armed with heartbeats until disable(), and every
// action checked at the call, since the bridge drops what it cannot use without a word.
import { checkBoolean, checkNumber, checkText, invalid, splitText } from "./checks.js";
import { PadbridgeError } from "./errors.js";
import { isKeyName, type KeyName } from "./keys.js";
import * as lines from "./lines.js";
import type { Link, WaitOptions } from "./link.js";
import { keepAliveMs } from "./pad.js";

/** The mouse buttons of `button()`: back and forward are the side buttons. */
export type MouseButton = "left" | "right" | "middle" | "back" | "forward";
const mouseButtons: readonly string[] = ["left", "right", "middle", "back", "forward"];

/** Desktop control. Every action throws (code "not_enabled") before enable(), "restarting" while a
 *  crashed bridge is being replaced, and "ended" after stop(). */
export interface Desktop {
  /** Whether the host has asked for desktop control: from enable() until disable(), or until that
   *  enable() was refused (rejected, timed out or aborted). */
  readonly enabled: boolean;
  /** Whether Windows refuses the bridge's desktop input now, as while a UAC prompt or the lock
   *  screen is up: the last `blocked` event's word, false until one comes and for a new bridge
   *  after a restart. Refused releases are retried by the bridge until they land. */
  readonly blocked: boolean;
  /** Grants desktop control; resolves with the bridge's answer (true). */
  enable(options?: WaitOptions): Promise<boolean>;
  /** Refuses desktop control again: the bridge releases everything it holds. Resolves with the
   *  bridge's answer (false), or at once with false while a restart is pending. */
  disable(options?: WaitOptions): Promise<boolean>;
  /** Relative pointer motion, positive right and down; up to ±10000 per call, fractions carried
   *  over to the next call. */
  move(dx: number, dy: number): void;
  /** Turns the wheel by notches (fractions allowed, up to ±100 per call): `dy` the vertical wheel,
   *  positive away from the user; `dx` the horizontal wheel, positive to the right. */
  scroll(dy: number, dx?: number): void;
  /** Places the pointer at a spot of the whole virtual desktop (every monitor): 0..1 each, 0,0 at
   *  its top-left corner; values outside are clamped. */
  point(x: number, y: number): void;
  /** Presses (down true) or releases a mouse button where the pointer is. */
  button(name: MouseButton, down: boolean): void;
  /** The left or right button, as button("left" | "right", down). */
  click(button: "left" | "right", down: boolean): void;
  /** Presses (down true) or releases a named key. */
  key(name: KeyName, down: boolean): void;
  /** Types Unicode text into the window that has the focus. */
  text(text: string): void;
  /** Releases every key and mouse button the bridge holds down. */
  releaseAll(): void;
}

/** What the bridge alone may do with desktop control; kept off the desktop object itself. */
export interface DesktopControls {
  /** After a restart: grant again what the host was told had been granted. */
  restore(): void;
  /** No more heartbeats. */
  shutDown(): void;
  /** The bridge printed a `system-blocked` line. */
  blockedChanged(blocked: boolean): void;
}

export class DesktopImpl implements Desktop {
  readonly #link: Link;
  /** Asked for by the host: actions are allowed and heartbeats go. */
  #wanted = false;
  /** The host's last enable() resolved true and no disable() followed: a new bridge after a crash
   *  gets the grant again. Never true for an enable() the host saw fail. */
  #granted = false;
  /** Counts enable() and disable() calls, so only the newest one's outcome counts. */
  #request = 0;
  #timer: NodeJS.Timeout | undefined;
  #moveRestX = 0;
  #moveRestY = 0;
  #blocked = false;

  constructor(link: Link, share: (controls: DesktopControls) => void) {
    this.#link = link;
    share({
      restore: () => this.#restore(),
      shutDown: () => this.#stopBeating(),
      blockedChanged: (blocked) => (this.#blocked = blocked),
    });
  }

  get enabled(): boolean {
    return this.#wanted;
  }

  get blocked(): boolean {
    return this.#blocked;
  }

  async enable(options: WaitOptions = {}): Promise<boolean> {
    this.#link.checkRunning();
    const request = ++this.#request;
    this.#wanted = true;
    this.#beat();
    let answer: boolean;
    try {
      answer = await this.#link.askPermission(true, options);
    } catch (error) {
      if (request === this.#request) this.#refused(error);
      throw error;
    }
    if (request === this.#request) {
      this.#granted = answer;
      if (!answer) this.#refused(undefined);
    }
    return answer;
  }

  async disable(options: WaitOptions = {}): Promise<boolean> {
    this.#link.checkOpen();
    this.#request++;
    this.#wanted = this.#granted = false;
    this.#stopBeating();
    this.#moveRestX = this.#moveRestY = 0;
    // A new bridge starts with desktop control refused: nothing to tell it.
    if (this.#link.restarting()) return false;
    return this.#link.askPermission(false, options);
  }

  move(dx: number, dy: number): void {
    this.#checkEnabled();
    let x = this.#moveRestX + clampTo(checkNumber(dx, "dx"), 10_000);
    let y = this.#moveRestY + clampTo(checkNumber(dy, "dy"), 10_000);
    // The bridge moves at most 200 per line and drops fractions.
    do {
      const stepX = Math.trunc(clampTo(x, 200));
      const stepY = Math.trunc(clampTo(y, 200));
      if (stepX === 0 && stepY === 0) break;
      this.#system(lines.moveLine(stepX, stepY));
      x -= stepX;
      y -= stepY;
    } while (Math.abs(x) >= 1 || Math.abs(y) >= 1);
    this.#moveRestX = x;
    this.#moveRestY = y;
  }

  scroll(dy: number, dx?: number): void {
    this.#checkEnabled();
    let restY = clampTo(checkNumber(dy, "dy"), 100);
    let restX = dx === undefined ? 0 : clampTo(checkNumber(dx, "dx"), 100);
    // The bridge turns each wheel at most 10 notches per line.
    do {
      const stepY = clampTo(restY, 10);
      const stepX = clampTo(restX, 10);
      this.#system(lines.scrollLine(stepY, dx === undefined ? undefined : stepX));
      restY -= stepY;
      restX -= stepX;
    } while (restY !== 0 || restX !== 0);
  }

  point(x: number, y: number): void {
    this.#checkEnabled();
    const px = clampTo01(checkNumber(x, "x"));
    const py = clampTo01(checkNumber(y, "y"));
    this.#system(lines.pointLine(px, py));
  }

  button(name: MouseButton, down: boolean): void {
    this.#checkEnabled();
    if (!mouseButtons.includes(name)) {
      throw invalid(`button must be "left", "right", "middle", "back" or "forward", got ${JSON.stringify(name)}`);
    }
    this.#system(lines.buttonLine(name, checkBoolean(down, "down")));
  }

  click(button: "left" | "right", down: boolean): void {
    this.#checkEnabled();
    if (button !== "left" && button !== "right") {
      throw invalid(`click takes "left" or "right", got ${JSON.stringify(button)}; use button() for the others`);
    }
    this.#system(lines.clickLine(button === "right" ? 1 : 0, checkBoolean(down, "down")));
  }

  key(name: KeyName, down: boolean): void {
    this.#checkEnabled();
    if (!isKeyName(name)) throw invalid(`unknown key name ${JSON.stringify(name)} (see keyNames)`);
    this.#system(lines.keyLine(name, checkBoolean(down, "down")));
  }

  text(text: string): void {
    this.#checkEnabled();
    for (const piece of splitText(checkText(text))) this.#system(lines.textLine(piece));
  }

  releaseAll(): void {
    this.#checkEnabled();
    this.#system(lines.releaseAllLine);
  }

  #restore(): void {
    this.#blocked = false; // a new bridge has refused nothing yet
    if (!this.#granted) return;
    void this.#link.askPermission(true, {}).catch(() => {});
    this.#beat();
  }

  /** The host was told enable() failed: stop acting on it, and if the bridge may still grant it
   *  (an answer that came too late, or an aborted wait), take the grant back. */
  #refused(error: unknown): void {
    this.#wanted = this.#granted = false;
    this.#stopBeating();
    const code = error instanceof PadbridgeError ? error.code : undefined;
    if ((code === "timeout" || code === "aborted") && !this.#link.restarting()) {
      void this.#link.askPermission(false, {}).catch(() => {});
    }
  }

  #checkEnabled(): void {
    this.#link.checkRunning();
    if (!this.#wanted) {
      throw new PadbridgeError("not_enabled", "desktop control is not enabled; call bridge.desktop.enable() first");
    }
  }

  /** Every system line counts as a heartbeat, so the next heartbeat is due keepAliveMs after it. */
  #system(line: string): void {
    this.#link.send(line);
    this.#beat();
  }

  #beat(): void {
    clearTimeout(this.#timer);
    this.#timer = setTimeout(() => {
      this.#link.send(lines.heartbeatLine, true);
      this.#beat();
    }, keepAliveMs);
  }

  #stopBeating(): void {
    clearTimeout(this.#timer);
    this.#timer = undefined;
  }
}

function clampTo(value: number, limit: number): number {
  return value < -limit ? -limit : value > limit ? limit : value;
}

function clampTo01(value: number): number {
  return value < 0 ? 0 : value > 1 ? 1 : value;
}
