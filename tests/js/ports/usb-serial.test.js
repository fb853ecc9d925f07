'use strict';
// serialportOpen by USB serial number with the system's fixed paths: a private mount
// namespace gets a fake /sys/bus USB tree (one FTDI adapter, interface 0 without a driver)
// and a /dev whose ttyUSB0 leads to a pseudo-terminal that this test holds. The same file,
// started with the argument "child", is the script that runs inside the namespace.
const fs = require('node:fs');
const { spawnSync } = require('node:child_process');
const { loadAddon, Pty, port } = require('./support');

const setup = `
set -e
mount -t tmpfs tmpfs /sys/bus
D=/sys/bus/usb/devices/1-1
mkdir -p /sys/bus/usb/drivers/ftdi_sio "$D/1-1:1.0/ttyUSB0" "$D/1-1:1.1/ttyUSB1" /sys/bus/usb/devices/usb1
: > /sys/bus/usb/drivers/ftdi_sio/bind
echo FTDI > "$D/manufacturer"; echo KYT0001 > "$D/serial"; echo 0403 > "$D/idVendor"; echo 6010 > "$D/idProduct"
echo 00 > "$D/1-1:1.0/bInterfaceNumber"; echo 01 > "$D/1-1:1.1/bInterfaceNumber"
echo "Dual RS232-HS" > "$D/1-1:1.0/interface"
ln -s ../../../../bus/usb/drivers/ftdi_sio "$D/1-1:1.1/driver"
echo "Linux Foundation" > /sys/bus/usb/devices/usb1/manufacturer
T=/sys/bus/.dev  # a mount point inside the private tmpfs: nothing is left behind on the host
mkdir "$T"
mount -t tmpfs tmpfs "$T"
mkdir "$T/pts"; mount --bind /dev/pts "$T/pts"
for n in null zero random urandom tty; do touch "$T/$n"; mount --bind "/dev/$n" "$T/$n"; done
ln -s pts/ptmx "$T/ptmx"; ln -s /proc/self/fd "$T/fd"
ln -s "$PTY_PATH" "$T/ttyUSB0"
mount --move "$T" /dev
exec "$NODE" "$CHILD" child
`;

// Inside the namespace, with the terminal's master side as descriptor 3: prints "RESULT <json>".
async function child() {
  const addon = new (loadAddon())();
  const master = new Pty(3);
  const result = { listBefore: addon.serialportGetDeviceList(), idx: addon.serialportOpen('', 'KYT0001', 0) };
  result.again = addon.serialportOpen('/dev/ttyUSB0', '', 0);
  result.bind = fs.readFileSync('/sys/bus/usb/drivers/ftdi_sio/bind', 'latin1');
  try {
    addon.serialportOpen('', 'KYT0001', 5);
  } catch (e) {
    result.missing = e.message;
  }
  result.baud = addon.serialportSetBaudRate(result.idx, 57600);
  const { write, readAtLeast } = port(addon, 'serialport', result.idx);
  result.written = await write(Buffer.from('ping'));
  result.fromPort = await master.receive(4);
  master.send('pong\r\n');
  result.toPort = await readAtLeast(5);
  addon.serialportClose(result.idx);
  console.log(`RESULT ${JSON.stringify(result)}`);
}

if (process.argv[2] === 'child') {
  child();
} else {
  const test = require('node:test');
  const assert = require('node:assert/strict');

  test('a port opened by USB serial number binds the driver and uses the tty that appears', (t) => {
    if (spawnSync('unshare', ['-m', 'sh', '-c', 'mount -t tmpfs tmpfs /sys/bus']).status !== 0) {
      t.skip('private mount namespaces (unshare -m, as root) are not available here');
      return;
    }
    const pty = new Pty();
    try {
      const run = spawnSync('unshare', ['-m', 'sh', '-c', setup], {
        encoding: 'utf8',
        env: { ...process.env, PTY_PATH: pty.path, NODE: process.execPath, CHILD: __filename },
        stdio: ['ignore', 'pipe', 'pipe', pty.fd],
        timeout: 30000,
      });
      assert.equal(run.status, 0, run.stderr);
      const lines = run.stdout.split('\n');
      const resultLine = lines.find((l) => l.startsWith('RESULT '));
      assert.ok(resultLine, run.stdout);
      const result = JSON.parse(resultLine.slice(7));

      for (const line of ['SerialPort: Driver not found. Loading Driver', 'USB: Loading driver for 1-1:1.0 (KYT0001, 0)',
        'USB: Found TTY /dev/ttyUSB0', 'SerialPort: Serial port at /dev/ttyUSB0 is already open']) {
        assert.ok(lines.includes(line), line);
      }
      // Only the interface with a driver is listed. Interface 0 had none: it was bound and its tty
      // opened; the same tty by path gives the same index, and the port carries bytes both ways.
      assert.deepEqual(result, {
        listBefore: [{ devicePath: '/dev/ttyUSB1', serial: 'KYT0001', interfaceNumber: 1 }],
        idx: 0,
        again: 0,
        bind: '1-1:1.0',
        missing: 'serialport.open : Device not found for serial KYT0001',
        baud: true,
        written: [null, 4],
        fromPort: 'ping',
        toPort: 'pong\n',
      });
    } finally {
      pty.close();
    }
  });
}
