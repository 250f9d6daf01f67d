// The BACnet server as a client nobody here wrote sees it: @bacnet-js/client
// (pinned in npm/package-lock.json) against bacnet_serve, which serves one
// object of every type from memory and is told on stdin to change values.
// Every wait has a deadline; no check rests on a fixed sleep.
//
//   node client_check.js SERVER_PORT CLIENT_PORT BACNET_SERVE
'use strict';
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const Bacnet = require('@bacnet-js/client').default;
const { until, lines: linesOf, heard, hear, next, fails } = require('./waits');

const [serverPort, clientPort, serve] = process.argv.slice(2);
const server = { address: `127.0.0.1:${serverPort}` };
const DEVICE = { type: 8, instance: 260001 };
const AI1 = { type: 0, instance: 1 }, AI2 = { type: 0, instance: 2 }, AV3 = { type: 2, instance: 3 };
const AV4 = { type: 2, instance: 4 }, BI5 = { type: 3, instance: 5 }, BV6 = { type: 5, instance: 6 };
const MSV7 = { type: 19, instance: 7 };
const P = { all: 8, description: 28, objectList: 76, objectName: 77, presentValue: 85, priorityArray: 87,
  reliability: 103, relinquishDefault: 104, stateText: 110, statusFlags: 111, units: 117, numberOfStates: 74,
  activeText: 4, propertyList: 371, servicesSupported: 97, typesSupported: 96, maxApdu: 62, segmentation: 107,
  vendorId: 120, databaseRevision: 155, protocolRevision: 139, covIncrement: 22 };
const T = { null: 0, boolean: 1, unsigned: 2, real: 4, string: 7, bits: 8, enumerated: 9, objectId: 12 };

// The server: its stdout lines are kept, in order, and waited for.
const child = spawn(serve, ['--port', serverPort], { stdio: ['pipe', 'pipe', 'inherit'] });
const lines = linesOf(child.stdout);
function line(pattern) {
  const from = lines.length;
  return until(`line ${pattern}`, () => lines.slice(from).find((l) => pattern.test(l)));
}
async function command(text) {
  const from = lines.length;
  child.stdin.write(text + '\n');
  const reply = await until(`answer to ${text}`, () => lines.slice(from).find((l) => /^(ok|error)/.test(l)));
  assert.equal(reply, 'ok', text);
}

const client = new Bacnet({ port: Number(clientPort), interface: '127.0.0.1', broadcastAddress: '127.0.0.1',
  apduTimeout: 3000 });
client.on('iAm', hear('iAm'));
client.on('iHave', hear('iHave'));
client.on('covNotifyUnconfirmed', hear('cov'));

const read = async (object, id, options) => (await client.readProperty(server, object, id, options)).values;
const value = async (object, id) => (await read(object, id))[0].value;
const write = (object, v, priority, type = T.real) =>
  client.writeProperty(server, object, P.presentValue, [type === T.null ? { type } : { type, value: v }], { priority });
// The client sends no Who-Has of its own: its socket carries ours, and decodes the I-Have.
function whoHas(apdu) {
  const npdu = Buffer.concat([Buffer.from([0x01, 0x00, 0x10, 0x07]), apdu]);
  const buffer = Buffer.concat([Buffer.from([0x81, 0x0a, 0, 4 + npdu.length]), npdu]);
  client.sendBvlc(server, { buffer, offset: buffer.length });
}
function whoHasName(name) {
  const text = Buffer.from(name);
  whoHas(Buffer.concat([Buffer.from([0x3d, text.length + 1, 0x00]), text]));
}
const covValue = (payload, id) => payload.values.find((v) => v.property.id === id).value[0].value;

const cases = [
  ['I-Am answers a unicast Who-Is, and only one whose range holds the instance', async () => {
    const from = heard.length;
    client.whoIs(server, { lowLimit: 1, highLimit: 260000 });
    client.whoIs(server, { lowLimit: 260001, highLimit: 260001 });
    const iAm = await next('iAm');
    assert.deepEqual([iAm.deviceId, iAm.maxApdu, iAm.segmentation, iAm.vendorId],
      [260001, 1476, 3, 65535]);
    assert.equal(heard.slice(from).filter((h) => h.kind === 'iAm').length, 1);
  }],
  ['Who-Has finds an object by name and by identifier', async () => {
    whoHasName('ahu1.mode');
    let iHave = await next('iHave');
    assert.deepEqual([iHave.objectId, iHave.objectName], [MSV7, 'ahu1.mode']);
    whoHas(Buffer.from([0x2c, 0x00, 0x80, 0x00, 0x03])); // analog value 3
    iHave = await next('iHave');
    assert.deepEqual([iHave.deviceId, iHave.objectId, iHave.objectName],
      [DEVICE, AV3, 'ahu1.setpoint']);
  }],
  ['Object_List whole, its size at index 0, and one entry', async () => {
    const list = (await read(DEVICE, P.objectList)).map((v) => v.value);
    assert.deepEqual(list, [DEVICE, AI1, AI2, AV3, AV4, BI5, BV6, MSV7, { type: 19, instance: 8 }]);
    assert.equal((await read(DEVICE, P.objectList, { arrayIndex: 0 }))[0].value, 9);
    assert.deepEqual((await read(DEVICE, P.objectList, { arrayIndex: 4 }))[0].value, AV3);
  }],
  ['the device says what it serves', async () => {
    const bits = (v) => v.value.value.flatMap((byte, i) => [0, 1, 2, 3, 4, 5, 6, 7]
      .filter((b) => byte & (1 << b)).map((b) => i * 8 + b));
    assert.deepEqual(bits((await read(DEVICE, P.servicesSupported))[0]), [5, 12, 14, 15, 33, 34]);
    assert.deepEqual(bits((await read(DEVICE, P.typesSupported))[0]), [0, 2, 3, 5, 8, 19]);
    assert.deepEqual([await value(DEVICE, P.maxApdu), await value(DEVICE, P.segmentation),
      await value(DEVICE, P.vendorId), await value(DEVICE, P.databaseRevision),
      await value(DEVICE, P.protocolRevision), await value(DEVICE, P.objectName)],
    [1476, 3, 65535, 42, 14, 'zulgate test']);
  }],
  ['each type\'s Present_Value, units and states', async () => {
    const table = [
      [AI1, T.real, 72.5], [AV3, T.real, 70], [AV4, T.real, 1.5], [BI5, T.enumerated, 1],
      [BV6, T.enumerated, 0], [MSV7, T.unsigned, 3],
    ];
    for (const [object, type, expected] of table) {
      const [v] = await read(object, P.presentValue);
      assert.deepEqual([v.type, v.value], [type, expected], JSON.stringify(object));
    }
    assert.equal(await value(AI1, P.units), 64);
    assert.equal(await value(AV4, P.units), 98);
    assert.equal(await value(AI1, P.covIncrement), 0.5);
    assert.equal(await value(BI5, P.activeText), 'on');
    assert.equal(await value(MSV7, P.numberOfStates), 4);
    assert.deepEqual((await read(MSV7, P.stateText)).map((v) => v.value), ['off', 'heat', 'cool', 'auto']);
    assert.equal((await read(MSV7, P.stateText, { arrayIndex: 3 }))[0].value, 'cool');
  }],
  ['ReadPropertyMultiple: ALL gives what Property_List names; REQUIRED and OPTIONAL split it', async () => {
    for (const object of [DEVICE, AI1, AV3, AV4, BI5, BV6, MSV7]) {
      const result = await client.readPropertyMultiple(server, [{ objectId: object, properties: [{ id: P.all }] }]);
      const ids = result.values[0].values.map((v) => v.id);
      const listed = result.values[0].values.find((v) => v.id === P.propertyList).value.map((v) => v.value);
      assert.deepEqual(ids.filter((id) => ![75, 77, 79, 371].includes(id)), listed, JSON.stringify(object));
    }
    const group = async (id) => (await client.readPropertyMultiple(server,
      [{ objectId: AI1, properties: [{ id }] }])).values[0].values.map((v) => v.id);
    assert.deepEqual(await group(105), [75, 77, 79, 85, 111, 36, 81, 117, 371]); // REQUIRED
    assert.deepEqual(await group(80), [28, 103, 22]); // OPTIONAL
  }],
  ['ReadPropertyMultiple of Present_Value and Status_Flags of several objects', async () => {
    const specs = [AI1, BI5, MSV7].map((objectId) => ({ objectId,
      properties: [{ id: P.presentValue }, { id: P.statusFlags }] }));
    const result = await client.readPropertyMultiple(server, specs);
    assert.deepEqual(result.values.map((o) => o.values.map((v) => v.value[0].value)),
      [[72.5, { value: [0], bitsUsed: 4 }], [1, { value: [0], bitsUsed: 4 }], [3, { value: [0], bitsUsed: 4 }]]);
  }],
  ['a value never read: fault and communication-failure', async () => {
    assert.deepEqual(await value(AI2, P.statusFlags), { value: [2], bitsUsed: 4 });
    assert.equal(await value(AI2, P.reliability), 12);
  }],
  ['the errors a reader or writer meets', async () => {
    const table = [
      ['unknown object', () => read({ type: 0, instance: 99 }, P.presentValue), 1, 31],
      ['unknown property', () => read(AI1, P.priorityArray), 2, 32],
      ['not an array', () => read(AI1, P.presentValue, { arrayIndex: 1 }), 2, 50],
      ['invalid array index', () => read(DEVICE, P.objectList, { arrayIndex: 10 }), 2, 42],
      ['read-only object', () => write(AV4, 2, 8), 2, 40],
      ['an input', () => write(AI1, 2, 8), 2, 40],
      ['another property', () => client.writeProperty(server, AV3, P.description,
        [{ type: T.string, value: 'x' }], { priority: 8 }), 2, 40],
      ['above max', () => write(AV3, 95, 8), 2, 37],
      ['beyond the states', () => write(MSV7, 5, 8, T.unsigned), 2, 37],
      ['wrong datatype', () => write(AV3, 60, 8, T.unsigned), 2, 9],
      ['priority 6', () => write(AV3, 60, 6), 2, 40],
      ['confirmed notifications', () => client.subscribeCov(server, AI1, 9, false, true, 60), 5, 45],
    ];
    for (const [name, run, errorClass, errorCode] of table) {
      await fails(run(), errorClass, errorCode).catch((e) => assert.fail(`${name}: ${e.message}`));
    }
    await assert.rejects(client.readPropertyMultiple(server, [{ objectId: DEVICE, properties: [{ id: P.all }] }],
      { maxApdu: 1 }), /BacnetAbort - Reason:4/); // 128 octets: no room for it, no segments
  }],
  ['writes at priorities land in the panel; Priority_Array shows what is in force', async () => {
    const landed = line(/^write av:3 65.5$/);
    await write(AV3, 65.5, 8);
    await landed;
    assert.equal(await value(AV3, P.presentValue), 65.5);
    await write(AV3, 60, 10); // below the command in force: kept, not written
    const slots = (await read(AV3, P.priorityArray)).map((v) => v.value ?? null);
    assert.deepEqual([slots[7], slots[9]], [65.5, 60]);
    assert.equal(await value(AV3, P.presentValue), 65.5);
    const next10 = line(/^write av:3 60$/);
    await write(AV3, null, 8, T.null); // relinquished: priority 10 comes into force
    await next10;
    assert.equal(await value(AV3, P.presentValue), 60);
    await write(AV3, null, 10, T.null); // all relinquished: the panel keeps its value
    assert.ok((await read(AV3, P.priorityArray)).every((v) => v.type === T.null));
    assert.deepEqual([await value(AV3, P.presentValue), await value(AV3, P.relinquishDefault)], [60, 60]);
    const bv = line(/^write bv:6 1$/), msv = line(/^write msv:7 1$/);
    await write(BV6, 1, 8, T.enumerated);
    await write(MSV7, 2, 8, T.unsigned);
    await Promise.all([bv, msv]);
    assert.deepEqual([await value(BV6, P.presentValue), await value(MSV7, P.presentValue)], [1, 2]);
  }],
  ['a write the panel does not take is an error, and its slot stays empty', async () => {
    const table = [['refused', 2, 40], ['timed-out', 7, 30], ['panel-away', 0, 25], ['stopping', 0, 3]];
    for (const [outcome, errorClass, errorCode] of table) {
      await command(`writes ${outcome}`);
      await fails(write(AV3, 55, 4), errorClass, errorCode);
      assert.equal((await read(AV3, P.priorityArray, { arrayIndex: 4 }))[0].type, T.null, outcome);
    }
    await command('writes written');
  }],
  ['while a write waits for the panel, other requests are served', async () => {
    await command('writes held');
    const held = write(AV3, 58, 12);
    await line(/^write av:3 58$/);
    assert.equal(await value(AI1, P.presentValue), 72.5); // answered while the write is held
    await command('release');
    await held;
    await command('writes written');
    assert.equal(await value(AV3, P.presentValue), 58);
  }],
  ['COV: at once, then on a move of COV_Increment, on the fault flag, and no more once cancelled', async () => {
    const first = next('cov', (p) => p.subscriberProcessId === 1);
    await client.subscribeCov(server, AI1, 1, false, false, 60);
    let n = await first;
    assert.deepEqual([covValue(n, P.presentValue), covValue(n, P.statusFlags).value, n.timeRemaining],
      [72.5, [0], 60]);
    let moved = next('cov', (p) => p.subscriberProcessId === 1);
    await command('set ai 1 72.7'); // less than 0.5: not notified
    await command('set ai 1 73.25');
    assert.equal(covValue(await moved, P.presentValue), 73.25);
    moved = next('cov', (p) => p.subscriberProcessId === 1);
    await command('stale ai 1');
    n = await moved;
    assert.deepEqual([covValue(n, P.presentValue), covValue(n, P.statusFlags).value], [73.25, [2]]);

    const binary = next('cov', (p) => p.subscriberProcessId === 2);
    await client.subscribeCov(server, BV6, 2, false, false, 0);
    assert.equal((await binary).timeRemaining, 0);
    await client.subscribeCov(server, AI1, 1, true, false, 0); // cancelled
    const from = heard.length;
    const turned = next('cov', (p) => p.subscriberProcessId === 2);
    await command('set ai 1 90');
    await command('set bv 6 0'); // notified after the cancelled one would have been
    assert.equal(covValue(await turned, P.presentValue), 0);
    assert.ok(!heard.slice(from).some((h) => h.kind === 'cov' && h.payload.subscriberProcessId === 1));
  }],
];

async function main() {
  await line(/^ready /);
  let failed = 0;
  for (const [name, run] of cases) {
    const began = Date.now();
    try {
      await run();
      console.log(`ok   ${name} (${Date.now() - began} ms)`);
    } catch (e) {
      failed += 1;
      console.log(`FAIL ${name}: ${e.message}`);
    }
  }
  whoHasName('end-of-run'); // no one has it: it marks the end of the run in a capture
  await new Promise((resolve) => setImmediate(resolve));
  client.close();
  child.stdin.end('quit\n');
  console.log(failed ? `${failed} of ${cases.length} failed` : `all ${cases.length} passed`);
  process.exitCode = failed ? 1 : 0;
}

main().catch((e) => {
  console.log(`FAIL ${e.stack}`);
  child.kill();
  process.exit(1);
});
