// One running padbridge.exe and everything the host would otherwise do by hand: keep each pad
// alive with a fresh input line well inside the bridge's one-second idle limit, keep desktop
// control armed with heartbeats, check every call before it can be dropped silently, stop the
// bridge by closing its standard input, and (if asked) start it again after a crash.
import { spawn as spawnProcess } from "node:child_process";
import { EventEmitter } from "node:events";
import type { Readable, Writable } from "node:stream";

import {
  checkBoolean,
  checkNumber,
  checkPlayer,
  checkText,
  normalisePad,
  splitText,
  type PadState,
} from "./checks.js";
import { isKeyName, type KeyName } from "./keys.js";
import * as lines from "./lines.js";
import type { CapabilitiesLine, DeviceLine, ErrorLine, PermissionLine, RumbleLine } from "./lines.js";
import { findBundledExe } from "./locate.js";

/** A pad's state and the desktop heartbeat go out at least this often (the bridge gives up after
 *  1000 ms of silence): a quarter of the limit leaves room for a busy event loop. */
export const keepAliveMs = 250;
/** Waits between restarts: doubled after each quick crash, up to the last, and back to the first
 *  once a bridge has run for stableMs. */
export const restartDelaysMs: readonly number[] = [250, 500, 1000, 2000, 4000];
export const stableMs = 10_000;

export interface StartOptions {
  /** padbridge.exe to start; default: the one in the @padbridge/win32-x64 package. */
  exe?: string;
  /** Passed as --vjoy-dll: where the bridge loads vJoyInterface.dll from (a Windows path). */
  vjoyDll?: string;
  /** A prefix to run the exe with, e.g. ["wine"] on Linux. */
  command?: readonly string[];
  /** The child's environment; default: this process's. */
  env?: NodeJS.ProcessEnv;
  /** Start a new bridge after a crash, with a short back-off, and restore desktop permission. */
  restart?: boolean;
  /** How long to wait for the bridge's first capabilities line (default 30 s: Wine's first start
   *  in a new prefix is slow). */
  startTimeoutMs?: number;
  /** How long stop() waits for a clean exit before it kills the bridge (default 5 s). */
  stopTimeoutMs?: number;
  /** Sees every line the client sends and every line the bridge prints (without its CR LF). */
  trace?: (direction: "sent" | "received", line: string) => void;
}

/** How a bridge ended. `restarting` is true when the client starts a new one. */
export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
  restarting: boolean;
}

export interface BridgeEvents {
  capabilities: [CapabilitiesLine];
  device: [DeviceLine];
  rumble: [RumbleLine];
  /** The bridge's `error` lines. */
  failure: [ErrorLine];
  permission: [PermissionLine];
  exit: [ExitInfo];
}

/** The part of a child process the client uses; tests stand in for it. */
export interface ChildLike extends EventEmitter {
  readonly pid?: number | undefined;
  readonly stdin: Writable | null;
  readonly stdout: Readable | null;
  kill(signal?: NodeJS.Signals | number): boolean;
}

export type Spawner = (file: string, args: readonly string[], env: NodeJS.ProcessEnv) => ChildLike;

const spawnReal: Spawner = (file, args, env) =>
  spawnProcess(file, [...args], { env, stdio: ["pipe", "pipe", "inherit"], windowsHide: true });

type Waiter<T> = { resolve: (value: T) => void; reject: (error: Error) => void };

type Phase = "starting" | "running" | "restarting" | "stopping" | "ended";

/** One player's pad: set() sends at once on a change and keeps the newest state alive. */
export class Pad {
  #line: string | undefined;
  #timer: NodeJS.Timeout | undefined;

  /** @internal */
  constructor(
    readonly player: number,
    private readonly link: Link,
  ) {}

  /** The player's controller state: a W3C Gamepad, or { axes, buttons } with 4 axes (-1..1) and
   *  16 buttons (0..1, numbers or { value }). Throws for a state the bridge would drop. */
  set(state: PadState): void {
    this.link.checkOpen();
    const { axes, buttons } = normalisePad(state);
    const line = lines.inputLine(this.player, axes, buttons);
    if (line === this.#line && this.#timer !== undefined) return;
    this.#line = line;
    this.flush();
  }

  /** Removes the pad (a `remove` line) and stops keeping it alive. */
  release(): void {
    this.link.checkOpen();
    this.forget();
    this.link.send(lines.removeLine(this.player));
  }

  /** Whether the client is keeping this pad alive. */
  get active(): boolean {
    return this.#line !== undefined;
  }

  /** @internal Sends the newest state now and again every keepAliveMs. */
  flush(): void {
    if (this.#line === undefined) return;
    clearTimeout(this.#timer);
    this.link.send(this.#line);
    this.#timer = setTimeout(() => this.flush(), keepAliveMs);
  }

  /** @internal */
  forget(): void {
    clearTimeout(this.#timer);
    this.#timer = undefined;
    this.#line = undefined;
  }
}

/** Desktop control: granted with enable(), kept armed with heartbeats until disable(). */
export class Desktop {
  #wanted = false;
  #timer: NodeJS.Timeout | undefined;
  #moveRestX = 0;
  #moveRestY = 0;

  /** @internal */
  constructor(private readonly link: Link) {}

  /** Whether the host has asked for desktop control (since enable(), until disable()). */
  get enabled(): boolean {
    return this.#wanted;
  }

  /** Grants desktop control; resolves with the bridge's answer (true). */
  enable(): Promise<boolean> {
    this.link.checkOpen();
    this.#wanted = true;
    const answer = this.link.askPermission(true);
    this.#beat();
    return answer;
  }

  /** Refuses desktop control again: the bridge releases everything it holds. Resolves with the
   *  bridge's answer (false). */
  disable(): Promise<boolean> {
    this.link.checkOpen();
    this.#wanted = false;
    this.#stopBeating();
    this.#moveRestX = this.#moveRestY = 0;
    return this.link.askPermission(false);
  }

  /** Relative pointer motion. The bridge moves at most 200 per line and drops fractions, so a
   *  longer move goes out in several lines and fractions add up over calls. Each axis is limited
   *  to ±10000 per call. */
  move(dx: number, dy: number): void {
    this.#checkEnabled();
    let x = this.#moveRestX + clampTo(checkNumber(dx, "dx"), 10_000);
    let y = this.#moveRestY + clampTo(checkNumber(dy, "dy"), 10_000);
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

  /** Turns the vertical wheel by `notches` (positive away from the user; fractions allowed). The
   *  bridge turns at most 10 notches per line; up to ±100 go out in several lines. */
  scroll(notches: number): void {
    this.#checkEnabled();
    let rest = clampTo(checkNumber(notches, "notches"), 100);
    do {
      const step = clampTo(rest, 10);
      this.#system(lines.scrollLine(step));
      rest -= step;
    } while (rest !== 0);
  }

  /** Presses (down true) or releases the left or right mouse button where the pointer is. */
  click(button: "left" | "right", down: boolean): void {
    this.#checkEnabled();
    if (button !== "left" && button !== "right") {
      throw new TypeError(`padbridge: button must be "left" or "right", got ${String(button)}`);
    }
    this.#system(lines.clickLine(button === "right" ? 1 : 0, checkBoolean(down, "down")));
  }

  /** Presses (down true) or releases a named key. */
  key(name: KeyName, down: boolean): void {
    this.#checkEnabled();
    if (!isKeyName(name)) {
      throw new RangeError(`padbridge: unknown key name ${JSON.stringify(name)} (see keyNames)`);
    }
    this.#system(lines.keyLine(name, checkBoolean(down, "down")));
  }

  /** Types Unicode text; longer text than the bridge takes in one line goes out in pieces. Line
   *  feeds and tabs are typed as characters; other control characters are refused. */
  text(text: string): void {
    this.#checkEnabled();
    for (const piece of splitText(checkText(text))) this.#system(lines.textLine(piece));
  }

  /** Releases every key and mouse button the bridge holds down. */
  releaseAll(): void {
    this.#checkEnabled();
    this.#system(lines.releaseAllLine);
  }

  /** @internal After a restart: grant again what the host had granted. */
  restore(): void {
    if (!this.#wanted) return;
    void this.link.askPermission(true).catch(() => {});
    this.#beat();
  }

  /** @internal */
  shutDown(): void {
    this.#stopBeating();
  }

  #checkEnabled(): void {
    this.link.checkOpen();
    if (!this.#wanted) {
      throw new Error("padbridge: desktop control is not enabled; call bridge.desktop.enable() first");
    }
  }

  /** Every system line counts as a heartbeat, so the next heartbeat is due keepAliveMs after it. */
  #system(line: string): void {
    this.link.send(line);
    this.#beat();
  }

  #beat(): void {
    clearTimeout(this.#timer);
    this.#timer = setTimeout(() => {
      this.link.send(lines.heartbeatLine);
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

/** What pads and the desktop need from the bridge. */
interface Link {
  send(line: string): void;
  askPermission(enabled: boolean): Promise<boolean>;
  checkOpen(): void;
}

/** A running padbridge.exe (or, between a crash and its restart, the one about to run). */
export class Bridge {
  /** Desktop control. */
  readonly desktop: Desktop;

  readonly #options: StartOptions;
  readonly #spawn: Spawner;
  readonly #file: string;
  readonly #args: string[];
  readonly #events = new EventEmitter();
  readonly #link: Link;
  readonly #pads = new Map<number, Pad>();
  #capabilities: CapabilitiesLine | undefined;
  #phase: Phase = "starting";
  #child: ChildLike | undefined;
  #childStarted = false;
  #probeWaiters: Waiter<CapabilitiesLine>[] = [];
  #permissionWaiters: Waiter<boolean>[] = [];
  #restartTimer: NodeJS.Timeout | undefined;
  #stableTimer: NodeJS.Timeout | undefined;
  #quickCrashes = 0;
  #lastExit: ExitInfo | undefined;
  #exitWaiters: ((exit: ExitInfo) => void)[] = [];

  /** @internal Use startBridge(). */
  constructor(options: StartOptions, spawner: Spawner) {
    this.#options = options;
    this.#spawn = spawner;
    const exe = options.exe ?? findBundledExe();
    const command = [...(options.command ?? []), exe];
    this.#file = command[0] as string;
    this.#args = command.slice(1);
    if (options.vjoyDll !== undefined) this.#args.push("--vjoy-dll", options.vjoyDll);
    const link: Link = {
      send: (line) => this.#send(line),
      askPermission: (enabled) => this.#askPermission(enabled),
      checkOpen: () => this.#checkOpen(),
    };
    this.desktop = new Desktop(link);
    this.#link = link;
  }

  /** The latest capabilities line (start() resolves only once there is one). */
  get capabilities(): CapabilitiesLine {
    return this.#capabilities as CapabilitiesLine;
  }

  on<E extends keyof BridgeEvents>(event: E, listener: (...args: BridgeEvents[E]) => void): this {
    this.#events.on(event, listener as (...args: unknown[]) => void);
    return this;
  }

  once<E extends keyof BridgeEvents>(event: E, listener: (...args: BridgeEvents[E]) => void): this {
    this.#events.once(event, listener as (...args: unknown[]) => void);
    return this;
  }

  off<E extends keyof BridgeEvents>(event: E, listener: (...args: BridgeEvents[E]) => void): this {
    this.#events.off(event, listener as (...args: unknown[]) => void);
    return this;
  }

  /** Player 0 to 7's pad; the same object on every call. */
  pad(player: number): Pad {
    checkPlayer(player);
    let pad = this.#pads.get(player);
    if (pad === undefined) {
      pad = new Pad(player, this.#link);
      this.#pads.set(player, pad);
    }
    return pad;
  }

  /** Looks for the drivers again; resolves with the new capabilities line. */
  probe(): Promise<CapabilitiesLine> {
    this.#checkOpen();
    return new Promise((resolve, reject) => {
      if (this.#child === undefined) {
        reject(new Error("padbridge: the bridge is not running (it is being restarted)"));
        return;
      }
      this.#probeWaiters.push({ resolve, reject });
      this.#send(lines.probeLine);
    });
  }

  /** Whether a bridge process is running now. */
  get running(): boolean {
    return this.#phase === "running" || this.#phase === "starting";
  }

  /** Stops the bridge the clean way, by closing its standard input, and resolves with its exit.
   *  A bridge that has not ended after stopTimeoutMs is killed. */
  async stop(): Promise<ExitInfo> {
    if (this.#phase === "ended") return this.#lastExit as ExitInfo;
    if (this.#phase === "stopping") return this.#waitForExit();
    this.#phase = "stopping";
    this.#silence();
    const child = this.#child;
    if (child === undefined) {
      // Between a crash and its restart: nothing runs.
      this.#phase = "ended";
      return this.#lastExit as ExitInfo;
    }
    const exited = this.#waitForExit();
    child.stdin?.end();
    const killer = setTimeout(() => child.kill(), this.#options.stopTimeoutMs ?? 5000);
    const exit = await exited;
    clearTimeout(killer);
    return exit;
  }

  /** @internal Starts the first bridge; resolves once its first capabilities line arrived. */
  start(): Promise<this> {
    return new Promise((resolve, reject) => {
      const timeoutMs = this.#options.startTimeoutMs ?? 30_000;
      const timer = setTimeout(() => {
        cleanUp();
        this.#phase = "stopping";
        this.#child?.kill();
        reject(new Error(`padbridge: no capabilities line within ${timeoutMs} ms of starting ${this.#file}`));
      }, timeoutMs);
      const onCapabilities = () => {
        cleanUp();
        this.#phase = "running";
        resolve(this);
      };
      const onExit = (exit: ExitInfo) => {
        cleanUp();
        reject(new Error(`padbridge: ${this.#file} ended before it started (${describeExit(exit)})`));
      };
      const cleanUp = () => {
        clearTimeout(timer);
        this.off("capabilities", onCapabilities);
        this.off("exit", onExit);
      };
      this.once("capabilities", onCapabilities);
      this.once("exit", onExit);
      this.#launch();
    });
  }

  #launch(): void {
    let child: ChildLike;
    try {
      child = this.#spawn(this.#file, this.#args, this.#options.env ?? process.env);
    } catch (error) {
      this.#ended({ code: null, signal: null, restarting: false }, error as Error);
      return;
    }
    this.#child = child;
    this.#childStarted = false;
    let ended = false;
    const end = (code: number | null, signal: NodeJS.Signals | null, error?: Error) => {
      if (ended) return;
      ended = true;
      this.#ended({ code, signal, restarting: false }, error);
    };
    child.on("error", (error: Error) => {
      // Only a child that never ran reports its end this way; other errors come with a close.
      if (child.pid === undefined) end(null, null, error);
    });
    child.on("close", (code: number | null, signal: NodeJS.Signals | null) => end(code, signal));
    child.stdin?.on("error", () => {}); // a bridge that died takes its pipe with it; its close tells
    this.#readLines(child);
    if (this.#options.restart) {
      this.#stableTimer = setTimeout(() => (this.#quickCrashes = 0), stableMs);
    }
  }

  #readLines(child: ChildLike): void {
    const stdout = child.stdout;
    if (stdout === null) return;
    stdout.setEncoding("utf8");
    let partial = "";
    stdout.on("data", (chunk: string) => {
      if (child !== this.#child) return;
      partial += chunk;
      let end: number;
      while ((end = partial.indexOf("\n")) >= 0) {
        const line = partial.slice(0, end).replace(/\r$/, "");
        partial = partial.slice(end + 1);
        this.#received(line);
      }
    });
  }

  #received(text: string): void {
    this.#options.trace?.("received", text);
    const line = lines.parseBridgeLine(text);
    if (line === undefined) return;
    switch (line.type) {
      case "capabilities":
        this.#capabilities = line;
        // The first one of each bridge is its start-up line, not an answer to a probe.
        if (this.#childStarted) this.#probeWaiters.shift()?.resolve(line);
        this.#childStarted = true;
        this.#events.emit("capabilities", line);
        break;
      case "device":
        this.#events.emit("device", line);
        break;
      case "rumble":
        this.#events.emit("rumble", line);
        break;
      case "error":
        this.#events.emit("failure", line);
        break;
      case "system-permission":
        this.#permissionWaiters.shift()?.resolve(line.enabled);
        this.#events.emit("permission", line);
        break;
    }
  }

  #ended(exit: ExitInfo, error?: Error): void {
    this.#child = undefined;
    clearTimeout(this.#stableTimer);
    const why = new Error(`padbridge: the bridge ended before it answered (${describeExit(exit, error)})`);
    for (const waiter of this.#probeWaiters.splice(0)) waiter.reject(why);
    for (const waiter of this.#permissionWaiters.splice(0)) waiter.reject(why);

    const restarting = this.#options.restart === true && this.#phase === "running";
    const info: ExitInfo = { ...exit, restarting };
    this.#lastExit = info;
    if (restarting) {
      this.#phase = "restarting";
      const delay = restartDelaysMs[Math.min(this.#quickCrashes, restartDelaysMs.length - 1)] as number;
      this.#quickCrashes++;
      this.#restartTimer = setTimeout(() => this.#relaunch(), delay);
    } else {
      this.#phase = "ended";
      this.#silence();
    }
    for (const waiter of this.#exitWaiters.splice(0)) waiter(info);
    this.#events.emit("exit", info);
  }

  #relaunch(): void {
    this.#phase = "running";
    this.#launch();
    if (this.#child === undefined) return; // could not even spawn: #ended scheduled the next try
    this.desktop.restore();
    for (const pad of this.#pads.values()) pad.flush();
  }

  /** No more keep-alives, heartbeats or restarts. */
  #silence(): void {
    clearTimeout(this.#restartTimer);
    clearTimeout(this.#stableTimer);
    for (const pad of this.#pads.values()) pad.forget();
    this.desktop.shutDown();
  }

  #waitForExit(): Promise<ExitInfo> {
    return new Promise((resolve) => this.#exitWaiters.push(resolve));
  }

  #send(line: string): void {
    const stdin = this.#child?.stdin;
    if (stdin == null || stdin.writableEnded || this.#phase === "stopping") return;
    this.#options.trace?.("sent", line.slice(0, -1));
    stdin.write(line);
  }

  #askPermission(enabled: boolean): Promise<boolean> {
    return new Promise((resolve, reject) => {
      if (this.#child === undefined) {
        reject(new Error("padbridge: the bridge is not running (it is being restarted)"));
        return;
      }
      this.#permissionWaiters.push({ resolve, reject });
      this.#send(lines.permissionLine(enabled));
    });
  }

  #checkOpen(): void {
    if (this.#phase === "stopping" || this.#phase === "ended") {
      throw new Error(
        this.#phase === "ended" && this.#lastExit !== undefined
          ? `padbridge: the bridge has ended (${describeExit(this.#lastExit)})`
          : "padbridge: the bridge is stopping",
      );
    }
  }
}

function describeExit(exit: { code: number | null; signal: NodeJS.Signals | null }, error?: Error): string {
  if (error !== undefined) return error.message;
  return exit.signal !== null ? `signal ${exit.signal}` : `exit code ${exit.code}`;
}

/** Starts padbridge.exe and resolves once it has printed its capabilities. */
export function startBridge(options: StartOptions = {}): Promise<Bridge> {
  return startWith(options, spawnReal);
}

/** @internal startBridge with another way to start the child (tests). Async, so that a bad
 *  option (no exe to be found) rejects like every other failure to start. */
export async function startWith(options: StartOptions, spawner: Spawner): Promise<Bridge> {
  return new Bridge(options, spawner).start();
}
