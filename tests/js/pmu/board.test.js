'use strict';
// The kytrix PMU methods against a simulated board: in a private mount namespace the board's FTDI adapter "PMU0001"
// (interface 0, ttyUSB0) leads to a pseudo-terminal on which this process answers the board's JSON-RPC, while the
// same file, started with the argument "child", runs the script.
const { loadAddon, Pty, attempt, namespacesAvailable, runInNamespace } = require('../ports/support');

// Inside the namespace: prints "RESULT <json>" with the outcome of each call.
async function child() {
  const addon = new (loadAddon())();
  const S = 'PMU0001';
  const calls = {
    id: () => addon.kytrixPmuOpenController(S, false),
    again: () => addon.kytrixPmuOpenController(S, true),
    version: () => addon.kytrixPmuGetVersion(S),
    power: () => addon.kytrixPmuMeasurePower(S),
    info: () => addon.kytrixPmuGetPmuInfo(S),
    adapter: () => addon.kytrixPmuGetAdapterInfo(S),
    debug: () => addon.kytrixPmuGetDebugBoardInfo(S),
    setFan: () => addon.kytrixPmuSetFanSpeed(S, 77),
    fan: () => addon.kytrixPmuGetFanSpeed(S),
    change: () => addon.kytrixPmuChangePower(S, '12V', 'ON'),
    smbus: () => addon.kytrixPmuSendSmbusBlockWrite(S, 0x22, 0x01, Buffer.from([0xAA, 0x55])),
    received: () => addon.kytrixPmuGetReceivedSmbusBlockWrite(S),
    updateOpen: () => addon.kytrixPmuUpdateFirmware(S, Buffer.from([1, 2, 3])),
    close: () => addon.kytrixPmuCloseController(S),
    after: () => addon.kytrixPmuMeasurePower(S),
    // Left open: the addon's teardown must close it before the poll thread stops.
    reopened: () => addon.kytrixPmuOpenController(S, true),
  };
  const r = {};
  for (const [key, call] of Object.entries(calls)) r[key] = await attempt(call);
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
      getVersion: () => ({ version: '2.0.1' }),
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
      const error = (name, text) => ({ error: `kytrixPmu.${name} : ${text}` });
      assert.deepEqual(result, {
        id: { value: 0 },
        again: { value: 0 },
        version: { value: '2.0.1' },
        power: { value: { current: 0.5, power: 6.05, voltage: 12.1 } },
        info: { value: { board: 'kytrix', rev: 3 } },
        adapter: { value: { adapter: 'E1.S' } },
        debug: error('getDebugBoard', 'getDebugBoardInfo is not supported by kytrix PMU'),
        setFan: {},
        fan: { value: 77 },
        change: {},
        smbus: {},
        received: { value: { address: 0x22, command: 1, payload: [0xAA, 0x55], pec: 0x56 } },
        updateOpen: error('UpdateFirmware', 'PPC must be uninitialized before updating the firmware'),
        close: {},
        after: error('measurePower', 'PPC is not initialized'),
        reopened: { value: 0 },
      });
      const lines = output.split('\n');
      const lastClose = lines.lastIndexOf('SerialPort: Closing Device');
      assert.ok(lastClose > lines.findIndex((l) => l.startsWith('RESULT '))
        && lastClose < lines.indexOf('PollableManager: Stopping'), 'the open controller is closed before the poll thread');
      // The board saw init's three queries once (the bypassed reopen sent nothing), then the calls, ids in order.
      const methods = pty.requests.map((q) => q.method);
      assert.deepEqual(methods.slice(0, 4), ['getVersion', 'getPmuInfo', 'getAdapterInfo', 'getVersion']);
      assert.deepEqual(pty.requests.map((q) => q.id), methods.map((_, i) => i));
      assert.deepEqual(pty.requests.find((q) => q.method === 'changePower').params, { powerSupply: '12V', state: 'ON' });
    } finally {
      pty.stop();
      pty.close();
    }
  });
}
