'use strict';
// The kytrix PMU methods against a simulated board: in a private mount namespace the board's FTDI adapter "PMU0001"
// (interface 0, ttyUSB0) leads to a pseudo-terminal on which this process answers the board's JSON-RPC, while the
// same file, started with the argument "child", runs the script.
const { loadAddon, Pty, attempt, namespacesAvailable, runInNamespace } = require('../ports/support');

const S = 'PMU0001';
const error = (name, text) => ({ error: `kytrixPmu.${name} : ${text}` });
// [key, call, its outcome as the script sees it]
const steps = [
  ['id', (a) => a.kytrixPmuOpenController(S, false), { value: 0 }],
  ['again', (a) => a.kytrixPmuOpenController(S, true), { value: 0 }],
  // The whole text, past an escaped NUL, with its length.
  ['version', (a) => a.kytrixPmuGetVersion(S), { value: '2.0.1-é漢\u0000x' }],
  ['power', (a) => a.kytrixPmuMeasurePower(S), { value: { current: 0.5, power: 6.05, voltage: 12.1 } }],
  ['info', (a) => a.kytrixPmuGetPmuInfo(S), { value: { board: 'kytrix', rev: 3 } }],
  ['adapter', (a) => a.kytrixPmuGetAdapterInfo(S), { value: { adapter: 'E1.S' } }],
  ['debug', (a) => a.kytrixPmuGetDebugBoardInfo(S),
    error('getDebugBoard', 'getDebugBoardInfo is not supported by kytrix PMU')],
  ['setFan', (a) => a.kytrixPmuSetFanSpeed(S, 77), {}],
  ['fan', (a) => a.kytrixPmuGetFanSpeed(S), { value: 77 }],
  ['change', (a) => a.kytrixPmuChangePower(S, '12V', 'ON'), {}],
  ['smbus', (a) => a.kytrixPmuSendSmbusBlockWrite(S, 0x22, 0x01, Buffer.from([0xAA, 0x55])), {}],
  ['received', (a) => a.kytrixPmuGetReceivedSmbusBlockWrite(S),
    { value: { address: 0x22, command: 1, payload: [0xAA, 0x55], pec: 0x56 } }],
  ['updateOpen', (a) => a.kytrixPmuUpdateFirmware(S, Buffer.from([1, 2, 3])),
    error('UpdateFirmware', 'PPC must be uninitialized before updating the firmware')],
  ['close', (a) => a.kytrixPmuCloseController(S), {}],
  ['after', (a) => a.kytrixPmuMeasurePower(S), error('measurePower', 'PPC is not initialized')],
  // Left open: the addon's teardown must close it before the poll thread stops.
  ['reopened', (a) => a.kytrixPmuOpenController(S, true), { value: 0 }],
];

// Inside the namespace: prints "RESULT <json>" with the outcome of each call.
async function child() {
  const addon = new (loadAddon())();
  const r = {};
  for (const [key, call] of steps) r[key] = await attempt(() => call(addon));
  console.log(`RESULT ${JSON.stringify(r)}`);
}

if (process.argv[2] === 'child') {
  child();
} else {
  const test = require('node:test');
  const assert = require('node:assert/strict');

  test('a script drives a PMU board through its controller', async (t) => {
    if (!namespacesAvailable()) return t.skip('private mount namespaces (unshare -m, as root) are not available here');
    const pty = new Pty();
    let fan = 30;
    let smbus = null;
    pty.serveJsonRpc({
      getVersion: () => ({ version: '2.0.1-é漢\u0000x' }),
      getPmuInfo: () => ({ board: 'kytrix', rev: 3 }),
      getAdapterInfo: () => ({ adapter: 'E1.S' }),
      measurePower: () => ({ voltage: 12.1, current: 0.5, power: 6.05 }),
      getFanSpeed: () => fan,
      setFanSpeed: (params) => { fan = params.speed; return null; },
      sendSmbusBlockWrite: (params) => { smbus = params; return null; },
      getReceivedSmbusBlockWrite: () => smbus,
      changePower: () => null,
    });
    try {
      const { status, output, result } = await runInNamespace(__filename, [{ device: '1-1', serial: 'PMU0001',
        interfaces: [{ tty: 'ttyUSB0', bound: true, pty: pty.path }, {}] }]);
      assert.equal(status, 0, output);
      assert.deepEqual(result, Object.fromEntries(steps.map(([key, , outcome]) => [key, outcome])));
      const lines = output.split('\n');
      const lastClose = lines.lastIndexOf('SerialPort: Closing Device');
      assert.ok(lastClose > lines.findIndex((l) => l.startsWith('RESULT '))
        && lastClose < lines.indexOf('PollableManager: Stopping'), 'the open controller is closed before the poll thread');
      // The board saw init's three queries once (the bypassed reopen sent nothing), then the calls.
      assert.deepEqual(pty.requests.slice(0, 4).map((q) => q.method),
        ['getVersion', 'getPmuInfo', 'getAdapterInfo', 'getVersion']);
      assert.deepEqual(pty.requests.find((q) => q.method === 'changePower').params, { powerSupply: '12V', state: 'ON' });
    } finally {
      pty.stop();
      pty.close();
    }
  });
}
