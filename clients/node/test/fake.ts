// A stand-in for the bridge process: the client writes to its stdin and reads its stdout as it
// would the real one's, and the test says what the bridge prints and when it ends.
import assert from "node:assert/strict";
import { EventEmitter } from "node:events";
import { PassThrough } from "node:stream";
import { mock } from "node:test";

import { startWith, type Bridge, type StartOptions, type Spawner } from "../src/bridge.js";
import { checkLine } from "./schema.js";

export const zeros = (n: number) => new Array<number>(n).fill(0);
export const still = { axes: zeros(4), buttons: zeros(16) };

export const granted = '{"type":"system-permission","enabled":true}';
export const capabilities =
  '{"type":"capabilities","os":"Windows","gamepadBackend":"vJoy DirectInput","vigemBus":"missing",' +
  '"gamepadAvailable":true,"textInput":true,"systemEnabled":false}';

export class FakeChild extends EventEmitter {
  readonly stdin: PassThrough;
  readonly stdout = new PassThrough();
  /** Where the bridge writes its trace, and whether the client reads it ("pipe") or leaves it to
   *  the host ("inherit"). */
  readonly stderr = new PassThrough();
  stderrMode: "pipe" | "inherit" = "inherit";
  /** Undefined for a child that could not be started. */
  pid: number | undefined = 4242;
  /** Every line the client wrote, without its line feed. */
  readonly received: string[] = [];
  killed = false;
  stdinClosed = false;
  #partial = "";

  /** `pipeBytes`: how much the pipe to the child holds before a write must wait for a drain. */
  constructor(
    readonly file: string,
    readonly args: readonly string[],
    pipeBytes = 16384,
  ) {
    super();
    this.stdin = new PassThrough({ highWaterMark: pipeBytes, readableHighWaterMark: 0 });
    this.stdin.setEncoding("utf8");
    this.stdin.on("data", (chunk: string) => {
      this.#partial += chunk;
      let end: number;
      while ((end = this.#partial.indexOf("\n")) >= 0) {
        this.received.push(this.#partial.slice(0, end));
        this.#partial = this.#partial.slice(end + 1);
      }
    });
    this.stdin.on("end", () => (this.stdinClosed = true));
  }

  /** The bridge prints a line (CR LF added, as the real one's text mode does). */
  print(line: string): void {
    this.stdout.write(line + "\r\n");
  }

  /** The bridge ends with this exit code. */
  exit(code: number | null, signal: NodeJS.Signals | null = null): void {
    this.stdout.end();
    setImmediate(() => this.emit("close", code, signal));
  }

  /** Whether a kill ends the child (a Wine grandchild holding the pipe open keeps it from ending). */
  killable = true;

  kill(): boolean {
    this.killed = true;
    if (this.killable) this.exit(null, "SIGTERM");
    return true;
  }

  /** The child stops reading its standard input (a driver call that never returns). */
  stall(): void {
    this.stdin.pause();
  }

  /** The child reads again. */
  resume(): void {
    this.stdin.resume();
  }

  /** The system could not start the child: an error with `code`, then a close, as Node reports it. */
  failToSpawn(code: string): void {
    this.pid = undefined;
    setImmediate(() => {
      this.emit("error", Object.assign(new Error(`spawn ${this.file} ${code}`), { code }));
      this.stdout.end();
      this.emit("close", -2, null);
    });
  }

  /** The lines received so far, emptied. */
  take(): string[] {
    return this.received.splice(0);
  }
}

/** Lets streams and promises settle; with mock timers on, only setImmediate still runs for real. */
export async function settle(): Promise<void> {
  for (let i = 0; i < 5; i++) await new Promise((resolve) => setImmediate(resolve));
}

/** Advances the mocked clock in small steps, letting the streams deliver after each. */
export async function advance(ms: number, step = 10): Promise<void> {
  for (let passed = 0; passed < ms; passed += step) {
    mock.timers.tick(Math.min(step, ms - passed));
    await settle();
  }
}

export interface Harness {
  bridge: Bridge;
  children: FakeChild[];
  /** The newest child. */
  child(): FakeChild;
  /** Lines that failed their schema, in either direction. */
  schemaErrors: string[];
}

/** How each new child behaves, by its number (0 for the first): it prints the start-up
 *  capabilities line ("ready", the default), stays silent, or cannot be started at all. */
export type ChildPlan = (index: number) => "ready" | "silent" | "missing";

/** Starts a client over fake children. Every line is checked against the schemas. */
export async function startFake(options: StartOptions = {}, plan: ChildPlan = () => "ready", pipeBytes?: number): Promise<Harness> {
  const children: FakeChild[] = [];
  const schemaErrors: string[] = [];
  const spawner: Spawner = (file, args, _env, stderr) => {
    const child = new FakeChild(file, args, pipeBytes);
    child.stderrMode = stderr;
    const kind = plan(children.length);
    children.push(child);
    if (kind === "ready") setImmediate(() => child.print(capabilities));
    if (kind === "missing") child.failToSpawn("ENOENT");
    return child;
  };
  // Lines are checked through the line trace, unless the test asks for the bridge's own.
  const { trace } = options;
  const checked: StartOptions =
    trace === undefined || typeof trace === "function"
      ? {
          ...options,
          trace: (direction, line) => {
            schemaErrors.push(...checkLine(direction, line));
            trace?.(direction, line);
          },
        }
      : options;
  const bridge = await startWith({ exe: "padbridge.exe", ...checked }, spawner);
  return { bridge, children, child: () => children[children.length - 1] as FakeChild, schemaErrors };
}

/** startFake, with the start-up lines the child received taken. */
export async function started(options: StartOptions = {}, plan?: ChildPlan, pipeBytes?: number): Promise<Harness> {
  const h = await startFake(options, plan, pipeBytes);
  await settle();
  h.child().take();
  return h;
}

/** The host enables desktop control and the bridge grants it; the lines sent so far are taken. */
export async function enableGranted(h: Harness): Promise<void> {
  const answer = h.bridge.desktop.enable();
  await settle();
  h.child().print(granted);
  assert.equal(await answer, true);
  h.child().take();
}
