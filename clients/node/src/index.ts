// padbridge for Node.js hosts: start padbridge.exe, drive its pads and desktop control.
export { startBridge, Bridge, Pad, Desktop, keepAliveMs } from "./bridge.js";
export type { StartOptions, ExitInfo, BridgeEvents } from "./bridge.js";
export type { PadState, ButtonInput } from "./checks.js";
export { textByteLimit } from "./checks.js";
export { keyNames, isKeyName } from "./keys.js";
export type { KeyName } from "./keys.js";
export type {
  BridgeLine,
  CapabilitiesLine,
  DeviceLine,
  ErrorLine,
  GamepadBackend,
  GeneralErrorCode,
  PermissionLine,
  PlayerErrorCode,
  RumbleLine,
  VigemBusStatus,
} from "./lines.js";
