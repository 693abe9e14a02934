// Where padbridge.exe comes from when the host names none: the platform package
// @padbridge/win32-x64, an optional dependency installed beside this one.
import { existsSync } from "node:fs";

import { PadbridgeError } from "./errors.js";

export const platformPackage = "@padbridge/win32-x64";

/** The exe of the platform package, resolved from this package as Node (or Electron, or a host's
 *  CommonJS bundle) resolves modules here. */
export function findBundledExe(resolve: (request: string) => string = require.resolve): string {
  let path: string;
  try {
    path = resolve(`${platformPackage}/padbridge.exe`);
  } catch (error) {
    throw new PadbridgeError(
      "not_installed",
      `${platformPackage} is not installed, so there is no padbridge.exe to start. ` +
        `On Windows x64, npm installs it with padbridge; elsewhere (Linux with Wine) install it with ` +
        `\`npm install --os=win32 --cpu=x64 padbridge\`, or pass the \`exe\` option.`,
      { cause: error },
    );
  }
  return outsideArchive(path);
}

/** A path inside an Electron asar archive cannot be started: Windows sees the archive as one
 *  file. Packagers put the files they unpack in a folder named after the archive with
 *  `.unpacked` added, at the same relative path, so the exe is looked for there. */
export function outsideArchive(path: string): string {
  const archive = /\.asar(?=[\\/])/.exec(path);
  if (archive === null) return path;
  const end = archive.index + archive[0].length;
  const unpacked = path.slice(0, end) + ".unpacked" + path.slice(end);
  if (existsSync(unpacked)) return unpacked;
  throw new PadbridgeError(
    "not_installed",
    `padbridge.exe is inside the asar archive ${path.slice(0, end)}, where it cannot be started, ` +
      `and was not found unpacked at ${unpacked}. Unpack ${platformPackage} when packaging ` +
      `(electron-builder: "asarUnpack": ["**/node_modules/@padbridge/win32-x64/**"]; Electron Forge: ` +
      `packagerConfig.asar.unpack: "**/*.exe"; @electron/asar: --unpack "*.exe"), or pass the \`exe\` option.`,
  );
}
