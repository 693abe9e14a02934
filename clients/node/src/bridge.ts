// One running padbridge.exe and everything the host would otherwise do by hand: keep each pad
// alive, keep desktop control armed, check every call before it can be dropped silently, stop the
// bridge by closing its standard input, and (if asked) start it again after a crash. This file is
// the process supervisor (start, restart, stop); the lines go through channel.ts, and pads and the
// desktop reach both through the Link.
import { spawn as spawnProcess } from "node:child_process";
import { EventEmitter } from "node:events";
import type { Readable, Writable } from "node:stream";

import { Channel, type ChannelOwner, type LineEvents } from "./channel.js";
import { checkBoolean, checkPlayer, invalid } from "./checks.js";
import { DesktopImpl, type Desktop, type DesktopControls } from "./desktop.js";
import { abortError, PadbridgeError } from "./errors.js";
import type { BlockedLine, CapabilitiesLine } from "./lines.js";
import type { Link, WaitOptions } from "./link.js";
import { findBundledExe } from "./locate.js";
import { PadImpl, type Pad, type PadControls } from "./pad.js";
import { SimulatorImpl, simulatorBackends, type Simulator, type SimulatorBackend } from "./simulator.js";
import { parseTraceRecord, type TraceRecord } from "./trace.js";

/** Every line the client sends and every line the bridge prints (without its CR LF). */
export type LineTrace = (direction: "sent" | "received", line: string) => void;

export interface StartOptions {
  /** padbridge.exe to start; default: the one in the @padbridge/win32-x64 package (with
   *  `simulator`, padbridge-sim of @padbridge/linux-x64-sim). */
  exe?: string | undefined;
  /** Start padbridge-sim, the bridge on a simulated PC, instead of padbridge.exe; the bridge's
   *  `simulator` then plays the game and the PC. */
  simulator?: boolean | undefined;
  /** With `simulator`: the drivers the simulated PC has (default "vigem"). */
  simulatorBackend?: SimulatorBackend | undefined;
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
  /** With `restart`, the waits before each new bridge: the first after a crash, the next after
   *  each quick crash, the last repeated (default [250, 500, 1000, 2000, 4000]). */
  restartDelaysMs?: readonly number[] | undefined;
  /** A bridge that has run this long was no quick crash: the next restart waits the first delay
   *  again (default 10 s). */
  stableMs?: number | undefined;
  /** With `restart`, the client gives up after this many starts in a row that failed: the exe could
   *  not be started, ended before its first line, or stayed silent for startTimeoutMs (default 5). */
  maxFailedStarts?: number | undefined;
  /** After stop() has killed the bridge, how long it waits for the process to report its end
   *  (default 2 s). */
  killWaitMs?: number | undefined;
  /** Aborts the start: the bridge is killed and startBridge() rejects with code "aborted". */
  signal?: AbortSignal | undefined;
  /** true: the bridge's own trace of everything it does, as `trace` events (read from its standard
   *  error); a path: that trace written to this file by the bridge; a function: sees every line the
   *  client sends and every line the bridge prints (without its CR LF). */
  trace?: true | string | LineTrace | undefined;
}

/** Each timing option when a host leaves it out (documented on StartOptions and in the README). */
export const defaults = {
  startTimeoutMs: 30_000,
  stopTimeoutMs: 5000,
  answerTimeoutMs: 10_000,
  restartDelaysMs: [250, 500, 1000, 2000, 4000] as readonly number[],
  stableMs: 10_000,
  maxFailedStarts: 5,
  killWaitMs: 2000,
} as const;

/** How a bridge ended. `restarting` is true when the client starts a new one. */
export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
  restarting: boolean;
  /** Why it ended, when the exit code does not say: it could not be started (with the system's
   *  error as `cause`), never printed its first line, or did not end when killed. */
  error?: PadbridgeError | undefined;
}

export interface BridgeEvents extends LineEvents {
  exit: [ExitInfo];
  /** A record of the bridge's trace (with `trace: true`). */
  trace: [TraceRecord];
}

/** The part of a child process the client uses; tests stand in for it. */
export interface ChildLike extends EventEmitter {
  readonly pid?: number | undefined;
  readonly stdin: Writable | null;
  readonly stdout: Readable | null;
  /** Piped only when the bridge's trace is read from it. */
  readonly stderr?: Readable | null | undefined;
  kill(signal?: NodeJS.Signals | number): boolean;
}

/** `stderr`: whether the client reads the child's standard error (the trace) or leaves it to the
 *  host's. */
export type Spawner = (file: string, args: readonly string[], env: NodeJS.ProcessEnv, stderr: "pipe" | "inherit") => ChildLike;

const spawnReal: Spawner = (file, args, env, stderr) =>
  spawnProcess(file, [...args], { env, stdio: ["pipe", "pipe", stderr], windowsHide: true });

/** What startWith() alone may do with the bridge it made; kept off the bridge object itself. */
export interface BridgeControls {
  /** Starts the first bridge; resolves once it printed its first line. */
  start(): Promise<void>;
}

type Phase = "starting" | "running" | "restarting" | "stopping" | "ended";

/** Only this module holds it, so only startWith() can make a Bridge. */
const constructing = Symbol("constructing");

/** A running padbridge.exe (or, between a crash and its restart, the one about to run). Made by
 *  startBridge(); stopped by stop() or `await using`. */
export class Bridge extends EventEmitter<BridgeEvents> {
  /** Desktop control. */
  readonly desktop: Desktop;
  /** The game and the PC of padbridge-sim: only with the `simulator` option, else undefined. */
  readonly simulator: Simulator | undefined;

  readonly #options: StartOptions;
  readonly #spawn: Spawner;
  readonly #file: string;
  readonly #args: string[];
  readonly #channel: Channel;
  readonly #desktop: DesktopControls;
  readonly #link: Link;
  /** The child's standard error carries the trace, read into `trace` events. */
  readonly #readsTrace: boolean;
  /** Trace records of the first bridge that came before the host could listen: they are emitted
   *  once startBridge() has resolved. Undefined once they were. */
  #earlyTrace: TraceRecord[] | undefined = [];
  readonly #pads = new Map<number, { pad: Pad; controls: PadControls }>();
  #phase: Phase = "starting";
  #child: ChildLike | undefined;
  #startWaiter: { resolve: () => void; reject: (error: Error) => void } | undefined;
  #startTimer: NodeJS.Timeout | undefined;
  #restartTimer: NodeJS.Timeout | undefined;
  #stableTimer: NodeJS.Timeout | undefined;
  #quickCrashes = 0;
  #failedStarts = 0;
  #lastExit: ExitInfo | undefined;
  #exitWaiters: ((exit: ExitInfo) => void)[] = [];

  /** Not for hosts: startBridge() makes bridges. */
  constructor(token: typeof constructing, options: StartOptions, spawner: Spawner, share: (controls: BridgeControls) => void) {
    super();
    if (token !== constructing) throw new TypeError("padbridge: use startBridge() to start a bridge");
    this.#options = options;
    this.#spawn = spawner;
    const simulator = checkSimulatorOptions(options);
    const exe = options.exe ?? findBundledExe(undefined, simulator);
    const command = [...(options.command ?? []), exe];
    this.#file = command[0] as string;
    this.#args = command.slice(1);
    if (options.vjoyDll !== undefined) this.#args.push("--vjoy-dll", options.vjoyDll);
    if (options.simulatorBackend !== undefined) this.#args.push("--sim-backend", options.simulatorBackend);
    const trace = checkTrace(options.trace);
    if (trace !== undefined && typeof trace !== "function") this.#args.push("--trace", trace === true ? "-" : trace);
    const owner: ChannelOwner = {
      emit: <E extends keyof LineEvents>(event: E, ...args: LineEvents[E]) => {
        // The desktop's state is set before the host's listeners hear of it.
        if (event === "blocked") this.#desktop.blockedChanged((args[0] as BlockedLine).blocked);
        this.#emit(event, ...(args as BridgeEvents[E]));
      },
      started: () => this.#childStarted(),
    };
    this.#readsTrace = trace === true;
    this.#channel = new Channel(owner, typeof trace === "function" ? trace : undefined, options.answerTimeoutMs ?? defaults.answerTimeoutMs);
    // Pads and the desktop see the channel's lines and this supervisor's lifetime, nothing more.
    this.#link = {
      send: (line, keepAlive) => this.#channel.send(line, keepAlive === true),
      askPermission: (enabled, wait) => this.#channel.askPermission(enabled, wait),
      padChanged: (player) => this.#channel.forgetFailures(player),
      checkOpen: () => this.#checkOpen(),
      checkRunning: () => this.#checkRunning(),
      restarting: () => this.#phase === "restarting",
    };
    let desktop: DesktopControls | undefined;
    this.desktop = new DesktopImpl(this.#link, (controls) => (desktop = controls));
    this.#desktop = desktop as DesktopControls;
    this.simulator = simulator ? new SimulatorImpl(this.#link) : undefined;
    share({ start: () => this.#start() });
  }

  /** The latest capabilities line (startBridge() resolves only once there is one). */
  get capabilities(): CapabilitiesLine {
    return this.#channel.capabilities as CapabilitiesLine;
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
    return this.#channel.probe(options);
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
    const killWaitMs = this.#options.killWaitMs ?? defaults.killWaitMs;
    let abandon: NodeJS.Timeout | undefined;
    const killer = setTimeout(() => {
      child.kill();
      abandon = setTimeout(() => {
        child.stdout?.destroy();
        const error = new PadbridgeError("timeout", `${this.#file} did not end within ${killWaitMs} ms of being killed`);
        this.#ended(child, { code: null, signal: null, restarting: false }, error);
      }, killWaitMs);
    }, this.#options.stopTimeoutMs ?? defaults.stopTimeoutMs);
    const exit = await exited;
    clearTimeout(killer);
    clearTimeout(abandon);
    return exit;
  }

  /** `await using bridge = await startBridge()` stops the bridge at the end of the block. */
  async [Symbol.asyncDispose](): Promise<void> {
    await this.stop();
  }

  #start(): Promise<void> {
    const signal = this.#options.signal;
    return new Promise<void>((resolve, reject) => {
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
        resolve: () => {
          signal?.removeEventListener("abort", onAbort);
          resolve();
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
    let child: ChildLike;
    try {
      child = this.#spawn(this.#file, this.#args, this.#options.env ?? process.env, this.#readsTrace ? "pipe" : "inherit");
    } catch (error) {
      this.#ended(undefined, { code: null, signal: null, restarting: false }, this.#spawnFailed(error));
      return;
    }
    this.#child = child;
    let startError: PadbridgeError | undefined;
    const timeoutMs = this.#options.startTimeoutMs ?? defaults.startTimeoutMs;
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
        (this.#channel.started || child !== this.#child
          ? undefined
          : new PadbridgeError("not_started", `${this.#file} ended before it started (${describeExit({ code, signal })})`));
      this.#ended(child, { code, signal, restarting: false }, error);
    });
    this.#channel.attach(child.stdin, child.stdout);
    if (this.#readsTrace) this.#readTrace(child);
    const stableMs = this.#options.stableMs ?? defaults.stableMs;
    if (this.#options.restart) this.#stableTimer = setTimeout(() => (this.#quickCrashes = 0), stableMs);
  }

  /** The trace's records, line by line; anything else on standard error is skipped. */
  #readTrace(child: ChildLike): void {
    const stderr = child.stderr;
    if (stderr == null) return;
    stderr.setEncoding("utf8");
    let partial = "";
    stderr.on("data", (chunk: string) => {
      partial += chunk;
      let end: number;
      while ((end = partial.indexOf("\n")) >= 0) {
        const record = parseTraceRecord(partial.slice(0, end));
        partial = partial.slice(end + 1);
        if (record === undefined || child !== this.#child) continue;
        if (this.#earlyTrace !== undefined) this.#earlyTrace.push(record);
        else this.#emit("trace", record);
      }
    });
  }

  #spawnFailed(error: unknown): PadbridgeError {
    const reason = error instanceof Error ? error.message : String(error);
    return new PadbridgeError("spawn_failed", `could not start ${this.#file} (${reason})`, { cause: error });
  }

  /** The child printed its start-up line. */
  #childStarted(): void {
    this.#failedStarts = 0;
    clearTimeout(this.#startTimer);
    if (this.#phase === "starting") {
      this.#phase = "running";
      const waiter = this.#startWaiter;
      this.#startWaiter = undefined;
      waiter?.resolve();
      // After the host's code that awaited the start has run, and so could add its listeners.
      setImmediate(() => {
        const early = this.#earlyTrace ?? [];
        this.#earlyTrace = undefined;
        for (const record of early) this.#emit("trace", record);
      });
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

  /** One child ended (a stale child's late end is ignored). */
  #ended(child: ChildLike | undefined, exit: ExitInfo, error: PadbridgeError | undefined): void {
    if (child !== this.#child) return;
    this.#child = undefined;
    clearTimeout(this.#startTimer);
    clearTimeout(this.#stableTimer);
    if (!this.#channel.started) this.#failedStarts++;

    const restarting =
      this.#options.restart === true &&
      this.#phase === "running" &&
      this.#failedStarts < (this.#options.maxFailedStarts ?? defaults.maxFailedStarts);
    const why = restarting
      ? new PadbridgeError("restarting", "the bridge ended before it answered; a new one is being started")
      : new PadbridgeError("ended", `the bridge ended before it answered (${describeExit(exit, error)})`);
    this.#channel.detach(why);

    const info: ExitInfo = error === undefined ? { ...exit, restarting } : { ...exit, restarting, error };
    if (restarting) {
      this.#phase = "restarting";
      this.#lastExit = info;
      const delays = this.#options.restartDelaysMs ?? defaults.restartDelaysMs;
      const delay = delays[Math.min(this.#quickCrashes, delays.length - 1)] ?? 0;
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

/** Whether padbridge-sim is asked for, or an error for simulator options that make no sense. */
function checkSimulatorOptions(options: StartOptions): boolean {
  const simulator = options.simulator === undefined ? false : checkBoolean(options.simulator, "simulator");
  const backend = options.simulatorBackend;
  if (backend !== undefined && !simulatorBackends.includes(backend)) {
    throw invalid(`simulatorBackend must be "vigem", "vjoy" or "none", got ${JSON.stringify(backend)}`);
  }
  if (backend !== undefined && !simulator) throw invalid("simulatorBackend needs simulator: true");
  return simulator;
}

/** The trace option, or an error for one the bridge cannot take (an empty path, a false). */
function checkTrace(trace: unknown): true | string | LineTrace | undefined {
  if (trace === undefined || trace === true || typeof trace === "function") return trace as true | LineTrace | undefined;
  if (typeof trace === "string" && trace !== "") return trace;
  throw invalid(`trace must be true, a path or a function, got ${typeof trace === "string" ? '""' : String(trace)}`);
}

function describeExit(exit: { code: number | null; signal: NodeJS.Signals | null }, error?: Error): string {
  if (error !== undefined) return error.message.replace(/^padbridge: /, "");
  return exit.signal !== null ? `signal ${exit.signal}` : `exit code ${exit.code}`;
}

/** Starts padbridge.exe (or padbridge-sim) and resolves once it has printed its capabilities. */
export function startBridge(options: StartOptions = {}): Promise<Bridge> {
  return startWith(options, spawnReal);
}

/** startBridge with another way to start the child (tests). Async, so that a bad option (no exe
 *  to be found) rejects like every other failure to start. */
export async function startWith(options: StartOptions, spawner: Spawner): Promise<Bridge> {
  let controls: BridgeControls | undefined;
  const bridge = new Bridge(constructing, options, spawner, (shared) => (controls = shared));
  await (controls as BridgeControls).start();
  return bridge;
}
