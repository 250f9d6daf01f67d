// zulgate on BACnet/IP as a client nobody here wrote sees it:
// @bacnet-js/client (pinned in npm/package-lock.json) against the zulgate
// program, which drives simulated panels on pseudo-terminals (panels_serve,
// told on stdin to change and show their memory, or to fall silent)
// through the built driver. Every object is checked against the panel's
// memory; writes against what lands there; a write through Modbus with
// mbpoll. Every wait has a deadline; no check rests on a fixed sleep.
//
//   node gateway_check.js SERVER_PORT CLIENT_PORT ZULGATE DRIVER PANELS_SERVE WORK_DIR
'use strict';
const assert = require('node:assert/strict');
const { spawn, execFile } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const Bacnet = require('@bacnet-js/client').default;
const { until, lines, hear, next, fails } = require('./waits');

const [serverPort, clientPort, zulgate, driver, panelsServe, work] = process.argv.slice(2);
const server = { address: `127.0.0.1:${serverPort}` };
const T = { null: 0, unsigned: 2, real: 4, string: 7, enumerated: 9 };
const P = { description: 28, objectList: 76, objectName: 77, presentValue: 85, priorityArray: 87,
  reliability: 103, relinquishDefault: 104, stateText: 110, statusFlags: 111, units: 117, numberOfStates: 74,
  inactiveText: 46, activeText: 4, covIncrement: 22, databaseRevision: 155, vendorId: 120 };
const NORMAL = { value: [0], bitsUsed: 4 }, FAULT = { value: [2], bitsUsed: 4 };
const DEVICE = { type: 8, instance: 260001 };
const AI = 0, AV = 2, BI = 3, BV = 5, MSV = 19;
const id = (type, instance) => ({ type, instance });

// Panel ahu1 is unit 2: its objects are 20000 + register. Its memory, and
// what each object must read from it.
const POINTS = `name,address,table,register,access,count,scale,units,states,min,max,cov,description
supply air,W01A2F3,input,0,r,,0.1,degrees-celsius,,,,0.5,tenths of a degree
outdoor,F003004,input,1,r,,,degrees-fahrenheit,,,,,the panel's float
setpoints,W000100,holding,0,rw,2,0.1,degrees-celsius,,15,35,,two setpoints in tenths
run hours,L10000A,holding,2,rw,,,hours,,,,,
mode,E004003,holding,4,rw,,,,off|auto|heat|cool,,,,low nibble
damper,B004010,holding,5,rw,,0.5,percent,,,,,half percents
label,B004011,holding,6,r,,,,,,,,read only
fan,B0040027,coil,0,rw,,,,off|on,,,,bit 7
alarms,B0040060,discrete,0,r,2,,,,,,,
`;
const MEMORY = [['01A2F3', 'D2 00'], ['003004', '2E 00 00 00'], ['000100', '40 01 48 01'],
  ['10000A', '10 27 00 00'], ['004003', '52'], ['004010', '64'], ['004011', '07'], ['004002', '81'],
  ['004006', '01 00']];
const u16 = (b) => b[0] | (b[1] << 8);
const OBJECTS = [ // object, name, memory, its reading, units
  [id(AI, 20000), 'ahu1.supply air', '01A2F3', 2, (b) => u16(b) * 0.1, 62],
  [id(AI, 20001), 'ahu1.outdoor', '003004', 2, (b) => u16(b), 64],
  [id(AV, 20000), 'ahu1.setpoints', '000100', 2, (b) => u16(b) * 0.1, 62],
  [id(AV, 20001), 'ahu1.setpoints.1', '000102', 2, (b) => u16(b) * 0.1, 62],
  [id(AV, 20002), 'ahu1.run hours', '10000A', 4, (b) => Buffer.from(b).readUInt32LE(0), 71],
  [id(MSV, 20004), 'ahu1.mode', '004003', 1, (b) => (b[0] & 0x0F) + 1],
  [id(AV, 20005), 'ahu1.damper', '004010', 1, (b) => b[0] * 0.5, 98],
  [id(AV, 20006), 'ahu1.label', '004011', 1, (b) => b[0], 95],
  [id(BV, 20000), 'ahu1.fan', '004002', 1, (b) => (b[0] >> 7) & 1],
  [id(BI, 20000), 'ahu1.alarms', '004006', 1, (b) => b[0] & 1],
  [id(BI, 20001), 'ahu1.alarms.1', '004007', 1, (b) => b[0] & 1],
];
const [SUPPLY, , SETPOINT, SETPOINT1, RUN_HOURS, MODE, DAMPER, LABEL, FAN] = OBJECTS.map((o) => o[0]);
const SLOW = id(AV, 30000); // panel "slow", unit 3: answers 400 ms late, write_timeout_ms 100

fs.mkdirSync(path.join(work, 'ports'), { recursive: true });
const panels = spawn(panelsServe, [path.join(work, 'ports'), 'AHU1', 'SLOW:400'], { stdio: ['pipe', 'pipe', 'inherit'] });
const panelLines = lines(panels.stdout);
async function panel(command) {
  const from = panelLines.length;
  panels.stdin.write(command + '\n');
  const reply = await until(`answer to ${command}`, () => panelLines.slice(from).find((l) => /^(ok|bytes|error)/.test(l)));
  assert.ok(!reply.startsWith('error'), `${command}: ${reply}`);
  return reply;
}
const memory = async (address, count) =>
  (await panel(`get AHU1 ${address} ${count}`)).split(' ').slice(1).map((h) => parseInt(h, 16));

const client = new Bacnet({ port: Number(clientPort), interface: '127.0.0.1', broadcastAddress: '127.0.0.1',
  apduTimeout: 6000 });
client.on('iAm', hear('iAm'));
client.on('covNotifyUnconfirmed', hear('cov'));
const read = async (object, property, options) => (await client.readProperty(server, object, property, options)).values;
const value = async (object, property) => (await read(object, property))[0].value;
const write = (object, v, priority, type = T.real) =>
  client.writeProperty(server, object, P.presentValue, [type === T.null ? { type } : { type, value: v }], { priority });
const covValue = (payload, property) => payload.values.find((v) => v.property.id === property).value[0].value;
const real = (x) => Math.fround(x);
// Reads a property every 20 ms until it is `expected` (a poll brings it).
async function shows(object, expected, ms = 5000, property = P.presentValue) {
  const deadline = Date.now() + ms;
  let last;
  while (Date.now() < deadline) {
    last = await value(object, property);
    if (JSON.stringify(last) === JSON.stringify(expected)) return;
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  assert.fail(`${JSON.stringify(object)} still has ${JSON.stringify(last)}, not ${JSON.stringify(expected)}`);
}
function mbpoll(args, values) {
  return new Promise((resolve, reject) => execFile('/usr/bin/mbpoll', ['-m', 'tcp', '-p', String(modbusPort), '-a', '2',
    '-0', '-1', '-o', '5', ...args, '127.0.0.1', ...values], (error, stdout) => (error ? reject(error) : resolve(stdout))));
}

let gate, gateLines, modbusPort;
async function startGateway() {
  modbusPort = await new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
  });
  fs.writeFileSync(path.join(work, 'ahu1.csv'), POINTS);
  fs.writeFileSync(path.join(work, 'slow.csv'), 'name,address,table,register,access\nsetpoint,W000200,holding,0,rw\n');
  const panelKeys = 'poll_ms = 200\nstale_ms = 1500\nprobe_ms = 500\n';
  fs.writeFileSync(path.join(work, 'gw.toml'), `[modbus]
listen = "127.0.0.1:${modbusPort}"

[bacnet]
listen = "127.0.0.1:${serverPort}"
device_instance = 260001
device_name = "zulgate site1"

[[panel]]
name = "ahu1"
port = "AHU1"
unit = 2
response_timeout_ms = 100
${panelKeys}points = "ahu1.csv"

[[panel]]
name = "slow"
port = "SLOW"
unit = 3
response_timeout_ms = 1000
write_timeout_ms = 100
poll_ms = 2000
stale_ms = 10000
points = "slow.csv"
`);
  gate = spawn(zulgate, ['--config', path.join(work, 'gw.toml'), '--lib', driver, '-v'], {
    stdio: ['ignore', 'inherit', 'pipe'], env: { ...process.env, ZULTRK_PORTS: path.join(work, 'ports') } });
  gateLines = lines(gate.stderr);
  gateLines.dump = () => fs.writeFileSync(path.join(work, 'gate.log'), gateLines.join('\n') + '\n');
  for (const text of ['bacnet: listening on', 'ahu1: started', 'slow: started']) {
    await until(text, () => gateLines.some((l) => l.includes(text)), 20000);
  }
  for (const [object] of OBJECTS) await shows(object, NORMAL, 5000, P.statusFlags); // the first poll's
}

const cases = [
  ['I-Am answers the client\'s Who-Is with the configured device', async () => {
    client.whoIs(server);
    const iAm = await next('iAm');
    assert.deepEqual([iAm.deviceId, iAm.maxApdu, iAm.segmentation, iAm.vendorId], [260001, 1476, 3, 65535]);
    assert.equal(await value(DEVICE, P.objectName), 'zulgate site1');
    assert.equal(typeof await value(DEVICE, P.databaseRevision), 'number');
  }],
  ['Object_List: the device, then one object per point element, in the point lists\' order', async () => {
    const expected = [DEVICE, ...OBJECTS.map((o) => o[0]), SLOW];
    assert.deepEqual((await read(DEVICE, P.objectList)).map((v) => v.value), expected);
    assert.equal((await read(DEVICE, P.objectList, { arrayIndex: 0 }))[0].value, expected.length);
    assert.deepEqual((await read(DEVICE, P.objectList, { arrayIndex: 4 }))[0].value, SETPOINT);
  }],
  ['every object\'s Present_Value is the panel\'s memory through the point list, current, with its Units', async () => {
    for (const [object, name, address, count, reading, units] of OBJECTS) {
      const expected = reading(await memory(address, count));
      const props = [P.objectName, P.presentValue, P.statusFlags, P.reliability];
      if (units !== undefined) props.push(P.units);
      const result = await client.readPropertyMultiple(server, [{ objectId: object, properties: props.map((p) => ({ id: p })) }]);
      const got = Object.fromEntries(result.values[0].values.map((v) => [v.id, v.value[0].value]));
      const want = object.type === AI || object.type === AV ? real(expected) : expected;
      assert.deepEqual([got[P.objectName], got[P.presentValue], got[P.statusFlags], got[P.reliability]],
        [name, want, NORMAL, 0], name);
      if (units !== undefined) assert.equal(got[P.units], units, name);
    }
    assert.equal(await value(SUPPLY, P.covIncrement), 0.5);
    assert.equal(await value(SUPPLY, P.description), 'tenths of a degree');
    assert.equal(await value(MODE, P.numberOfStates), 4);
    assert.deepEqual((await read(MODE, P.stateText)).map((v) => v.value), ['off', 'auto', 'heat', 'cool']);
    assert.deepEqual([await value(FAN, P.inactiveText), await value(FAN, P.activeText)], ['off', 'on']);
  }],
  ['writes at a priority land in the panel\'s memory; relinquishing writes the next one down, the last none', async () => {
    await write(SETPOINT, 21.7, 8);
    assert.deepEqual(await memory('000100', 2), [0xD9, 0x00]); // 217 tenths
    assert.equal(await value(SETPOINT, P.presentValue), real(21.7));
    await write(SETPOINT, 25, 10); // below the command in force: held, not written
    assert.deepEqual(await memory('000100', 2), [0xD9, 0x00]);
    const slots = (await read(SETPOINT, P.priorityArray)).map((v) => v.value ?? null);
    assert.deepEqual([slots[7], slots[9]], [real(21.7), 25]);
    await write(SETPOINT, null, 8, T.null);
    assert.deepEqual(await memory('000100', 2), [0xFA, 0x00]); // priority 10 in force: 250 tenths
    await write(SETPOINT, null, 10, T.null);
    assert.deepEqual(await memory('000100', 2), [0xFA, 0x00]); // the panel keeps it
    assert.ok((await read(SETPOINT, P.priorityArray)).every((v) => v.type === T.null));
    assert.deepEqual([await value(SETPOINT, P.presentValue), await value(SETPOINT, P.relinquishDefault)], [25, 25]);
    const table = [ // object, value, type, where, what the panel then holds
      [FAN, 0, T.enumerated, '004002', [0x01]], // bit 7 cleared, bit 0 kept
      [MODE, 2, T.unsigned, '004003', [0x51]], // state 2 is raw 1; the high nibble kept
      [RUN_HOURS, 123456, T.real, '10000A', [0x40, 0xE2, 0x01, 0x00]],
      [DAMPER, 37.5, T.real, '004010', [75]],
    ];
    for (const [object, v, type, address, bytes] of table) {
      await write(object, v, 12, type);
      assert.deepEqual(await memory(address, bytes.length), bytes, JSON.stringify(object));
      assert.equal(await value(object, P.presentValue), v, JSON.stringify(object));
    }
  }],
  ['each error a reader or writer meets, and nothing written for any', async () => {
    const table = [
      ['unknown object', () => read(id(AV, 20099), P.presentValue), 1, 31],
      ['unknown property', () => read(SUPPLY, P.priorityArray), 2, 32],
      ['not an array', () => read(SUPPLY, P.presentValue, { arrayIndex: 1 }), 2, 50],
      ['invalid array index', () => read(DEVICE, P.objectList, { arrayIndex: 99 }), 2, 42],
      ['a read-only point', () => write(LABEL, 9, 8), 2, 40],
      ['an input', () => write(SUPPLY, 20, 8), 2, 40],
      ['another property', () => client.writeProperty(server, SETPOINT, P.description,
        [{ type: T.string, value: 'x' }], { priority: 8 }), 2, 40],
      ['above max', () => write(SETPOINT, 35.1, 8), 2, 37],
      ['below min', () => write(SETPOINT, 14.9, 8), 2, 37],
      ['more than a byte holds', () => write(DAMPER, 128, 8), 2, 37],
      ['beyond the states', () => write(MODE, 5, 8, T.unsigned), 2, 37],
      ['wrong datatype: Unsigned for a REAL', () => write(SETPOINT, 20, 8, T.unsigned), 2, 9],
      ['wrong datatype: REAL for a bit', () => write(FAN, 1, 8, T.real), 2, 9],
    ];
    const before = await memory('000100', 0x12);
    for (const [name, run, errorClass, errorCode] of table) {
      await fails(run(), errorClass, errorCode).catch((e) => assert.fail(`${name}: ${e.message}`));
    }
    assert.deepEqual(await memory('000100', 0x12), before);
    assert.equal((await read(SETPOINT, P.priorityArray, { arrayIndex: 8 }))[0].type, T.null);
  }],
  ['a write the panel has not taken within write_timeout_ms is an error, its slot left empty', async () => {
    await fails(write(SLOW, 5, 8), 7, 30); // communication, timeout
    assert.equal((await read(SLOW, P.priorityArray, { arrayIndex: 8 }))[0].type, T.null);
  }],
  ['COV: at once, on a move of COV_Increment, and at once after a write through Modbus', async () => {
    const first = next('cov', (p) => p.subscriberProcessId === 1);
    await client.subscribeCov(server, SUPPLY, 1, false, false, 300);
    assert.deepEqual([covValue(await first, P.presentValue), covValue(await first, P.statusFlags)], [21, NORMAL]);
    const moved = next('cov', (p) => p.subscriberProcessId === 1);
    await panel('set AHU1 01A2F3 D4 00'); // 21.2: less than 0.5, not notified ...
    await shows(SUPPLY, real(21.2));
    await panel('set AHU1 01A2F3 D8 00'); // ... 21.6 is
    assert.equal(covValue(await moved, P.presentValue), real(21.6));

    const any = next('cov', (p) => p.subscriberProcessId === 2);
    await client.subscribeCov(server, SETPOINT1, 2, false, false, 300);
    assert.equal(covValue(await any, P.presentValue), real(32.8));
    const written = next('cov', (p) => p.subscriberProcessId === 2 && covValue(p, P.presentValue) === 30);
    await mbpoll(['-t', '4', '-r', '1'], ['300']); // raw, as Modbus is
    await written;
    assert.deepEqual(await memory('000102', 2), [0x2C, 0x01]);
  }],
  ['a silent panel: fault and communication-failure with the last value; a write is an error; then back', async () => {
    const fault = next('cov', (p) => p.subscriberProcessId === 1 && covValue(p, P.statusFlags).value[0] === 2);
    await panel('silent AHU1 1');
    assert.equal(covValue(await fault, P.presentValue), real(21.6));
    assert.deepEqual([await value(SUPPLY, P.statusFlags), await value(SUPPLY, P.reliability),
      await value(SUPPLY, P.presentValue)], [FAULT, 12, real(21.6)]);
    assert.deepEqual(await value(FAN, P.statusFlags), FAULT);
    await until('the panel taken for away', () => gateLines.some((l) => l.includes('ahu1: the panel does not answer')));
    await fails(write(SETPOINT, 22, 8), 0, 25); // device, operational-problem: nothing sent
    const back = next('cov', (p) => p.subscriberProcessId === 1 && covValue(p, P.statusFlags).value[0] === 0, 15000);
    await panel('silent AHU1 0');
    await back;
    assert.equal(await value(SUPPLY, P.reliability), 0);
  }],
];

async function main() {
  await until('the panels', () => panelLines.includes('ready'));
  for (const [address, bytes] of MEMORY) await panel(`set AHU1 ${address} ${bytes}`);
  await startGateway();
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
  // A Who-Has for a name no one has marks the end of the run in the capture.
  const text = Buffer.from('end-of-run');
  const npdu = Buffer.concat([Buffer.from([0x01, 0x00, 0x10, 0x07, 0x3d, text.length + 1, 0x00]), text]);
  const buffer = Buffer.concat([Buffer.from([0x81, 0x0a, 0, 4 + npdu.length]), npdu]);
  client.sendBvlc(server, { buffer, offset: buffer.length });
  await new Promise((resolve) => setImmediate(resolve));
  client.close();
  gate.kill('SIGTERM');
  const status = await new Promise((resolve) => gate.on('exit', (code) => resolve(code)));
  gateLines.dump();
  if (status !== 0 || !gateLines.some((l) => l.includes('bacnet: stopped'))) {
    failed += 1;
    console.log(`FAIL the gateway stops cleanly: exit ${status}; its log is ${path.join(work, 'gate.log')}`);
  }
  panels.stdin.end('quit\n');
  console.log(failed ? `${failed} of ${cases.length} failed` : `all ${cases.length} passed`);
  process.exitCode = failed ? 1 : 0;
}

main().catch((e) => {
  console.log(`FAIL ${e.stack}`);
  gate?.kill();
  gateLines?.dump();
  panels.kill();
  process.exit(1);
});
