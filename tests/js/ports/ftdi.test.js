'use strict';
// The ftdi* methods over the libftdi1/libusb stand-in, which this file preloads into its own
// Node process (it runs itself again with the stand-in when started without it).
const { rerunWithFakeFtdi } = require('./support');

rerunWithFakeFtdi(__filename);

const test = require('node:test');
const assert = require('node:assert/strict');
const { loadAddon, loadFake, port, thrownMessage } = require('./support');

const KytAddon = loadAddon();
const fake = loadFake();

// A fresh stand-in bus (an FT2232, an FT232R whose strings cannot be read, and a foreign device) and a fresh object.
// Every test closes what it opened: an open port of an earlier object would take the bytes pushed for a later one.
function bench() {
  fake.reset();
  fake.addDevice(0x403, 0x6010, 'FTDI', 'Dual RS232-HS', 'FT4A');
  fake.addDevice(0x403, 0x6001, 'FTDI', 'FT232R USB UART', 'FT1B', -9);
  fake.addDevice(0x1234, 0x5678, 'Other', 'Odd', 'ODD1');
  return new KytAddon(true);
}

test('listing and opening: matching readable devices in order, indexes numbered, libftdi1 refusals as texts', () => {
  const addon = bench();
  assert.deepEqual(addon.ftdiGetDeviceList(0, 0),
    [{ description: 'Dual RS232-HS', serial: 'FT4A', vendor: 'FTDI', vendorId: 0x403, productId: 0x6010 }]);
  assert.deepEqual(addon.ftdiGetDeviceList(0x1234, 0x5678).map((d) => d.serial), ['ODD1']);
  const open = (iface, description = '', serial = '') => addon.ftdiOpen(0x403, 0x6010, iface, description, serial, 10);
  assert.equal(open(1), 0);
  assert.equal(open(2, 'Dual RS232-HS', 'FT4A'), 1);
  assert.ok(fake.calls().includes('open 1027 24592 Dual RS232-HS FT4A 0'));
  assert.equal(thrownMessage(() => open(1, 'nope')), 'ftdi.open : usb device not found');
  fake.setResult('new', 1);  // libftdi1 cannot make a context
  assert.equal(thrownMessage(() => addon.ftdiGetDeviceList(0, 0)), 'ftdi.getDeviceList : ftdi context invalid');
  addon.ftdiClose(0);
  addon.ftdiClose(1);
});

test('parity and bit mode (the ftdi-only calls) answer as the script expects', () => {
  const addon = bench();
  const idx = addon.ftdiOpen(0x403, 0x6010, 1, '', '', 10);
  assert.equal(addon.ftdiSetParity(idx, 'odd'), undefined);
  assert.equal(addon.ftdiSetBitmode(idx, 511, 2), true);
  for (const call of ['set_line_property 8 0 1', 'set_bitmode 255 2']) {
    assert.ok(fake.calls().includes(call), call);  // the bitmask keeps its low 8 bits
  }
  fake.setResult('set_line_property', -1);
  fake.setResult('set_bitmode', -4);
  assert.equal(thrownMessage(() => addon.ftdiSetParity(idx, 'none')), 'ftdi.setParity : Failed to set parity');
  assert.equal(addon.ftdiSetBitmode(idx, 1, 2), false);
  addon.ftdiClose(idx);
});

test('write and read through the chip; a closed index is free again', async () => {
  const addon = bench();
  const idx = addon.ftdiOpen(0x403, 0x6010, 1, '', '', 1);
  const { write, readAtLeast } = port(addon, 'ftdi', idx);
  try {
    fake.pushRead('status: ok\r\n');
    assert.equal(await readAtLeast(11), 'status: ok\n');
    // The bytes are taken when the call is made: changing the Buffer afterwards changes nothing.
    const payload = Buffer.from([0x00, 0x0d, 0x0a, 0xff]);
    const pending = write(payload);
    payload.fill(0x78);
    assert.deepEqual(await pending, [null, 4]);
    assert.deepEqual(fake.takeWritten(), Buffer.from([0x00, 0x0d, 0x0a, 0xff]));
    fake.setResult('write', -666);
    assert.deepEqual(await write(Buffer.from('x')), [-666, null]);
    assert.equal(addon.ftdiGetErrorCode(idx), -666);
  } finally {
    addon.ftdiClose(idx);
  }
  assert.equal(addon.ftdiOpen(0x403, 0x6010, 1, '', '', 1), idx);
  addon.ftdiClose(idx);
});
