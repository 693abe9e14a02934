// One running padbridge.exe and everything the host would otherwise do by hand: keep each pad
// alive, keep desktop control armed, check every call before it can be dropped silently, stop the
// bridge by closing its standard input, and (if asked) start it again after a crash.
import { spawn as spawnProcess } from "node:child_process";
import { EventEmitter } from "node:events";
import type { Readable, Writable } from "node:stream";

import { checkPlayer } from "./checks.js";
import { DesktopImpl, type Desktop, type DesktopControls } from "./desktop.js";
import { abortError, PadbridgeError } from "./errors.js";
import * as lines from "./lines.js";
import type { CapabilitiesLine, DeviceLine, ErrorLine, LightbarLine, PermissionLine, RumbleLine } from "./lines.js";
import type { Link, WaitOptions } from "./link.js";
import { findBundledExe } from "./locate.js";
import { PadImpl, type Pad, type PadControls } from "./pad.js";

/** Waits between restarts: doubled after each quick crash, up to the last, and back to the first
 *  once a bridge has run for stableMs. */
export const restartDelaysMs: readonly number[] = [250, 500, 1000, 2000, 4000];
export const stableMs = 10_000;
/** With `restart`, the client gives up after this many starts in a row that failed (the exe could
 *  not be started, ended before its first line, or stayed silent for startTimeoutMs). */
export const maxFailedStarts = 5;
/** After stop() has killed the bridge, how long it waits for the process to report its end. */
export const killWaitMs = 2000;

export interface StartOptions {
  /** padbridge.exe to start; default: the one in the @padbridge/win32-x64 package. */
  exe?: string | undefined;
  /** Passed as --vjoy-dll: where the bridge loads vJoyInterface.dll from (a Windows path). */
  vjoyDll?: string | undefined;
  /** A prefix to run the exe with, e.g. ["wine"] on Linux. */
  command?: readonly string[] | undefined;
  /** The child's environment; default: this process's. */
  env?: NodeJS.ProcessEnv | undefined;
  /** Start a new bridge after a crash, with a short back-off, and restore desktop permission. */
  restart?: boolean | undefined;
  /** How long to wait for a bridge's first line, at the start and after each restart (default
   *  30 s: Wine's first start in a new prefix is slow). */
  startTimeoutMs?: number | undefined;
  /** How long stop() waits for a clean exit before it kills the bridge (default 5 s). */
  stopTimeoutMs?: number | undefined;
  /** How long probe(), enable() and disable() wait for the bridge's answer (default 10 s). */
  answerTimeoutMs?: number | undefined;
  /** Aborts the start: the bridge is killed and startBridge() rejects with code "aborted". */
  signal?: AbortSignal | undefined;
  /** Sees every line the client sends and every line the bridge prints (without its CR LF). */
  trace?: ((direction: "sent" | "received", line: string) => void) | undefined;
}

/** How a bridge ended. `restarting` is true when the client starts a new one. */
export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
  restarting: boolean;
  /** Why it ended, when the exit code does not say: it could not be started (with the system's
   *  error as `cause`), never printed its first line, or did not end when killed. */
  error?: PadbridgeError | undefined;
}

export interface BridgeEvents {
  capabilities: [CapabilitiesLine];
  device: [DeviceLine];
  rumble: [RumbleLine];
  lightbar: [LightbarLine];
  /** The bridge's `error` lines, each code once per pad until its state changes (see README). */
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

let createBridge: (options: StartOptions, spawner: Spawner) => Bridge;
let startBridgeProcess: (bridge: Bridge) => Promise<Bridge>;
const constructing = Symbol("constructing");

/** A running padbridge.exe (or, between a crash and its restart, the one about to run). Made by
 *  startBridge(); stopped by stop() or `await using`. */
export class Bridge extends EventEmitter<BridgeEvents> {
  static {
    createBridge = (options, spawner) => new Bridge(constructing, options, spawner);
    startBridgeProcess = (bridge) => bridge.#start();
  }

  /** Desktop control. */
  readonly desktop: Desktop;

  readonly #options: StartOptions;
  readonly #spawn: Spawner;
  readonly #file: string;
  readonly #args: string[];
  readonly #desktop: DesktopControls;
  readonly #link: Link;
  readonly #pads = new Map<number, { pad: Pad; controls: PadControls }>();
  #capabilities: CapabilitiesLine | undefined;
  #phase: Phase = "starting";
  #child: ChildLike | undefined;
  /** The child has printed its first line. */
  #childStarted = false;
  /** The last write to the child returned false and no drain came yet. */
  #draining = false;
  #startWaiter: Waiter<Bridge> | undefined;
  #probeWaiters: Waiter<CapabilitiesLine>[] = [];
  #permissionWaiters: Waiter<boolean>[] = [];
  #startTimer: NodeJS.Timeout | undefined;
  #restartTimer: NodeJS.Timeout | undefined;
  #stableTimer: NodeJS.Timeout | undefined;
  #quickCrashes = 0;
  #failedStarts = 0;
  /** Failures already reported: "player code", or the code alone for the lines without a player. */
  readonly #reported = new Set<string>();
  #lastExit: ExitInfo | undefined;
  #exitWaiters: ((exit: ExitInfo) => void)[] = [];

  private constructor(token: typeof constructing, options: StartOptions, spawner: Spawner) {
    super();
    if (token !== constructing) throw new TypeError("padbridge: use startBridge() to start a bridge");
    this.#options = options;
    this.#spawn = spawner;
    const exe = options.exe ?? findBundledExe();
    const command = [...(options.command ?? []), exe];
    this.#file = command[0] as string;
    this.#args = command.slice(1);
    if (options.vjoyDll !== undefined) this.#args.push("--vjoy-dll", options.vjoyDll);
    this.#link = {
      send: (line, keepAlive) => this.#send(line, keepAlive === true),
      askPermission: (enabled, wait) => this.#ask(this.#permissionWaiters, lines.permissionLine(enabled), wait),
      checkOpen: () => this.#checkOpen(),
      checkRunning: () => this.#checkRunning(),
      restarting: () => this.#phase === "restarting",
      padChanged: (player) => this.#forgetFailures(player),
    };
    let desktop: DesktopControls | undefined;
    this.desktop = new DesktopImpl(this.#link, (controls) => (desktop = controls));
    this.#desktop = desktop as DesktopControls;
  }

  /** The latest capabilities line (startBridge() resolves only once there is one). */
  get capabilities(): CapabilitiesLine {
    return this.#capabilities as CapabilitiesLine;
  }

  /** Whether a bridge process runs now: false during a restart's back-off and after the end. */
  get running(): boolean {
    return (this.#phase === "running" || this.#phase === "starting") && this.#child !== undefined;
  }

  /** Player 0 to 7's pad; the same object on every call. */
  pad(player: number): Pad {
    checkPlayer(player);
    let entry = this.#pads.get(player);
    if (entry === undefined) {
      let controls: PadControls | undefined;
      const pad = new PadImpl(player, this.#link, (shared) => (controls = shared));
      entry = { pad, controls: controls as PadControls };
      this.#pads.set(player, entry);
    }
    return entry.pad;
  }

  /** Looks for the drivers again; resolves with the new capabilities line. */
  async probe(options: WaitOptions = {}): Promise<CapabilitiesLine> {
    this.#checkRunning();
    return this.#ask(this.#probeWaiters, lines.probeLine, options);
  }

  /** Stops the bridge the clean way, by closing its standard input, and resolves with its exit.
   *  A bridge that has not ended after stopTimeoutMs is killed, and one that does not report its
   *  end killWaitMs after that is given up on. During a restart's back-off, nothing runs: it
   *  resolves at once, with `restarting` false. */
  async stop(): Promise<ExitInfo> {
    if (this.#phase === "ended") return this.#lastExit as ExitInfo;
    if (this.#phase === "stopping") return this.#waitForExit();
    this.#phase = "stopping";
    this.#silence();
    const child = this.#child;
    if (child === undefined) {
      const exit: ExitInfo = { ...(this.#lastExit as ExitInfo), restarting: false };
      this.#finish(exit);
      return exit;
    }
    const exited = this.#waitForExit();
    child.stdin?.end();
    let abandon: NodeJS.Timeout | undefined;
    const killer = setTimeout(() => {
      child.kill();
      abandon = setTimeout(() => {
        child.stdout?.destroy();
        const error = new PadbridgeError("timeout", `${this.#file} did not end within ${killWaitMs} ms of being killed`);
        this.#ended(child, { code: null, signal: null, restarting: false }, error);
      }, killWaitMs);
    }, this.#options.stopTimeoutMs ?? 5000);
    const exit = await exited;
    clearTimeout(killer);
    clearTimeout(abandon);
    return exit;
  }

  /** `await using bridge = await startBridge()` stops the bridge at the end of the block. */
  async [Symbol.asyncDispose](): Promise<void> {
    await this.stop();
  }

  /** Starts the first bridge; resolves once it printed its first line. */
  #start(): Promise<Bridge> {
    const signal = this.#options.signal;
    return new Promise<Bridge>((resolve, reject) => {
      if (signal?.aborted) {
        this.#phase = "ended";
        reject(abortError(signal));
        return;
      }
      const onAbort = () => {
        const waiter = this.#startWaiter;
        this.#startWaiter = undefined;
        this.#phase = "stopping";
        this.#child?.kill();
        waiter?.reject(abortError(signal as AbortSignal));
      };
      signal?.addEventListener("abort", onAbort, { once: true });
      this.#startWaiter = {
        resolve: (bridge) => {
          signal?.removeEventListener("abort", onAbort);
          resolve(bridge);
        },
        reject: (error) => {
          signal?.removeEventListener("abort", onAbort);
          reject(error);
        },
      };
      this.#launch();
    });
  }

  #launch(): void {
    this.#childStarted = false;
    this.#draining = false;
    let child: ChildLike;
    try {
      child = this.#spawn(this.#file, this.#args, this.#options.env ?? process.env);
    } catch (error) {
      this.#ended(undefined, { code: null, signal: null, restarting: false }, this.#spawnFailed(error));
      return;
    }
    this.#child = child;
    let startError: PadbridgeError | undefined;
    const timeoutMs = this.#options.startTimeoutMs ?? 30_000;
    this.#startTimer = setTimeout(() => {
      startError = new PadbridgeError("timeout", `no first line within ${timeoutMs} ms of starting ${this.#file}`);
      child.kill();
    }, timeoutMs);
    child.on("error", (error: Error) => {
      // Only a child that never ran reports its end this way; other errors come with a close.
      if (child.pid === undefined) this.#ended(child, { code: null, signal: null, restarting: false }, this.#spawnFailed(error));
    });
    child.on("close", (code: number | null, signal: NodeJS.Signals | null) => {
      const error =
        startError ??
        (this.#childStarted || child !== this.#child
          ? undefined
          : new PadbridgeError("not_started", `${this.#file} ended before it started (${describeExit({ code, signal })})`));
      this.#ended(child, { code, signal, restarting: false }, error);
    });
    child.stdin?.on("error", () => {}); // a bridge that died takes its pipe with it; its close tells
    child.stdin?.on("drain", () => {
      if (child === this.#child) this.#draining = false;
    });
    this.#readLines(child);
    if (this.#options.restart) this.#stableTimer = setTimeout(() => (this.#quickCrashes = 0), stableMs);
  }

  #spawnFailed(error: unknown): PadbridgeError {
    const reason = error instanceof Error ? error.message : String(error);
    return new PadbridgeError("spawn_failed", `could not start ${this.#file} (${reason})`, { cause: error });
  }

  #readLines(child: ChildLike): void {
    const stdout = child.stdout;
    if (stdout === null) return;
    stdout.setEncoding("utf8");
    let partial = "";
    stdout.on("data", (chunk: string) => {
      partial += chunk;
      let end: number;
      while ((end = partial.indexOf("\n")) >= 0) {
        const line = partial.slice(0, end).replace(/\r$/, "");
        partial = partial.slice(end + 1);
        if (child === this.#child) this.#received(line);
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
        if (this.#childStarted) {
          this.#probeWaiters.shift()?.resolve(line);
        } else {
          // A bridge's first line is its start-up line, not an answer to a probe.
          this.#childStarted = true;
          this.#failedStarts = 0;
          clearTimeout(this.#startTimer);
          if (this.#phase === "starting") {
            this.#phase = "running";
            const waiter = this.#startWaiter;
            this.#startWaiter = undefined;
            waiter?.resolve(this);
          }
        }
        this.#reported.clear(); // the drivers may have changed
        this.#emit("capabilities", line);
        break;
      case "device":
        this.#emit("device", line);
        break;
      case "rumble":
        this.#emit("rumble", line);
        break;
      case "lightbar":
        this.#emit("lightbar", line);
        break;
      case "error": {
        const key = "player" in line ? `${line.player} ${line.code}` : line.code;
        if (this.#reported.has(key)) break;
        this.#reported.add(key);
        this.#emit("failure", line);
        break;
      }
      case "system-permission":
        this.#permissionWaiters.shift()?.resolve(line.enabled);
        this.#emit("permission", line);
        break;
    }
  }

  /** A listener that throws must not keep the remaining lines from their listeners or answers:
   *  its exception is thrown again on its own, where it surfaces as from any emitter. */
  #emit<E extends keyof BridgeEvents>(event: E, ...args: BridgeEvents[E]): void {
    try {
      (this.emit as (event: E, ...args: BridgeEvents[E]) => boolean)(event, ...args);
    } catch (error) {
      process.nextTick(() => {
        throw error;
      });
    }
  }

  #forgetFailures(player: number): void {
    for (const key of this.#reported) {
      // The lines without a player answer any pad's input.
      if (!key.includes(" ") || key.startsWith(`${player} `)) this.#reported.delete(key);
    }
  }

  /** One child ended (a stale child's late end is ignored). */
  #ended(child: ChildLike | undefined, exit: ExitInfo, error: PadbridgeError | undefined): void {
    if (child !== this.#child) return;
    this.#child = undefined;
    clearTimeout(this.#startTimer);
    clearTimeout(this.#stableTimer);
    if (!this.#childStarted) this.#failedStarts++;

    const restarting =
      this.#options.restart === true && this.#phase === "running" && this.#failedStarts < maxFailedStarts;
    const why = restarting
      ? new PadbridgeError("restarting", "the bridge ended before it answered; a new one is being started")
      : new PadbridgeError("ended", `the bridge ended before it answered (${describeExit(exit, error)})`);
    for (const waiter of this.#probeWaiters.splice(0)) waiter.reject(why);
    for (const waiter of this.#permissionWaiters.splice(0)) waiter.reject(why);

    const info: ExitInfo = error === undefined ? { ...exit, restarting } : { ...exit, restarting, error };
    if (restarting) {
      this.#phase = "restarting";
      this.#lastExit = info;
      const delay = restartDelaysMs[Math.min(this.#quickCrashes, restartDelaysMs.length - 1)] as number;
      this.#quickCrashes++;
      this.#restartTimer = setTimeout(() => this.#relaunch(), delay);
      this.#emit("exit", info);
      return;
    }
    const startWaiter = this.#startWaiter;
    this.#startWaiter = undefined;
    this.#silence();
    this.#finish(info);
    startWaiter?.reject(error ?? why);
  }

  /** The final end: no bridge will run again. */
  #finish(exit: ExitInfo): void {
    this.#phase = "ended";
    this.#lastExit = exit;
    for (const waiter of this.#exitWaiters.splice(0)) waiter(exit);
    this.#emit("exit", exit);
  }

  #relaunch(): void {
    this.#phase = "running";
    this.#reported.clear();
    this.#launch();
    if (this.#child === undefined) return; // could not even spawn: #ended decided what follows
    this.#desktop.restore();
    for (const { controls } of this.#pads.values()) controls.flush(false);
  }

  /** No more keep-alives, heartbeats or restarts. */
  #silence(): void {
    clearTimeout(this.#restartTimer);
    clearTimeout(this.#stableTimer);
    clearTimeout(this.#startTimer);
    for (const { controls } of this.#pads.values()) controls.forget();
    this.#desktop.shutDown();
  }

  #waitForExit(): Promise<ExitInfo> {
    return new Promise((resolve) => this.#exitWaiters.push(resolve));
  }

  #send(line: string, keepAlive: boolean): void {
    const stdin = this.#child?.stdin;
    if (stdin == null || stdin.writableEnded || stdin.destroyed || this.#phase === "stopping") return;
    // A bridge that stops reading gets no pile of repeats to burst through later: the newest
    // state goes again once the pipe has drained.
    if (keepAlive && this.#draining) return;
    this.#options.trace?.("sent", line.slice(0, -1));
    if (!stdin.write(line)) this.#draining = true;
  }

  /** Sends a line whose answer comes back in order, and waits for that answer. A wait that times
   *  out or is aborted stays in the queue, so that its late answer is not taken for the next. */
  #ask<T>(queue: Waiter<T>[], line: string, options: WaitOptions): Promise<T> {
    return new Promise<T>((resolve, reject) => {
      const { signal } = options;
      if (signal?.aborted) {
        reject(abortError(signal));
        return;
      }
      if (this.#child === undefined) {
        reject(new PadbridgeError("restarting", "the bridge is being restarted"));
        return;
      }
      const timeoutMs = options.timeoutMs ?? this.#options.answerTimeoutMs ?? 10_000;
      let settled = false;
      const settle = () => {
        settled = true;
        clearTimeout(timer);
        signal?.removeEventListener("abort", onAbort);
      };
      const waiter: Waiter<T> = {
        resolve: (value) => {
          if (settled) return;
          settle();
          resolve(value);
        },
        reject: (error) => {
          if (settled) return;
          settle();
          reject(error);
        },
      };
      const timer = setTimeout(
        () => waiter.reject(new PadbridgeError("timeout", `no answer from the bridge within ${timeoutMs} ms`)),
        timeoutMs,
      );
      const onAbort = () => waiter.reject(abortError(signal as AbortSignal));
      signal?.addEventListener("abort", onAbort, { once: true });
      queue.push(waiter);
      this.#send(line, false);
    });
  }

  #checkOpen(): void {
    if (this.#phase === "stopping" || this.#phase === "ended") {
      throw new PadbridgeError(
        "ended",
        this.#phase === "ended" && this.#lastExit !== undefined
          ? `the bridge has ended (${describeExit(this.#lastExit, this.#lastExit.error)})`
          : "the bridge is stopping",
      );
    }
  }

  #checkRunning(): void {
    this.#checkOpen();
    if (this.#phase === "restarting") {
      throw new PadbridgeError("restarting", "the bridge crashed and is being restarted; try again once it runs");
    }
  }
}

function describeExit(exit: { code: number | null; signal: NodeJS.Signals | null }, error?: Error): string {
  if (error !== undefined) return error.message.replace(/^padbridge: /, "");
  return exit.signal !== null ? `signal ${exit.signal}` : `exit code ${exit.code}`;
}

/** Starts padbridge.exe and resolves once it has printed its capabilities. */
export function startBridge(options: StartOptions = {}): Promise<Bridge> {
  return startWith(options, spawnReal);
}

/** startBridge with another way to start the child (tests). Async, so that a bad option (no exe
 *  to be found) rejects like every other failure to start. */
export async function startWith(options: StartOptions, spawner: Spawner): Promise<Bridge> {
  return startBridgeProcess(createBridge(options, spawner));
}
