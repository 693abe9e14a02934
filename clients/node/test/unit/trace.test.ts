// Reading the bridge's trace: each kind with its fields becomes a typed record, anything else is
// not a record. The records the client takes pass the bridge's schemas (schemas/trace-*.json),
// but for a field the client lets through that this bridge does not write.
import assert from "node:assert/strict";
import { test } from "node:test";

import { parseTraceRecord } from "../../src/trace.js";
import { loadSchemas, validate, type Schema } from "../schema.js";

const schemas = loadSchemas();
const newer = "a field a newer bridge may add";

const records: [string, boolean][] = [
  ['{"t":0,"kind":"start","version":"1.0.0"}', true],
  ['{"t":5,"kind":"in","line":"{\\"type\\":\\"probe\\"}"}', true],
  ['{"t":5,"kind":"out","line":""}', true],
  ['{"t":5,"kind":"in","line":"{\\"type\\":\\"system\\",\\"action\\":\\"text\\",\\"text\\":\\"abc","cut":true}', true],
  ['{"t":5,"kind":"in","line":"","cut":false}', false],
  ['{"t":5,"kind":"drop","line":"{\\"type\\":\\"rumble\\"}"}', true],
  ['{"t":5,"kind":"request","name":"PlugIn","code":2793476,"player":0,"serial":1,"result":0}', true],
  ['{"t":5,"kind":"request","name":"CheckVersion","code":2154504,"result":995}', true],
  ['{"t":5,"kind":"pad","player":0,"pad":"xbox360","buttons":[0,12],"axes":[1,0,0,0],"triggers":[0,0.5]}', true],
  ['{"t":5,"kind":"pad","player":2,"pad":"vjoy","buttons":[],"axes":[-0.5,0,0,0.4999],"triggers":[1,0]}', true],
  ['{"t":5,"kind":"input","device":"keyboard","vk":65,"scan":30,"flags":0,"accepted":true}', true],
  ['{"t":5,"kind":"input","device":"mouse","dx":0,"dy":0,"data":0,"flags":1,"accepted":false}', true],
  ['{"t":5,"kind":"probe","backend":"none"}', true],
  ['{"t":5,"kind":"lapse","keeper":"watchdog"}', true],
  ['{"t":5,"kind":"lapse","keeper":"player","player":3}', true],
  ['{"t":5,"kind":"dropped","count":17}', true],
  [`{"t":5,"kind":"dropped","count":17,"more":"${newer}"}`, true],
  ["padbridge: cannot open the trace", false],
  ['{"t":5,"kind":"in","line":"cut short', false],
  ['[{"t":5,"kind":"dropped","count":1}]', false],
  ['{"kind":"start","version":"1.0.0"}', false],
  ['{"t":"5","kind":"start","version":"1.0.0"}', false],
  ['{"t":5,"kind":"toString"}', false],
  ['{"t":5,"kind":"unknown"}', false],
  ['{"t":5,"kind":"in","line":5}', false],
  ['{"t":5,"kind":"request","name":"Plug","code":1,"result":0}', false],
  ['{"t":5,"kind":"request","name":"PlugIn","code":1,"player":"0","result":0}', false],
  ['{"t":5,"kind":"request","name":"PlugIn","code":1}', false],
  ['{"t":5,"kind":"pad","player":0,"pad":"dualsense","buttons":[],"axes":[0,0,0,0],"triggers":[0,0]}', false],
  ['{"t":5,"kind":"pad","player":0,"pad":"xbox360","buttons":["A"],"axes":[0,0,0,0],"triggers":[0,0]}', false],
  ['{"t":5,"kind":"input","device":"pen","flags":0,"accepted":true}', false],
  ['{"t":5,"kind":"input","device":"keyboard","vk":65,"scan":30,"flags":0,"accepted":1}', false],
  ['{"t":5,"kind":"input","device":"mouse","vk":65,"scan":30,"flags":0,"accepted":true}', false],
  ['{"t":5,"kind":"probe","backend":"vigembus"}', false],
  ['{"t":5,"kind":"lapse","keeper":"player"}', false],
  ['{"t":5,"kind":"lapse","keeper":"constructor"}', false],
];

for (const [line, isRecord] of records) {
  test(`${isRecord ? "a record" : "not a record"}: ${line.slice(0, 90)}`, () => {
    const record = parseTraceRecord(line);
    if (!isRecord) return assert.equal(record, undefined);
    assert.deepEqual(record, JSON.parse(line));
    const schema = schemas.get(`trace-${record?.kind}`) as Schema;
    if (!line.includes(newer)) assert.deepEqual(validate(schema, record), []);
  });
}
