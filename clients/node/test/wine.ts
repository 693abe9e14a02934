// The real padbridge.exe of the windows preset under Wine, as the end-to-end tests start it.
import { on } from "node:events";
import { existsSync } from "node:fs";
import { join } from "node:path";

import type { Bridge } from "../src/bridge.js";
import type { BridgeEvents } from "../src/bridge.js";
import { repoRoot } from "./schema.js";

export const buildDir = process.env.PADBRIDGE_WINDOWS_BUILD ?? join(repoRoot, "build/windows");
export const exe = join(buildDir, "padbridge.exe");
export const vjoyDouble = join(buildDir, "vjoy_double/vJoyInterface.dll");
export const wine = ["/usr/lib/wine/wine64", "/usr/bin/wine64", "/usr/bin/wine"].find((path) => existsSync(path));

/** The environment of a bridge under Wine: our build tree's private prefix, no Wine chatter. */
export function wineEnv(extra: NodeJS.ProcessEnv = {}): NodeJS.ProcessEnv {
  return {
    ...process.env,
    WINEPREFIX: process.env.PADBRIDGE_WINEPREFIX ?? join(buildDir, "wineprefix"),
    WINEDEBUG: "-all",
    WINEDLLOVERRIDES: "mscoree,mshtml=",
    ...extra,
  };
}

/** A Unix path as Wine's Z: drive shows it to the exe. */
export function windowsPath(unixPath: string): string {
  return "Z:" + unixPath.replace(/\//g, "\\");
}

/** Why these tests cannot run here, or undefined when they can. scripts/test sets
 *  PADBRIDGE_REQUIRE_WINE so that a missing build fails instead of skipping. */
export function missing(): string | undefined {
  const why = wine === undefined ? "Wine is not installed" : !existsSync(exe) ? `${exe} is not built` : undefined;
  if (why !== undefined && process.env.PADBRIDGE_REQUIRE_WINE) throw new Error(why);
  return why;
}

/** The next event of this kind that passes `accept`, or an error after `timeoutMs`. */
export async function next<E extends keyof BridgeEvents>(
  bridge: Bridge,
  event: E,
  accept: (...args: BridgeEvents[E]) => boolean = () => true,
  timeoutMs = 5000,
): Promise<BridgeEvents[E]> {
  try {
    for await (const args of on(bridge, event, { signal: AbortSignal.timeout(timeoutMs) })) {
      if (accept(...(args as BridgeEvents[E]))) return args as BridgeEvents[E];
    }
  } catch (error) {
    if ((error as Error).name === "AbortError") throw new Error(`no ${event} event within ${timeoutMs} ms`);
    throw error;
  }
  throw new Error(`the ${event} events ended`);
}

export const sleep = (ms: number) => new Promise((resolve) => setTimeout(resolve, ms));
