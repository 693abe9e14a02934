// The line channel to the running bridge: lines out (a keep-alive waits while the pipe drains),
// lines in (cut at line feeds, parsed and handed to the host's events, each failure once), and
// answers matched in order to the questions that asked for them. It knows pipes, not processes:
// the supervisor attaches each child's pipes and detaches them when that child ends.
import type { Readable, Writable } from "node:stream";

import { abortError, PadbridgeError } from "./errors.js";
import * as lines from "./lines.js";
import type { BlockedLine, CapabilitiesLine, DeviceLine, ErrorLine, LightbarLine, PermissionLine, RumbleLine } from "./lines.js";
import type { WaitOptions } from "./link.js";

/** The host's events for the lines the bridge prints. */
export interface LineEvents {
  capabilities: [CapabilitiesLine];
  device: [DeviceLine];
  rumble: [RumbleLine];
  lightbar: [LightbarLine];
  /** The bridge's `error` lines, each code once per pad until its state changes (see README). */
  failure: [ErrorLine];
  permission: [PermissionLine];
  /** Windows started or stopped refusing desktop input (see README). */
  blocked: [BlockedLine];
}

/** What the channel tells the supervisor that owns it. */
export interface ChannelOwner {
  /** Hands a line to the host's listeners. */
  emit<E extends keyof LineEvents>(event: E, ...args: LineEvents[E]): void;
  /** The attached child printed its start-up line. */
  started(): void;
}

type Trace = (direction: "sent" | "received", line: string) => void;
type Waiter<T> = { resolve: (value: T) => void; reject: (error: Error) => void };

export class Channel {
  readonly #owner: ChannelOwner;
  readonly #trace: Trace | undefined;
  readonly #answerTimeoutMs: number;
  /** The attached child's input; lines and drains of any other child are ignored. */
  #child: { stdin: Writable | null } | undefined;
  /** The attached child has printed its start-up line. */
  #started = false;
  /** The last write to the child returned false and no drain came yet. */
  #draining = false;
  #capabilities: CapabilitiesLine | undefined;
  readonly #probeWaiters: Waiter<CapabilitiesLine>[] = [];
  readonly #permissionWaiters: Waiter<boolean>[] = [];
  /** Failures already reported: "player code", or the code alone for the lines without a player. */
  readonly #reported = new Set<string>();

  constructor(owner: ChannelOwner, trace: Trace | undefined, answerTimeoutMs: number) {
    this.#owner = owner;
    this.#trace = trace;
    this.#answerTimeoutMs = answerTimeoutMs;
  }

  /** The latest capabilities line of any child. */
  get capabilities(): CapabilitiesLine | undefined {
    return this.#capabilities;
  }

  /** Whether the attached child has printed its start-up line. */
  get started(): boolean {
    return this.#started;
  }

  /** A new child: its lines are read and the lines sent go to it. */
  attach(stdin: Writable | null, stdout: Readable | null): void {
    const child = { stdin };
    this.#child = child;
    stdin?.on("error", () => {}); // a bridge that died takes its pipe with it; its close tells
    stdin?.on("drain", () => {
      if (child === this.#child) this.#draining = false;
    });
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

  /** The child ended: every pending answer is refused with `why`, and what was known of that
   *  child is forgotten. Lines sent until the next attach go nowhere. */
  detach(why: PadbridgeError): void {
    this.#child = undefined;
    this.#started = false;
    this.#draining = false;
    this.#reported.clear();
    for (const waiter of this.#probeWaiters.splice(0)) waiter.reject(why);
    for (const waiter of this.#permissionWaiters.splice(0)) waiter.reject(why);
  }

  /** Writes a line to the attached child, unless its input has ended. A bridge that stops reading
   *  gets no pile of keep-alives to burst through later: they wait until the pipe has drained. */
  send(line: string, keepAlive: boolean): void {
    const stdin = this.#child?.stdin;
    if (stdin == null || stdin.writableEnded || stdin.destroyed) return;
    if (keepAlive && this.#draining) return;
    this.#trace?.("sent", line.slice(0, -1));
    if (!stdin.write(line)) this.#draining = true;
  }

  /** Asks the bridge to look for the drivers again; resolves with the capabilities that answer. */
  probe(options: WaitOptions): Promise<CapabilitiesLine> {
    return this.#ask(this.#probeWaiters, lines.probeLine, options);
  }

  /** Sends a permission line; resolves with the bridge's answer to it. */
  askPermission(enabled: boolean, options: WaitOptions): Promise<boolean> {
    return this.#ask(this.#permissionWaiters, lines.permissionLine(enabled), options);
  }

  /** A pad's state changed or it went: its failures may be reported again, and so may those
   *  without a player, which answer any pad's input. */
  forgetFailures(player: number): void {
    for (const key of this.#reported) {
      if (!key.includes(" ") || key.startsWith(`${player} `)) this.#reported.delete(key);
    }
  }

  #received(text: string): void {
    this.#trace?.("received", text);
    const line = lines.parseBridgeLine(text);
    if (line === undefined) return;
    switch (line.type) {
      case "capabilities":
        this.#capabilities = line;
        if (this.#started) {
          this.#probeWaiters.shift()?.resolve(line);
        } else {
          // A bridge's first line is its start-up line, not an answer to a probe.
          this.#started = true;
          this.#owner.started();
        }
        this.#reported.clear(); // the drivers may have changed
        this.#owner.emit("capabilities", line);
        break;
      case "device":
        this.#owner.emit("device", line);
        break;
      case "rumble":
        this.#owner.emit("rumble", line);
        break;
      case "lightbar":
        this.#owner.emit("lightbar", line);
        break;
      case "error": {
        const key = "player" in line ? `${line.player} ${line.code}` : line.code;
        if (this.#reported.has(key)) break;
        this.#reported.add(key);
        this.#owner.emit("failure", line);
        break;
      }
      case "system-permission":
        this.#permissionWaiters.shift()?.resolve(line.enabled);
        this.#owner.emit("permission", line);
        break;
      case "system-blocked":
        this.#owner.emit("blocked", line);
        break;
    }
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
      const timeoutMs = options.timeoutMs ?? this.#answerTimeoutMs;
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
      this.send(line, false);
    });
  }
}
