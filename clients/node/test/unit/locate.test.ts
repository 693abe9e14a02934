// Finding padbridge.exe in a packaged Electron app: a real asar archive made with the packagers'
// own tool, with the platform package unpacked beside it, or (the host's mistake) left inside.
import assert from "node:assert/strict";
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { after, describe, test } from "node:test";

import * as asar from "@electron/asar";

import { findBundledExe, outsideArchive } from "../../src/locate.js";

const scratch = mkdtempSync(join(tmpdir(), "padbridge-asar-"));
after(() => rmSync(scratch, { recursive: true, force: true }));

const exeInPackage = "node_modules/@padbridge/win32-x64/padbridge.exe";
const exeBytes = Buffer.from("MZ stand-in for padbridge.exe");

/** A small Electron app with padbridge and its platform package installed, packed into
 *  resources/app.asar with the given options. Returns the archive's path. */
async function packApp(name: string, options: asar.CreateOptions): Promise<string> {
  const app = join(scratch, name, "app");
  const files: [string, string | Buffer][] = [
    ["package.json", '{ "name": "app", "main": "main.js" }\n'],
    ["main.js", 'const { startBridge } = require("padbridge");\n'],
    ["node_modules/padbridge/package.json", '{ "name": "padbridge", "main": "dist/index.js" }\n'],
    ["node_modules/padbridge/dist/index.js", "module.exports = {};\n"],
    ["node_modules/@padbridge/win32-x64/package.json", '{ "name": "@padbridge/win32-x64" }\n'],
    [exeInPackage, exeBytes],
  ];
  for (const [file, content] of files) {
    mkdirSync(dirname(join(app, file)), { recursive: true });
    writeFileSync(join(app, file), content);
  }
  const archive = join(scratch, name, "resources", "app.asar");
  await asar.createPackageWithOptions(app, archive, options);
  return archive;
}

/** require.resolve as Electron runs it for code inside the archive: the path inside app.asar. */
function resolveInside(archive: string) {
  return (request: string): string => {
    assert.equal(request, "@padbridge/win32-x64/padbridge.exe");
    asar.statFile(archive, exeInPackage); // throws if the archive does not hold it
    return join(archive, exeInPackage);
  };
}

describe("the exe in a packaged Electron app", () => {
  test("unpacked beside the archive: found there", async () => {
    const archive = await packApp("unpacked", { unpack: "*.exe" });
    assert.ok(asar.listPackage(archive, { isPack: false }).includes("/" + exeInPackage));
    const exe = findBundledExe(resolveInside(archive));
    assert.equal(exe, join(`${archive}.unpacked`, exeInPackage));
    assert.deepEqual(readFileSync(exe), exeBytes);
  });

  test("left inside the archive: a clear error that says how to unpack it", async () => {
    const archive = await packApp("packed", {});
    assert.throws(() => findBundledExe(resolveInside(archive)), {
      name: "PadbridgeError",
      code: "not_installed",
      message: new RegExp(`inside the asar archive ${archive.replace(/[.\\/]/g, "\\$&")}, where it cannot be started.*asarUnpack`),
    });
  });

  test("a Windows path inside an archive is mapped the same way", () => {
    const path = "C:\\Apps\\Pads\\resources\\app.asar\\node_modules\\@padbridge\\win32-x64\\padbridge.exe";
    assert.throws(() => outsideArchive(path), {
      code: "not_installed",
      message: /not found unpacked at C:\\Apps\\Pads\\resources\\app\.asar\.unpacked\\node_modules\\@padbridge/,
    });
  });

  test("paths outside any archive are left as they are", () => {
    for (const path of ["/opt/app/node_modules/@padbridge/win32-x64/padbridge.exe", "C:\\my.asarfiles\\padbridge.exe"]) {
      assert.equal(outsideArchive(path), path);
    }
  });

  test("without the platform package: what to install, with the resolver's error as cause", () => {
    const missing = Object.assign(new Error("Cannot find module"), { code: "MODULE_NOT_FOUND" });
    assert.throws(
      () =>
        findBundledExe(() => {
          throw missing;
        }),
      (error: Error & { code: string }) => error.code === "not_installed" && error.cause === missing,
    );
  });
});
