'use strict';
// The kytrix PMU methods against a simulated board. A private mount namespace gets a fake
// /sys/bus USB tree (one FTDI board "PMU0001", interface 0 with the serial driver bound) and
// a /dev whose ttyUSB0 leads to a pseudo-terminal; this process answers the board's JSON-RPC
// on the master side while the same file, started with the argument "child", runs the
// script inside the namespace.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const { loadAddon, Pty, thrownMessage } = require('../ports/support');

const setup = `
set -e
mount -t tmpfs tmpfs /sys/bus
D=/sys/bus/usb/devices/1-1
mkdir -p /sys/bus/usb/drivers/ftdi_sio "$D/1-1:1.0/ttyUSB0" "$D/1-1:1.1"
: > /sys/bus/usb/drivers/ftdi_sio/bind
echo FTDI > "$D/manufacturer"; echo PMU0001 > "$D/serial"; echo 0403 > "$D/idVendor"; echo 6010 > "$D/idProduct"
echo 00 > "$D/1-1:1.0/bInterfaceNumber"; echo 01 > "$D/1-1:1.1/bInterfaceNumber"
ln -s ../../../../bus/usb/drivers/ftdi_sio "$D/1-1:1.0/driver"
T=/sys/bus/.dev
mkdir "$T"
mount -t tmpfs tmpfs "$T"
mkdir "$T/pts"; mount --bind /dev/pts "$T/pts"
for n in null zero random urandom tty; do touch "$T/$n"; mount --bind "/dev/$n" "$T/$n"; done
ln -s pts/ptmx "$T/ptmx"; ln -s /proc/self/fd "$T/fd"
ln -s "$PTY_PATH" "$T/ttyUSB0"
mount --move "$T" /dev
exec "$NODE" "$CHILD" child
`;

// Inside the namespace: prints "RESULT <json>".
function child() {
  const addon = new (loadAddon())();
  const S = 'PMU0001';
  const r = {};
  const attempt = (fn) => {
    try {
      return { value: fn() };
    } catch (e) {
      return { error: e instanceof TypeError ? e.message : `not a TypeError: ${e}` };
    }
  };
  r.before = thrownMessage(() => addon.kytrixPmuGetVersion(S));
  r.id = addon.kytrixPmuOpenController(S, false);
  r.again = addon.kytrixPmuOpenController(S, true);
  r.version = addon.kytrixPmuGetVersion(S);
  r.power = addon.kytrixPmuMeasurePower(S);
  r.info = addon.kytrixPmuGetPmuInfo(S);
  r.adapter = attempt(() => addon.kytrixPmuGetAdapterInfo(S));
  r.debug = attempt(() => addon.kytrixPmuGetDebugBoardInfo(S));
  r.fanOutside = [300, 101, -1].map((speed) => thrownMessage(() => addon.kytrixPmuSetFanSpeed(S, speed)));
  r.fan77 = addon.kytrixPmuSetFanSpeed(S, 77);
  r.fan = addon.kytrixPmuGetFanSpeed(S);
  r.changeTwo = thrownMessage(() => addon.kytrixPmuChangePower(S, '12V'));
  r.change = addon.kytrixPmuChangePower(S, '12V', 'ON');
  r.smbusOutside = [[0x1A2, 1, 1], [0x22, 256, 1], [0x22, 1, 256]].map(([address, command, length]) =>
    thrownMessage(() => addon.kytrixPmuSendSmbusBlockWrite(S, address, command, Buffer.alloc(length))));
  r.smbus = addon.kytrixPmuSendSmbusBlockWrite(S, 0x22, 0x01, Buffer.from([0xAA, 0x55]));
  r.received = addon.kytrixPmuGetReceivedSmbusBlockWrite(S);
  r.updateOpen = thrownMessage(() => addon.kytrixPmuUpdateFirmware(S, Buffer.from([1, 2, 3])));
  r.close = addon.kytrixPmuCloseController(S);
  r.closeAgain = thrownMessage(() => addon.kytrixPmuCloseController(S));
  r.updateEmpty = thrownMessage(() => addon.kytrixPmuUpdateFirmware(S, Buffer.alloc(0)));
  r.after = thrownMessage(() => addon.kytrixPmuMeasurePower(S));
  // Left open: the addon's teardown must close it before the poll thread stops.
  r.reopened = addon.kytrixPmuOpenController(S, true);
  console.log(`RESULT ${JSON.stringify(r)}`);
}

// The board's firmware: one JSON-RPC response line per request line.
function serveBoard(pty, requests) {
  let pending = '';
  let fan = 30;
  let lastSmbus = null;
  const buffer = Buffer.alloc(4096);
  return setInterval(() => {
    for (let n = 1; n > 0;) {
      try {
        n = fs.readSync(pty.fd, buffer, 0, buffer.length, null);
      } catch (e) {
        if (e.code !== 'EAGAIN' && e.code !== 'EIO') throw e;
        n = 0;
      }
      pending += buffer.subarray(0, n).toString('utf8');
    }
    for (let end; (end = pending.indexOf('\n')) >= 0;) {
      const request = JSON.parse(pending.slice(0, end));
      pending = pending.slice(end + 1);
      requests.push(request);
      const reply = { id: request.id, result: null };
      switch (request.method) {
        case 'getVersion': reply.result = { version: '2.0.1' }; break;
        case 'getPmuInfo': reply.result = { board: 'kytrix', rev: 3 }; break;
        case 'getAdapterInfo': reply.result = { adapter: 'E1.S', present: true }; break;
        case 'measurePower': reply.result = { voltage: 12.1, current: 0.5, power: 6.05 }; break;
        case 'getFanSpeed': reply.result = fan; break;
        case 'setFanSpeed': fan = request.params.speed; break;
        case 'sendSmbusBlockWrite': lastSmbus = request.params; break;
        case 'getReceivedSmbusBlockWrite': reply.result = lastSmbus; break;
        case 'changePower': break;
        default:
          delete reply.result;
          reply.error = { code: -32601, message: 'Method not found' };
      }
      pty.send(`${JSON.stringify(reply)}\n`);
    }
  }, 2);
}

if (process.argv[2] === 'child') {
  child();
} else {
  const test = require('node:test');
  const assert = require('node:assert/strict');

  test('a script drives a PMU board through its controller', async (t) => {
    if (spawnSync('unshare', ['-m', 'sh', '-c', 'mount -t tmpfs tmpfs /sys/bus']).status !== 0) {
      t.skip('private mount namespaces (unshare -m, as root) are not available here');
      return;
    }
    const pty = new Pty();
    const requests = [];
    const timer = serveBoard(pty, requests);
    try {
      const run = spawn('unshare', ['-m', 'sh', '-c', setup], {
        env: { ...process.env, PTY_PATH: pty.path, NODE: process.execPath, CHILD: __filename },
        stdio: ['ignore', 'pipe', 'pipe', pty.fd],
      });
      let stdout = '';
      let stderr = '';
      run.stdout.on('data', (d) => { stdout += d; if (process.env.PMU_DEBUG) process.stderr.write(d); });
      run.stderr.on('data', (d) => { stderr += d; });
      const status = await new Promise((resolve) => run.on('close', resolve));
      assert.equal(status, 0, stderr + stdout);
      const lines = stdout.split('\n');
      const resultLine = lines.find((l) => l.startsWith('RESULT '));
      assert.ok(resultLine, stdout);
      const r = JSON.parse(resultLine.slice(7));

      assert.equal(r.before, 'kytrixPmu.getVersion : PPC is not initialized');
      assert.equal(r.id, 0);
      assert.equal(r.again, 0);
      assert.equal(r.version, '2.0.1');
      assert.deepEqual(r.power, { current: 0.5, power: 6.05, voltage: 12.1 });
      assert.deepEqual(r.info, { board: 'kytrix', rev: 3 });
      assert.deepEqual(r.adapter, { value: { adapter: 'E1.S', present: true } });
      assert.deepEqual(r.debug, { error: 'kytrixPmu.getDebugBoard : getDebugBoardInfo is not supported by kytrix PMU' });
      assert.deepEqual(r.fanOutside, [300, 101, -1].map(() => 'kytrixPmu.setFanSpeed : argument "speed" must be from 0 to 100'));
      assert.equal(r.fan77, undefined);
      assert.equal(r.fan, 77);
      assert.equal(r.changeTwo, 'kytrixPmu.changePower : Wrong number of arguments');
      assert.equal(r.change, undefined);
      assert.deepEqual(r.smbusOutside, ['address" must be from 0 to 127', 'command" must be from 0 to 255',
        'payload" must hold at most 255 bytes'].map((text) => `kytrixPmu.sendSmbusBlockWrite : argument "${text}`));
      assert.deepEqual(r.received, { address: 0x22, command: 1, payload: [0xAA, 0x55], pec: 0x56 });
      assert.equal(r.updateOpen, 'kytrixPmu.UpdateFirmware : PPC must be uninitialized before updating the firmware');
      assert.equal(r.close, undefined);
      assert.equal(r.closeAgain, 'kytrixPmu.closeController : PPC is not initialized');
      assert.equal(r.updateEmpty, 'kytrixPmu.UpdateFirmware : The firmware image is empty');
      assert.equal(r.after, 'kytrixPmu.measurePower : PPC is not initialized');
      assert.equal(r.reopened, 0);
      const stopping = lines.indexOf('PollableManager: Stopping');
      const lastClose = lines.lastIndexOf('SerialPort: Closing Device');
      assert.ok(stopping > lines.indexOf(resultLine) && lastClose > lines.indexOf(resultLine) && lastClose < stopping,
        'the controller left open is closed before the poll thread stops');

      // The board saw: init's three queries once (the bypassed reopen sent nothing), then the calls.
      const methods = requests.map((q) => q.method);
      assert.deepEqual(methods.slice(0, 4), ['getVersion', 'getPmuInfo', 'getAdapterInfo', 'getVersion']);
      assert.deepEqual(requests.map((q) => q.id), methods.map((_, i) => i));
      assert.deepEqual(requests.filter((q) => q.method === 'setFanSpeed').map((q) => q.params), [{ speed: 77 }]);
      assert.deepEqual(requests.find((q) => q.method === 'changePower').params, { powerSupply: '12V', state: 'ON' });
      for (const line of ['KytController: Version: 2.0.1', 'KytController: PMU Info: {"board":"kytrix","rev":3}',
        'KytConrollerManager: returning the existing controller ID', 'KytController: measurePower()',
        'KytController: changePower(12V, ON)', 'Address: 0x22', 'Payload: [0xaa,0x55]', 'KytConrollerManager: Closed KYT Controller, ID: 0']) {
        assert.ok(lines.includes(line), line);
      }
    } finally {
      clearInterval(timer);
      pty.close();
    }
  });
}
