'use strict';
// The ftdi* methods over the libftdi1/libusb stand-in, which this file preloads into its own
// Node process (it runs itself again with the stand-in when started without it).
const { rerunWithFakeFtdi } = require('./support');

rerunWithFakeFtdi(__filename);

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { loadAddon, loadFake, port, thrownMessage, sleep } = require('./support');

const KytAddon = loadAddon();
const fake = loadFake();

// A fresh stand-in bus (an FT2232, an FT232R whose strings cannot be read, an FT232H and a
// foreign device) and a fresh object.
function bench() {
  fake.reset();
  fake.addDevice(0x403, 0x6010, 'FTDI', 'Dual RS232-HS', 'FT4A');
  fake.addDevice(0x403, 0x6001, 'FTDI', 'FT232R USB UART', 'FT1B', -9);
  fake.addDevice(0x403, 0x6014, 'Kytrix', 'PMU', 'PMU7');
  fake.addDevice(0x1234, 0x5678, 'Other', 'Odd', 'ODD1');
  return new KytAddon(true);
}

test('ftdiGetDeviceList lists the matching devices in order, skipping unreadable ones', () => {
  const addon = bench();
  const list = addon.ftdiGetDeviceList(0, 0);
  assert.deepEqual(list, [
    { description: 'Dual RS232-HS', serial: 'FT4A', vendor: 'FTDI', vendorId: 0x403, productId: 0x6010 },
    { description: 'PMU', serial: 'PMU7', vendor: 'Kytrix', vendorId: 0x403, productId: 0x6014 },
  ]);
  assert.deepEqual(Object.keys(list[0]), ['description', 'serial', 'vendor', 'vendorId', 'productId']);
  assert.deepEqual(addon.ftdiGetDeviceList(0x1234, 0x5678).map((d) => d.serial), ['ODD1']);
  fake.setResult('find_all', -3);
  assert.deepEqual(addon.ftdiGetDeviceList(0, 0), []);
});

test('ftdiOpen numbers devices and refuses with libftdi1 texts', () => {
  const addon = bench();
  const open = (iface, description = '', serial = '') => addon.ftdiOpen(0x403, 0x6010, iface, description, serial, 10);
  const refusal = (...args) => thrownMessage(() => open(...args));
  assert.equal(open(1), 0);
  assert.equal(open(2, 'Dual RS232-HS', 'FT4A'), 1);
  assert.ok(fake.calls().includes('set_interface 2'));
  assert.ok(fake.calls().includes('open 1027 24592 Dual RS232-HS FT4A 0'));
  assert.equal(refusal(1, 'nope'), 'ftdi.open : usb device not found');
  fake.setResult('open', -5);
  assert.equal(refusal(1), 'ftdi.open : unable to claim device');
  fake.setResult('open');
  assert.equal(refusal(7), 'ftdi.open : invalid interface 7');
  fake.setResult('new', 1);  // libftdi1 cannot make a context
  assert.equal(refusal(1), 'ftdi.open : ftdi context invalid');
  assert.equal(thrownMessage(() => addon.ftdiGetDeviceList(0, 0)), 'ftdi.getDeviceList : ftdi context invalid');
  fake.setResult('new');
  addon.ftdiClose(0);
  assert.equal(open(1), 0, 'failed opens took no index; closed ones are taken again');
});

test('baud rate, parity and bit mode answer as the script expects', () => {
  const addon = bench();
  const idx = addon.ftdiOpen(0x403, 0x6010, 1, '', '', 10);
  assert.equal(addon.ftdiSetBaudRate(idx, 115200), true);
  fake.setResult('set_baudrate', -3);
  assert.equal(addon.ftdiSetBaudRate(idx, 1), false);
  assert.equal(addon.ftdiGetErrorCode(idx), -3);
  assert.equal(addon.ftdiSetParity(idx, 'odd'), undefined);
  fake.setResult('set_line_property', -1);
  assert.equal(thrownMessage(() => addon.ftdiSetParity(idx, 'none')), 'ftdi.setParity : Failed to set parity');
  assert.equal(addon.ftdiSetBitmode(idx, 511, 2), true);
  fake.setResult('set_bitmode', -4);
  assert.equal(addon.ftdiSetBitmode(idx, 1, 2), false);
  const sent = fake.calls();
  for (const call of ['set_baudrate 115200', 'set_line_property 8 0 1', 'set_bitmode 255 2']) {
    assert.ok(sent.includes(call), call);  // the bitmask keeps its low 8 bits
  }
  addon.ftdiClose(idx);
});

test('read, write, pipe and flush through the chip', async () => {
  const addon = bench();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kyt-ftdi-'));
  const idx = addon.ftdiOpen(0x403, 0x6010, 1, '', '', 1);
  const { read, write, readAtLeast } = port(addon, 'ftdi', idx);
  try {
    const log = path.join(dir, 'ftdi.log');
    assert.equal(addon.ftdiPipe(idx, log, false, false), true);
    fake.pushRead('status: ok\r\n');
    assert.equal(await readAtLeast(11), 'status: ok\n');
    addon.ftdiPipeText(idx, '\nscript');
    addon.ftdiUnpipe(idx);
    assert.equal(fs.readFileSync(log, 'latin1'), '\n\nstatus: ok\n\nscript');

    // The bytes are taken when the call is made: changing the Buffer afterwards changes nothing.
    const payload = Buffer.from([0x00, 0x0d, 0x0a, 0xff]);
    const pending = write(payload);
    payload.fill(0x78);
    assert.deepEqual(await pending, [null, 4]);
    assert.deepEqual(fake.takeWritten(), Buffer.from([0x00, 0x0d, 0x0a, 0xff]));
    fake.setResult('write', -666);
    assert.deepEqual(await write(Buffer.from('x')), [-666, null]);
    assert.equal(addon.ftdiGetErrorCode(idx), -666);

    addon.ftdiUseBinaryMode(idx);
    fake.pushRead(Buffer.from([0x0d, 0x0a, 0x00]));
    assert.equal(await readAtLeast(3), '\r\n\0');
    addon.ftdiFlushBuffer(idx, 8);
    assert.deepEqual(await read(0, true), [null, 'ok\n\r\n\0']);

    // A failing chip read delivers nothing and does not stop the poll thread.
    fake.setResult('read', -7);
    fake.pushRead('kept');
    await sleep(30);
    assert.deepEqual(await read(), [null, '']);
    fake.setResult('read');
    assert.equal(await readAtLeast(4), 'kept');
  } finally {
    addon.ftdiClose(idx);
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
