'use strict';
// serialportOpen by USB serial number with the system's fixed paths: a private mount namespace gets a fake /sys/bus
// USB tree (one FTDI adapter, interface 0 without a driver) and a /dev whose ttyUSB0 leads to a pseudo-terminal that
// this test holds. The same file, started with the argument "child", is the script that runs inside the namespace.
const fs = require('node:fs');
const { loadAddon, Pty, port, thrownMessage, namespacesAvailable, runInNamespace } = require('./support');

// Inside the namespace, with the terminal's master side as descriptor 3: prints "RESULT <json>".
async function child() {
  const addon = new (loadAddon())(true);
  const master = new Pty(3);
  const result = { listBefore: addon.serialportGetDeviceList(), idx: addon.serialportOpen('', 'KYT0001', 0) };
  result.again = addon.serialportOpen('/dev/ttyUSB0', '', 0);
  result.bind = fs.readFileSync('/sys/bus/usb/drivers/ftdi_sio/bind', 'latin1');
  result.missing = thrownMessage(() => addon.serialportOpen('', 'KYT0001', 5));
  addon.serialportSetBaudRate(result.idx, 57600);  // nothing is delivered before
  result.written = await port(addon, 'serialport', result.idx).write(Buffer.from('ping'));
  result.fromPort = await master.receive(4);
  console.log(`RESULT ${JSON.stringify(result)}`);
}

if (process.argv[2] === 'child') {
  child();
} else {
  const test = require('node:test');
  const assert = require('node:assert/strict');

  test('a port opened by USB serial number binds the driver and uses the tty that appears', async (t) => {
    if (!namespacesAvailable()) return t.skip('private mount namespaces (unshare -m, as root) are not available here');
    const pty = new Pty();
    try {
      const { status, output, result } = await runInNamespace(__filename, [{ device: '1-1', serial: 'KYT0001',
        interfaces: [{ tty: 'ttyUSB0', description: 'Dual RS232-HS', pty: pty.path }, { tty: 'ttyUSB1', bound: true }],
      }], [pty.fd]);
      assert.equal(status, 0, output);
      // Only the interface with a driver is listed. Interface 0 had none: it was bound and its tty
      // opened; the same tty by path gives the same index, and the port's bytes reach that terminal.
      assert.deepEqual(result, {
        listBefore: [{ devicePath: '/dev/ttyUSB1', serial: 'KYT0001', interfaceNumber: 1 }],
        idx: 0,
        again: 0,
        bind: '1-1:1.0',
        missing: 'serialport.open : Device not found for serial KYT0001',
        written: [null, 4],
        fromPort: 'ping',
      });
    } finally {
      pty.close();
    }
  });
}
