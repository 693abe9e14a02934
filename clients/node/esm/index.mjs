// The ES module entry. It hands out the objects of the CommonJS build, so that a host whose code
// both imports and requires padbridge (or checks `instanceof PadbridgeError`) has one copy of each.
import client from "./index.js";

export const {
  startBridge,
  Bridge,
  PadbridgeError,
  keepAliveMs,
  textByteLimit,
  keyNames,
  isKeyName,
} = client;
