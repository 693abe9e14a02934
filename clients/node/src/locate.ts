// Where the bridge comes from when the host names none: a platform package installed beside this
// one as an optional dependency, @padbridge/win32-x64 with padbridge.exe, or (for a simulator)
// @padbridge/linux-x64-sim with padbridge-sim.
import { existsSync } from "node:fs";

import { PadbridgeError } from "./errors.js";

/** A platform package: its name, the program in it, and how to get it where npm did not. */
interface Platform {
  name: string;
  file: string;
  /** The packagers' pattern for the files to leave out of an asar archive. */
  unpack: string;
  elsewhere: string;
}

export const platformPackage = "@padbridge/win32-x64";
export const simulatorPackage = "@padbridge/linux-x64-sim";

const windows: Platform = {
  name: platformPackage,
  file: "padbridge.exe",
  unpack: "*.exe",
  elsewhere: "On Windows x64, npm installs it with padbridge; elsewhere (Linux with Wine) install it with `npm install --os=win32 --cpu=x64 padbridge`",
};
const simulator: Platform = {
  name: simulatorPackage,
  file: "padbridge-sim",
  unpack: "padbridge-sim",
  elsewhere: "On Linux x64, npm installs it with padbridge; elsewhere build padbridge-sim from the sources (the native preset)",
};

/** The program of the platform package, resolved from this package as Node (or Electron, or a
 *  host's CommonJS bundle) resolves modules here: padbridge.exe, or padbridge-sim with `sim`. */
export function findBundledExe(resolve: (request: string) => string = require.resolve, sim = false): string {
  const platform = sim ? simulator : windows;
  let path: string;
  try {
    path = resolve(`${platform.name}/${platform.file}`);
  } catch (error) {
    throw new PadbridgeError(
      "not_installed",
      `${platform.name} is not installed, so there is no ${platform.file} to start. ${platform.elsewhere}, or pass the \`exe\` option.`,
      { cause: error },
    );
  }
  return outsideArchive(path, platform);
}

/** A path inside an Electron asar archive cannot be started: the system sees the archive as one
 *  file. Packagers put the files they unpack in a folder named after the archive with
 *  `.unpacked` added, at the same relative path, so the program is looked for there. */
export function outsideArchive(path: string, platform: Platform = windows): string {
  const archive = /\.asar(?=[\\/])/.exec(path);
  if (archive === null) return path;
  const end = archive.index + archive[0].length;
  const unpacked = path.slice(0, end) + ".unpacked" + path.slice(end);
  if (existsSync(unpacked)) return unpacked;
  throw new PadbridgeError(
    "not_installed",
    `${platform.file} is inside the asar archive ${path.slice(0, end)}, where it cannot be started, ` +
      `and was not found unpacked at ${unpacked}. Unpack ${platform.name} when packaging ` +
      `(electron-builder: "asarUnpack": ["**/node_modules/${platform.name}/**"]; Electron Forge: ` +
      `packagerConfig.asar.unpack: "**/${platform.unpack}"; @electron/asar: --unpack "${platform.unpack}"), ` +
      `or pass the \`exe\` option.`,
  );
}
