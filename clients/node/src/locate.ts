// Where padbridge.exe comes from when the host names none: the platform package
// @padbridge/win32-x64, an optional dependency installed beside this one.
import { createRequire } from "node:module";

export const platformPackage = "@padbridge/win32-x64";

export function findBundledExe(): string {
  const require = createRequire(import.meta.url);
  try {
    return require.resolve(`${platformPackage}/padbridge.exe`);
  } catch {
    throw new Error(
      `padbridge: ${platformPackage} is not installed, so there is no padbridge.exe to start. ` +
        `On Windows x64, npm installs it with padbridge; elsewhere (Linux with Wine) install it with ` +
        `\`npm install --os=win32 --cpu=x64 padbridge\`, or pass the \`exe\` option.`,
    );
  }
}
