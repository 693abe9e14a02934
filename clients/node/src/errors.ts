// The one error class of the client. Its `code` is stable and meant for programs; its message is
// meant for people and may change.

/** What went wrong, for a host to branch on. */
export type PadbridgeErrorCode =
  /** A call's argument the bridge would drop (a wrong count, a NaN, an unknown name). */
  | "invalid_argument"
  /** A desktop action before `desktop.enable()`, or after `disable()` or a refused `enable()`. */
  | "not_enabled"
  /** No padbridge.exe to start: the platform package is missing, or left inside an asar archive. */
  | "not_installed"
  /** The exe could not be started at all (`cause` holds the system's error, such as ENOENT). */
  | "spawn_failed"
  /** The bridge ended before it printed its first line. */
  | "not_started"
  /** The bridge has ended or is stopping: nothing more can be sent. */
  | "ended"
  /** The bridge crashed and the client is about to start a new one. */
  | "restarting"
  /** No answer in time: the first line at start, or the answer to probe, enable or disable. */
  | "timeout"
  /** The caller's AbortSignal fired (`cause` holds its reason). */
  | "aborted";

export class PadbridgeError extends Error {
  override readonly name = "PadbridgeError";
  readonly code: PadbridgeErrorCode;

  constructor(code: PadbridgeErrorCode, message: string, options?: { cause?: unknown }) {
    super(`padbridge: ${message}`, options);
    this.code = code;
  }
}

/** The error for a signal that has fired. */
export function abortError(signal: AbortSignal): PadbridgeError {
  return new PadbridgeError("aborted", "the operation was aborted", { cause: signal.reason });
}
