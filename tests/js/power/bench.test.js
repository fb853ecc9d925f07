'use strict';
// The power controller methods against simulated bench hardware. A private mount namespace gets a fake sysfs USB
// tree with two FTDI adapters: "RB0001" (interface 0, /dev/ttyUSB0) leads to a relay power box and "PMU001"
// (interface 0, /dev/ttyUSB1) to a kytrix PMU board. Both ttys are pseudo-terminals whose master sides this process
// holds: it plays the box (recording the bytes) and the board (answering its JSON-RPC requests) while the script,
// this same file started with the argument "child", runs inside the namespace.
const fs = require('node:fs');
const { spawn, spawnSync } = require('node:child_process');
const { loadAddon, Pty, sleep } = require('../ports/support');

const setup = `
set -e
mount -t tmpfs tmpfs /sys/bus
mkdir -p /sys/bus/usb/drivers/ftdi_sio
: > /sys/bus/usb/drivers/ftdi_sio/bind
adapter() {  # device directory, serial number, tty
  D=/sys/bus/usb/devices/$1
  mkdir -p "$D/$1:1.0/$3"
  echo FTDI > "$D/manufacturer"; echo "$2" > "$D/serial"; echo 0403 > "$D/idVendor"; echo 6010 > "$D/idProduct"
  echo 00 > "$D/$1:1.0/bInterfaceNumber"
  ln -s ../../../../bus/usb/drivers/ftdi_sio "$D/$1:1.0/driver"
}
adapter 1-1 RB0001 ttyUSB0
adapter 1-2 PMU001 ttyUSB1
T=/sys/bus/.dev  # a mount point inside the private tmpfs: nothing is left behind on the host
mkdir "$T"
mount -t tmpfs tmpfs "$T"
mkdir "$T/pts"; mount --bind /dev/pts "$T/pts"
for n in null zero random urandom tty; do touch "$T/$n"; mount --bind "/dev/$n" "$T/$n"; done
ln -s pts/ptmx "$T/ptmx"; ln -s /proc/self/fd "$T/fd"
ln -s "$BOX_PATH" "$T/ttyUSB0"
ln -s "$PMU_PATH" "$T/ttyUSB1"
mount --move "$T" /dev
exec "$NODE" "$CHILD" child
`;

// ---------------------------------------------------------------------------------------------------------------
// The script, inside the namespace. Prints "RESULT <json>".
function child() {
  const addon = new (loadAddon())();
  const r = {};
  const attempt = (key, fn) => {
    try {
      r[key] = { value: fn() === undefined ? 'undefined' : 'defined' };
    } catch (e) {
      r[key] = { error: e instanceof TypeError ? e.message : `not a TypeError: ${e}` };
    }
  };
  const box = (model, baudRate = 9600) => ({ serial: 'RB0001', interfaceNumber: 0, baudRate, model });
  const pause = () => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 50);

  // Relay power box.
  attempt('refusedBaud', () => addon.powerControllerInit('dorvan', box('pmu', -1)));
  attempt('boxInit', () => addon.powerControllerInit('dorvan', box('pmu-norvik', 9600.7)));
  attempt('boxOn', () => addon.powerControllerPowerOn());
  pause();
  attempt('boxOff', () => addon.powerControllerPowerOff());
  pause();
  attempt('boxOnWithArgument', () => addon.powerControllerPowerOn(undefined));
  attempt('boxMonitor', () => addon.powerControllerEnablePowerMonitor('/tmp/kyt-power-bench-never.csv'));
  attempt('boxNoMonitor', () => addon.powerControllerDisablePowerMonitor());
  attempt('boxInitAgain', () => addon.powerControllerInit('dorvan', box('pmu-brask')));
  attempt('boxOnAgain', () => addon.powerControllerPowerOn());
  pause();
  attempt('boxUninit', () => addon.powerControllerUninit());
  attempt('boxPortAfterUninit', () => addon.serialportClose(0));
  attempt('onAfterUninit', () => addon.powerControllerPowerOn());
  attempt('otherModel', () => addon.powerControllerInit('dorvan', box('pmu-brask')));
  attempt('otherModelOn', () => addon.powerControllerPowerOn());
  pause();
  attempt('otherModelUninit', () => addon.powerControllerUninit());

  // PMU board.
  const pmu = { serial: 'PMU001', interfaceNumber: 0, baudRate: 115200, model: 'ignored' };
  attempt('pmuInit', () => addon.powerControllerInit('tyrvane', pmu));
  attempt('pmuOff', () => addon.powerControllerPowerOff());
  attempt('pmuOn', () => addon.powerControllerPowerOn());
  const log = `/tmp/kyt-power-bench-${process.pid}.csv`;
  attempt('pmuMonitor', () => addon.powerControllerEnablePowerMonitor(log));
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 300);
  attempt('pmuNoMonitor', () => addon.powerControllerDisablePowerMonitor());
  r.monitorLines = fs.readFileSync(log, 'latin1').split('\n').filter((l) => l !== '');
  fs.unlinkSync(log);
  attempt('pmuUninit', () => addon.powerControllerUninit());
  attempt('pmuAfterUninit', () => addon.powerControllerPowerOff());
  console.log(`RESULT ${JSON.stringify(r)}`);
}

// ---------------------------------------------------------------------------------------------------------------
// The simulated hardware, in this process.

// Collects the bytes the relay box receives.
function relayBox(pty) {
  const box = { bytes: '' };
  const buffer = Buffer.alloc(4096);
  box.timer = setInterval(() => {
    for (let n = 1; n > 0;) {
      try {
        n = fs.readSync(pty.fd, buffer, 0, buffer.length, null);
      } catch (e) {
        if (e.code !== 'EAGAIN' && e.code !== 'EIO') throw e;
        n = 0;
      }
      box.bytes += buffer.subarray(0, n).toString('latin1');
    }
  }, 2);
  return box;
}

// Answers newline-framed JSON-RPC requests like the board's firmware; notes the requests.
function pmuBoard(pty) {
  const board = { requests: [], supply: {} };
  let pending = '';
  const buffer = Buffer.alloc(4096);
  const results = {
    getVersion: () => ({ version: '2.0.1' }),
    getPmuInfo: () => ({ board: 'kytrix-pmu' }),
    getAdapterInfo: () => ({ adapter: 'u.2' }),
    measurePower: () => ({ voltage: 12.0, current: 0.25, power: 3.0 }),
    changePower: (params) => {
      board.supply[params.powerSupply] = params.state;
      return null;
    },
  };
  board.timer = setInterval(() => {
    for (let n = 1; n > 0;) {
      try {
        n = fs.readSync(pty.fd, buffer, 0, buffer.length, null);
      } catch (e) {
        if (e.code !== 'EAGAIN' && e.code !== 'EIO') throw e;
        n = 0;
      }
      pending += buffer.subarray(0, n).toString('latin1');
    }
    for (let end; (end = pending.indexOf('\n')) >= 0;) {
      const line = pending.slice(0, end).replace(/\r$/, '');
      pending = pending.slice(end + 1);
      if (line.trim() === '') continue;
      const request = JSON.parse(line);
      board.requests.push(request);
      const make = results[request.method];
      const reply = make ? { jsonrpc: '2.0', id: request.id, result: make(request.params) }
        : { jsonrpc: '2.0', id: request.id, error: { code: -32601, message: 'Method not found' } };
      fs.writeSync(pty.fd, `${JSON.stringify(reply)}\n`);
    }
  }, 2);
  return board;
}

if (process.argv[2] === 'child') {
  child();
} else {
  const test = require('node:test');
  const assert = require('node:assert/strict');

  test('the script switches a relay power box and a PMU board through the power controller', async (t) => {
    if (spawnSync('unshare', ['-m', 'sh', '-c', 'mount -t tmpfs tmpfs /sys/bus']).status !== 0) {
      t.skip('private mount namespaces (unshare -m, as root) are not available here');
      return;
    }
    const boxPty = new Pty();
    const pmuPty = new Pty();
    const box = relayBox(boxPty);
    const board = pmuBoard(pmuPty);
    try {
      const run = spawn('unshare', ['-m', 'sh', '-c', setup], {
        env: { ...process.env, BOX_PATH: boxPty.path, PMU_PATH: pmuPty.path, NODE: process.execPath, CHILD: __filename },
        stdio: ['ignore', 'pipe', 'pipe'],
      });
      let stdout = '';
      let stderr = '';
      run.stdout.on('data', (d) => { stdout += d; });
      run.stderr.on('data', (d) => { stderr += d; });
      const killer = setTimeout(() => run.kill('SIGKILL'), 30000);
      const status = await new Promise((resolve) => run.on('close', resolve));
      clearTimeout(killer);
      await sleep(20);
      assert.equal(status, 0, stderr + stdout);
      const lines = stdout.split('\n');
      const resultLine = lines.find((l) => l.startsWith('RESULT '));
      assert.ok(resultLine, stdout);
      const r = JSON.parse(resultLine.slice(7));
      const ok = { value: 'undefined' };
      const failed = (name, text) => ({ error: `powerController.${name} : ${text}` });

      // Relay box: -1 reaches the port as the int32 -1, 9600.7 as 9600.
      assert.deepEqual(r.refusedBaud, failed('init', 'Failed to set baud rate'));
      assert.ok(lines.includes('SerialPort: Unsupported baud rate -1'), stdout);
      assert.ok(lines.includes('SerialPort: Setting baud rate to 9600'), stdout);
      for (const key of ['boxInit', 'boxOn', 'boxOff', 'boxInitAgain', 'boxOnAgain', 'boxUninit', 'otherModel',
        'otherModelOn', 'otherModelUninit']) {
        assert.deepEqual(r[key], ok, key);
      }
      assert.deepEqual(r.boxOnWithArgument, failed('powerOn', 'Wrong number of arguments'));
      assert.deepEqual(r.boxMonitor, failed('enablePowerMonitor', 'enablePowerMonitor is not supported'));
      assert.deepEqual(r.boxNoMonitor, failed('disablePowerMonitor', 'disablePowerMonitor is not supported'));
      // uninit closed the box's port; afterwards the controller is not set up.
      assert.deepEqual(r.boxPortAfterUninit, { error: 'serialport.close : invalid device index' });
      assert.deepEqual(r.onAfterUninit, failed('powerOn', 'PowerController is not initialized yet'));
      // A second init kept the first model; after uninit the new model was used. Nothing else reached the box.
      assert.equal(box.bytes, '\x02pmu(pwr,on)\x03\x02pmu(pwr,off)\x03\x02pmu(pwr,on)\x03\x02pwr,1\x03');
      assert.ok(lines.includes('DorvanController: powerOn using \x02pmu(pwr,on)\x03'), stdout);

      // PMU board: identity at init, the 12 V supply switched, the monitor log, then closed.
      for (const key of ['pmuInit', 'pmuOff', 'pmuOn', 'pmuMonitor', 'pmuNoMonitor', 'pmuUninit']) {
        assert.deepEqual(r[key], ok, key);
      }
      assert.deepEqual(r.pmuAfterUninit, failed('powerOff', 'PowerController is not initialized yet'));
      const methods = board.requests.map((q) => q.method);
      assert.deepEqual(methods.slice(0, 5), ['getVersion', 'getPmuInfo', 'getAdapterInfo', 'changePower', 'changePower']);
      assert.deepEqual(board.requests[3].params, { powerSupply: '12V', state: 'OFF' });
      assert.deepEqual(board.requests[4].params, { powerSupply: '12V', state: 'ON' });
      assert.deepEqual(board.supply, { '12V': 'ON' });
      assert.ok(lines.includes('KytController: Version: 2.0.1'), stdout);
      // One measurement every 50 ms (the script cannot choose the interval) for about 300 ms.
      assert.equal(r.monitorLines[0], 'time,voltage,current,power');
      assert.ok(r.monitorLines.length >= 2 && r.monitorLines.length <= 10, r.monitorLines.join('|'));
      for (const line of r.monitorLines.slice(1)) assert.equal(line.split(',').length, 4, line);
      assert.ok(methods.slice(5).every((m) => m === 'measurePower'), methods.join(','));
    } finally {
      clearInterval(box.timer);
      clearInterval(board.timer);
      boxPty.close();
      pmuPty.close();
    }
  });
}
