'use strict';
// serialportOpen by USB serial number with the system's fixed paths: a private mount
// namespace gets a fake /sys/bus USB tree (one FTDI adapter, interface 0 without a driver)
// and a /dev whose ttyUSB0 leads to a pseudo-terminal that this test holds.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { addonPath, Pty } = require('./support');

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
exec "$NODE" "$CHILD" "$ADDON"
`;

function namespacesWork() {
  const probe = spawnSync('unshare', ['-m', 'sh', '-c', 'mount -t tmpfs tmpfs /sys/bus'], { encoding: 'utf8' });
  return probe.status === 0;
}

test('a port opened by USB serial number binds the driver and uses the tty that appears', (t) => {
  if (!namespacesWork()) {
    t.skip('private mount namespaces (unshare -m, as root) are not available here');
    return;
  }
  const pty = new Pty();
  try {
    const child = spawnSync('unshare', ['-m', 'sh', '-c', setup], {
      encoding: 'utf8',
      env: { ...process.env, PTY_PATH: pty.path, NODE: process.execPath,
             CHILD: path.join(__dirname, 'usb_serial_child.js'), ADDON: addonPath },
      stdio: ['ignore', 'pipe', 'pipe', pty.fd],
      timeout: 30000,
    });
    assert.equal(child.status, 0, child.stderr);
    const lines = child.stdout.split('\n');
    const resultLine = lines.find((l) => l.startsWith('RESULT '));
    assert.ok(resultLine, child.stdout);
    const result = JSON.parse(resultLine.slice(7));

    // Discovery saw the adapter and dropped the hub.
    assert.ok(lines.includes('USB: Found USB device 1-1'));
    assert.ok(lines.includes('USB: Found USB device usb1'));
    assert.ok(lines.includes('USB: Interface Path: 1-1:1.0'));
    assert.ok(!lines.includes('USB: Interface Path: usb1:1.0'));
    // Only the interface with a driver is listed.
    assert.deepEqual(result.listBefore, [{ devicePath: '/dev/ttyUSB1', serial: 'KYT0001', interfaceNumber: 1 }]);
    // Interface 0 had no driver: it was bound, and its tty opened.
    assert.ok(lines.includes('SerialPort: Driver not found. Loading Driver'));
    assert.ok(lines.includes('USB: Loading driver for 1-1:1.0 (KYT0001, 0)'));
    assert.ok(lines.includes('USB: Found TTY /dev/ttyUSB0'));
    assert.ok(lines.includes('SerialPort: Opening device at /dev/ttyUSB0'));
    assert.equal(result.bind, '1-1:1.0');
    assert.equal(result.idx, 0);
    assert.equal(result.again, 0, 'the same tty by path gives the same index');
    assert.ok(lines.includes('SerialPort: Serial port at /dev/ttyUSB0 is already open'));
    assert.equal(result.missing, 'serialport.open : Device not found for serial KYT0001');
    // And the port carries bytes both ways.
    assert.equal(result.baud, true);
    assert.deepEqual(result.written, [null, 4]);
    assert.equal(result.fromPort, 'ping');
    assert.equal(result.toPort, 'pong\n');
  } finally {
    pty.close();
  }
});
