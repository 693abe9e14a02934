// Puts the ES module entry (a thin wrapper over the CommonJS build) and its types into dist/.
const { copyFileSync } = require("node:fs");
const { join } = require("node:path");

const root = join(__dirname, "..");
for (const file of ["index.mjs", "index.d.mts"]) copyFileSync(join(root, "esm", file), join(root, "dist", file));
