'use strict';
// The power controller methods against simulated bench hardware. In a private mount namespace the FTDI adapter
// "RB0001" (ttyUSB0) leads to a relay power box and "PMU001" (ttyUSB1) to a kytrix PMU board, both pseudo-terminals
// whose master sides this process holds: it records the box's bytes and answers the board's JSON-RPC while the
// script, this same file started with the argument "child", runs in the namespace.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { loadAddon, Pty, port, attempt, namespacesAvailable, runInNamespace } = require('../ports/support');

const box = (model, baudRate = 9600) => ({ serial: 'RB0001', interfaceNumber: 0, baudRate, model });
const log = path.join(os.tmpdir(), `kyt-power-bench-${process.pid}.csv`);
const lines = () => fs.readFileSync(log, 'latin1').split('\n').filter((l) => l !== '');
const failed = (name, text) => ({ error: `powerController.${name} : ${text}` });
// [step, call, its outcome as the script sees it (undefined: checked apart)]. Before the box's port closes, the script
// waits for the box's answers: a port opened again discards what the box had not read yet.
const steps = [
  ['refusedBaud', (a) => a.powerControllerInit('dorvan', box('pmu', -1)), failed('init', 'Failed to set baud rate')],
  ['boxInit', (a) => a.powerControllerInit('dorvan', box('pmu-norvik', 9600.7)), {}],
  ['boxOn', (a) => a.powerControllerPowerOn(), {}],
  ['boxOff', (a) => a.powerControllerPowerOff(), {}],
  ['boxMonitor', (a) => a.powerControllerEnablePowerMonitor(log),
    failed('enablePowerMonitor', 'enablePowerMonitor is not supported')],
  ['boxHeard', (a) => port(a, 'serialport', 0).readAtLeast(6), { value: 'OK\nOK\n' }],
  ['boxUninit', (a) => a.powerControllerUninit(), {}],
  ['boxPort', (a) => a.serialportClose(0), { error: 'serialport.close : invalid device index' }],  // uninit closed it
  ['otherModel', (a) => a.powerControllerInit('dorvan', box('pmu-brask')), {}],
  ['otherModelOn', (a) => a.powerControllerPowerOn(), {}],
  ['otherHeard', (a) => port(a, 'serialport', 0).readAtLeast(3), { value: 'OK\n' }],
  ['otherModelUninit', (a) => a.powerControllerUninit(), {}],
  ['pmuInit', (a) => a.powerControllerInit('tyrvane', { serial: 'PMU001', interfaceNumber: 0, baudRate: 115200 }), {}],
  ['pmuOff', (a) => a.powerControllerPowerOff(), {}],
  ['pmuOn', (a) => a.powerControllerPowerOn(), {}],
  ['pmuMonitor', (a) => a.powerControllerEnablePowerMonitor(log), {}],
  ['pmuNoMonitor', (a) => {
    while (lines().length < 2) Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 5);
    a.powerControllerDisablePowerMonitor();
    return lines();
  }],
  ['pmuUninit', (a) => a.powerControllerUninit(), {}],
  ['pmuAfterUninit', (a) => a.powerControllerPowerOff(), failed('powerOff', 'PowerController is not initialized yet')],
];

// The script, inside the namespace. Prints "RESULT <json>" with the outcome of each step.
async function child() {
  const addon = new (loadAddon())(true);
  const r = {};
  for (const [key, step] of steps) r[key] = await attempt(() => step(addon));
  fs.rmSync(log, { force: true });
  console.log(`RESULT ${JSON.stringify(r)}`);
}

if (process.argv[2] === 'child') {
  child();
} else {
  const test = require('node:test');
  const assert = require('node:assert/strict');

  test('the script switches a relay power box and a PMU board through the power controller', async (t) => {
    if (!namespacesAvailable()) return t.skip('private mount namespaces (unshare -m, as root) are not available here');
    const boxPty = new Pty();
    boxPty.collect((text) => boxPty.send('OK\n'.repeat(text.split('\x03').length - 1)));  // an answer per command
    const pmuPty = new Pty().serveJsonRpc({
      getVersion: () => ({ version: '2.0.1' }),
      getPmuInfo: () => ({ board: 'kytrix-pmu' }),
      getAdapterInfo: () => ({ adapter: 'u.2' }),
      measurePower: () => ({ voltage: 12.0, current: 0.25, power: 3.0 }),
      changePower: () => null,
    });
    try {
      const adapter = (device, serial, tty, pty) => ({ device, serial, interfaces: [{ tty, bound: true, pty }] });
      const { status, output, result } = await runInNamespace(__filename,
        [adapter('1-1', 'RB0001', 'ttyUSB0', boxPty.path), adapter('1-2', 'PMU001', 'ttyUSB1', pmuPty.path)]);
      assert.equal(status, 0, output);
      const { pmuNoMonitor, ...rest } = result;
      assert.deepEqual(rest, Object.fromEntries(steps.filter((s) => s[2]).map(([key, , outcome]) => [key, outcome])));
      // Each model name chose its box's commands.
      assert.equal(boxPty.received, '\x02pmu(pwr,on)\x03\x02pmu(pwr,off)\x03\x02pwr,1\x03');
      // The board: identity at init, the 12 V supply switched, then one measurement per monitor line.
      assert.deepEqual(pmuPty.requests.slice(0, 5).map((q) => [q.method, q.params]), [['getVersion', null],
        ['getPmuInfo', null], ['getAdapterInfo', null], ['changePower', { powerSupply: '12V', state: 'OFF' }],
        ['changePower', { powerSupply: '12V', state: 'ON' }]]);
      const monitor = pmuNoMonitor.value;
      assert.equal(monitor[0], 'time,voltage,current,power');
      assert.match(monitor[1], /^\d+,12,0\.25,3$/);
      assert.ok(pmuPty.requests.slice(5).every((q) => q.method === 'measurePower'));
    } finally {
      boxPty.stop();
      pmuPty.stop();
      boxPty.close();
      pmuPty.close();
    }
  });
}
