// A stand-in for the bridge process: the client writes to its stdin and reads its stdout as it
// would the real one's, and the test says what the bridge prints and when it ends.
import { EventEmitter } from "node:events";
import { PassThrough } from "node:stream";

import { startWith, type Bridge, type StartOptions, type Spawner } from "../src/bridge.js";
import { checkLine } from "./schema.js";

export const capabilities =
  '{"type":"capabilities","os":"Windows","gamepadBackend":"vJoy DirectInput","vigemBus":"missing",' +
  '"gamepadAvailable":true,"textInput":true,"systemEnabled":false}';

export class FakeChild extends EventEmitter {
  readonly stdin = new PassThrough();
  readonly stdout = new PassThrough();
  readonly pid = 4242;
  /** Every line the client wrote, without its line feed. */
  readonly received: string[] = [];
  killed = false;
  stdinClosed = false;
  #partial = "";

  constructor(
    readonly file: string,
    readonly args: readonly string[],
  ) {
    super();
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

  kill(): boolean {
    this.killed = true;
    this.exit(null, "SIGTERM");
    return true;
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

export interface Harness {
  bridge: Bridge;
  children: FakeChild[];
  /** The newest child. */
  child(): FakeChild;
  /** Lines that failed their schema, in either direction. */
  schemaErrors: string[];
}

/** Starts a client over fake children; each new child prints the start-up capabilities line
 *  unless `silent`. Every line is checked against the schemas. */
export async function startFake(options: StartOptions = {}, silent = false): Promise<Harness> {
  const children: FakeChild[] = [];
  const schemaErrors: string[] = [];
  const spawner: Spawner = (file, args) => {
    const child = new FakeChild(file, args);
    children.push(child);
    if (!silent) setImmediate(() => child.print(capabilities));
    return child;
  };
  const bridge = await startWith(
    {
      exe: "padbridge.exe",
      ...options,
      trace: (direction, line) => {
        schemaErrors.push(...checkLine(direction, line));
        options.trace?.(direction, line);
      },
    },
    spawner,
  );
  return { bridge, children, child: () => children[children.length - 1] as FakeChild, schemaErrors };
}
