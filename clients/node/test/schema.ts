// A small JSON Schema validator for the subset our schemas/ use (type, const, enum, properties,
// required, additionalProperties false, items, minItems, maxItems, minimum, maximum, maxLength,
// pattern, oneOf), and the loading of those schemas. A keyword outside the subset is an error, so a schema
// cannot quietly ask for a check this validator does not make.
import { readFileSync, readdirSync } from "node:fs";
import { join } from "node:path";

export type Schema = { [keyword: string]: unknown };

const here = __dirname;
/** The repository root, from build-test/test/ (compiled) or test/ (source). */
export const repoRoot = join(here, here.includes("build-test") ? "../../../.." : "../../..");
export const schemaDir = join(repoRoot, "schemas");

const annotations = new Set(["$schema", "$id", "title", "description"]);
const checked = new Set([
  "type", "const", "enum", "properties", "required", "additionalProperties", "items",
  "minItems", "maxItems", "minimum", "maximum", "maxLength", "pattern", "oneOf",
]);

function typeMatches(value: unknown, type: string): boolean {
  switch (type) {
    case "object": return typeof value === "object" && value !== null && !Array.isArray(value);
    case "array": return Array.isArray(value);
    case "string": return typeof value === "string";
    case "boolean": return typeof value === "boolean";
    case "number": return typeof value === "number" && Number.isFinite(value);
    case "integer": return typeof value === "number" && Number.isInteger(value);
    default: throw new Error(`schema type ${type} is outside the subset`);
  }
}

/** The reasons `value` fails `schema`, empty when it passes. */
export function validate(schema: Schema, value: unknown, path = "$"): string[] {
  const errors: string[] = [];
  for (const keyword of Object.keys(schema)) {
    if (!annotations.has(keyword) && !checked.has(keyword)) throw new Error(`schema keyword ${keyword} is outside the subset`);
  }
  if (schema.type !== undefined && !typeMatches(value, schema.type as string)) {
    return [`${path}: not of type ${schema.type as string}`];
  }
  if ("const" in schema && value !== schema.const) errors.push(`${path}: not ${JSON.stringify(schema.const)}`);
  if (schema.enum !== undefined && !(schema.enum as unknown[]).includes(value)) errors.push(`${path}: not one of the enum`);
  if (typeof value === "number") {
    if (typeof schema.minimum === "number" && value < schema.minimum) errors.push(`${path}: below ${schema.minimum}`);
    if (typeof schema.maximum === "number" && value > schema.maximum) errors.push(`${path}: above ${schema.maximum}`);
  }
  if (typeof value === "string" && typeof schema.maxLength === "number" && [...value].length > schema.maxLength) {
    errors.push(`${path}: longer than ${schema.maxLength}`);
  }
  if (typeof value === "string" && typeof schema.pattern === "string" && !new RegExp(schema.pattern, "u").test(value)) {
    errors.push(`${path}: does not match ${schema.pattern}`);
  }
  if (Array.isArray(value)) {
    if (typeof schema.minItems === "number" && value.length < schema.minItems) errors.push(`${path}: fewer than ${schema.minItems} items`);
    if (typeof schema.maxItems === "number" && value.length > schema.maxItems) errors.push(`${path}: more than ${schema.maxItems} items`);
    if (schema.items !== undefined) value.forEach((item, i) => errors.push(...validate(schema.items as Schema, item, `${path}[${i}]`)));
  }
  if (typeof value === "object" && value !== null && !Array.isArray(value)) {
    const record = value as Record<string, unknown>;
    const properties = (schema.properties ?? {}) as Record<string, Schema>;
    for (const name of (schema.required ?? []) as string[]) {
      if (!(name in record)) errors.push(`${path}: missing ${name}`);
    }
    for (const [name, item] of Object.entries(record)) {
      const property = properties[name];
      if (property !== undefined) errors.push(...validate(property, item, `${path}.${name}`));
      else if (schema.additionalProperties === false) errors.push(`${path}: unexpected ${name}`);
    }
  }
  if (schema.oneOf !== undefined) {
    const passing = (schema.oneOf as Schema[]).filter((branch) => validate(branch, value, path).length === 0).length;
    if (passing !== 1) errors.push(`${path}: matches ${passing} of the oneOf branches, not exactly one`);
  }
  return errors;
}

/** Every schema file, by name without .json (in-input, out-device, ...). */
export function loadSchemas(): Map<string, Schema> {
  const schemas = new Map<string, Schema>();
  for (const file of readdirSync(schemaDir).filter((name) => name.endsWith(".json")).sort()) {
    schemas.set(file.slice(0, -5), JSON.parse(readFileSync(join(schemaDir, file), "utf8")) as Schema);
  }
  return schemas;
}

const schemas = loadSchemas();

/** Checks one line against the schema of its direction and type; returns the reasons it fails. */
export function checkLine(direction: "sent" | "received", line: string): string[] {
  let value: unknown;
  try {
    value = JSON.parse(line);
  } catch {
    return [`not JSON: ${line}`];
  }
  const type = (value as { type?: unknown })?.type;
  const schema = schemas.get(`${direction === "sent" ? "in" : "out"}-${String(type)}`);
  if (schema === undefined) return [`no schema for a ${direction} line of type ${String(type)}: ${line}`];
  return validate(schema, value).map((reason) => `${reason} in ${line}`);
}
