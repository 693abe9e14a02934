// padbridge for Node.js hosts: start padbridge.exe (or padbridge-sim), drive its pads and desktop
// control.
export { startBridge, Bridge } from "./bridge.js";
export type { StartOptions, ExitInfo, BridgeEvents, LineTrace } from "./bridge.js";
export type { Simulator, SimulatorBackend } from "./simulator.js";
export type {
  BusRequestName,
  TraceDropped,
  TraceInput,
  TraceLapse,
  TraceLine,
  TracePad,
  TraceProbe,
  TraceRecord,
  TraceRequest,
  TraceStart,
} from "./trace.js";
export type { Pad } from "./pad.js";
export { keepAliveMs } from "./pad.js";
export type { Desktop, MouseButton } from "./desktop.js";
export type { WaitOptions } from "./link.js";
export { PadbridgeError } from "./errors.js";
export type { PadbridgeErrorCode } from "./errors.js";
export type { PadState, PadKind, ButtonInput } from "./checks.js";
export { textByteLimit } from "./checks.js";
export { keyNames, isKeyName } from "./keys.js";
export type { KeyName } from "./keys.js";
export type {
  BlockedLine,
  BridgeLine,
  CapabilitiesLine,
  DeviceLine,
  ErrorLine,
  GamepadBackend,
  GeneralErrorCode,
  LightbarLine,
  PermissionLine,
  PlayerErrorCode,
  RumbleLine,
  VigemBusStatus,
} from "./lines.js";
