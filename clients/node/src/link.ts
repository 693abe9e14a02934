// The seam between a bridge's two halves and the objects a host holds: pads and the desktop reach
// the line channel (lines out, answers, failures once) and the process supervisor (is a bridge
// open, running or being restarted) through a Link and nothing else.

/** How long to wait for an answer, and a signal to stop waiting. */
export interface WaitOptions {
  /** Stops waiting: the promise rejects with code "aborted". */
  signal?: AbortSignal | undefined;
  /** Overrides the bridge's answerTimeoutMs for this call. */
  timeoutMs?: number | undefined;
}

export interface Link {
  /** Writes a line to the running bridge, or nothing between bridges. A keep-alive (a pad's
   *  repeated state, a heartbeat) is skipped while the pipe waits to drain. */
  send(line: string, keepAlive?: boolean): void;
  /** Sends a permission line and resolves with the bridge's answer to it. */
  askPermission(enabled: boolean, options: WaitOptions): Promise<boolean>;
  /** Throws "ended" once stop() was called or the bridge ended for good. */
  checkOpen(): void;
  /** As checkOpen, and throws "restarting" between a crash and the next bridge. */
  checkRunning(): void;
  /** Whether a restart is pending (no bridge runs until it is done). */
  restarting(): boolean;
  /** A pad's state changed or it went: its failures may be reported again. */
  padChanged(player: number): void;
}
