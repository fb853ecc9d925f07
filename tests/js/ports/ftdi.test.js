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
const { loadAddon, loadFake, readPort, readAtLeast, writePort, thrownMessage, sleep } = require('./support');

const KytAddon = loadAddon();
const fake = loadFake();

function bench() {
  fake.reset();
  fake.addDevice({ product: 0x6010, manufacturer: 'FTDI', description: 'Dual RS232-HS', serial: 'FT4A' });
  fake.addDevice({ product: 0x6001, manufacturer: 'FTDI', description: 'FT232R USB UART', serial: 'FT1B',
    stringsResult: -9 });
  fake.addDevice({ product: 0x6014, manufacturer: 'Kytrix', description: 'PMU', serial: 'PMU7' });
  fake.addDevice({ vendor: 0x1234, product: 0x5678, manufacturer: 'Other', description: 'Odd', serial: 'ODD1' });
}

test('the stand-in is in place', () => {
  assert.equal(fake.preloaded(), true);
});

test('ftdiGetDeviceList lists the matching devices in order, skipping unreadable ones', () => {
  bench();
  const addon = new KytAddon(true);
  const list = addon.ftdiGetDeviceList(0, 0);
  assert.deepEqual(list, [
    { description: 'Dual RS232-HS', serial: 'FT4A', vendor: 'FTDI', vendorId: 0x403, productId: 0x6010 },
    { description: 'PMU', serial: 'PMU7', vendor: 'Kytrix', vendorId: 0x403, productId: 0x6014 },
  ]);
  assert.deepEqual(Object.keys(list[0]), ['description', 'serial', 'vendor', 'vendorId', 'productId']);
  assert.deepEqual(addon.ftdiGetDeviceList(0x1234, 0x5678).map((d) => d.serial), ['ODD1']);
  assert.deepEqual(addon.ftdiGetDeviceList(0x403, 0x6015), []);
  fake.setResult('find_all', -3);
  assert.deepEqual(addon.ftdiGetDeviceList(0, 0), []);
  assert.equal(fake.liveContexts(), 0, 'every listing frees its own context');
});

test('ftdiOpen numbers devices lowest free first and refuses with libftdi1 texts', () => {
  bench();
  const addon = new KytAddon(true);
  assert.equal(addon.ftdiOpen(0x403, 0x6010, 1, '', '', 10), 0);
  assert.equal(addon.ftdiOpen(0x403, 0x6010, 2, 'Dual RS232-HS', 'FT4A', 10), 1);
  assert.ok(fake.calls().includes('set_interface 2'));
  assert.ok(fake.calls().includes('open 1027 24592 Dual RS232-HS FT4A 0'));
  addon.ftdiClose(0);
  assert.equal(addon.ftdiOpen(0x403, 0x6014, 0, '', '', 10), 0);
  assert.equal(addon.ftdiOpen(0x403, 0x6014, 0, '', '', 10), 2);
  assert.equal(thrownMessage(() => addon.ftdiOpen(0x403, 0x6015, 1, '', '', 10)), 'ftdi.open : usb device not found');
  assert.equal(thrownMessage(() => addon.ftdiOpen(0x403, 0x6010, 1, 'nope', '', 10)), 'ftdi.open : usb device not found');
  const texts = ['usb_find_busses() failed', 'usb_find_devices() failed', 'usb device not found',
    'unable to open device', 'unable to claim device', 'reset failed', 'set baudrate failed',
    'get product description failed', 'get serial number failed', 'unable to close device', 'ftdi context invalid',
    'libusb_get_device_list() failed'];
  for (let code = -1; code >= -13; code -= 1) {
    fake.setResult('open', code);
    const text = texts[-code - 1] || 'FTDI Open Error';
    assert.equal(thrownMessage(() => addon.ftdiOpen(0x403, 0x6010, 1, '', '', 10)), `ftdi.open : ${text}`);
  }
  fake.clearResult('open');
  assert.equal(thrownMessage(() => addon.ftdiOpen(0x403, 0x6010, 7, '', '', 10)), 'ftdi.open : invalid interface 7');
  fake.setResult('new', 1);  // libftdi1 cannot make a context
  assert.equal(thrownMessage(() => addon.ftdiOpen(0x403, 0x6010, 1, '', '', 10)), 'ftdi.open : ftdi context invalid');
  assert.equal(thrownMessage(() => addon.ftdiGetDeviceList(0, 0)), 'ftdi.getDeviceList : ftdi context invalid');
  fake.clearResult('new');
  assert.equal(addon.ftdiOpen(0x403, 0x6010, 1, '', '', 10), 3, 'failed opens took no index');
  for (const idx of [0, 1, 2, 3]) addon.ftdiClose(idx);
  assert.equal(fake.liveContexts(), 0);
});

test('baud rate, parity, bit mode and error codes', () => {
  bench();
  const addon = new KytAddon(true);
  const idx = addon.ftdiOpen(0x403, 0x6010, 1, '', '', 10);
  assert.equal(addon.ftdiSetBaudRate(idx, 115200), true);
  assert.ok(fake.calls().includes('set_baudrate 115200'));
  fake.setResult('set_baudrate', -3);
  assert.equal(addon.ftdiSetBaudRate(idx, 1), false);
  assert.equal(addon.ftdiGetErrorCode(idx), -3);
  assert.equal(addon.ftdiGetErrorCode(idx), -3, 'reading the code changes nothing');
  addon.ftdiUseTextMode(idx);
  assert.equal(addon.ftdiGetErrorCode(idx), 0, 'a mode switch resets the code');

  assert.equal(addon.ftdiSetParity(idx, 'even'), undefined);
  assert.ok(fake.calls().includes('set_line_property 8 0 2'));
  addon.ftdiSetParity(idx, 'odd');
  assert.ok(fake.calls().includes('set_line_property 8 0 1'));
  fake.setResult('set_line_property', -1);
  assert.equal(thrownMessage(() => addon.ftdiSetParity(idx, 'none')), 'ftdi.setParity : Failed to set parity');

  assert.equal(addon.ftdiSetBitmode(idx, 511, 2), true);
  assert.ok(fake.calls().includes('set_bitmode 255 2'), 'the bitmask keeps its low 8 bits');
  assert.equal(addon.ftdiSetBitmode(idx, 0, 0), true);
  assert.ok(fake.calls().includes('set_bitmode 0 0'));
  fake.setResult('set_bitmode', -4);
  assert.equal(addon.ftdiSetBitmode(idx, 1, 2), false);
  addon.ftdiClose(idx);
  assert.equal(thrownMessage(() => addon.ftdiSetBitmode(idx, 1, 2)), 'ftdi.setBitmode : invalid device index');
});

test('read, write, pipe and flush through the chip', async () => {
  bench();
  const addon = new KytAddon(true);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kyt-ftdi-'));
  try {
    const idx = addon.ftdiOpen(0x403, 0x6010, 1, '', '', 1);
    const log = path.join(dir, 'ftdi.log');
    assert.equal(addon.ftdiPipe(idx, log, false, false), true);
    fake.pushRead('status: ok\r\n');
    assert.equal(await readAtLeast(addon, 'ftdiRead', idx, 11), 'status: ok\n');
    addon.ftdiPipeText(idx, '\nscript');
    addon.ftdiUnpipe(idx);
    assert.equal(fs.readFileSync(log, 'latin1'), '\n\nstatus: ok\n\nscript');

    const payload = Buffer.from([0x00, 0x0d, 0x0a, 0xff]);
    const [error, written] = await writePort(addon, 'ftdiWrite', idx, payload);
    assert.equal(error, null);
    assert.equal(written, 4);
    assert.deepEqual(fake.takeWritten(), payload);

    // The bytes are taken when the call is made: changing the Buffer afterwards changes nothing.
    const changing = Buffer.from('abcd');
    const pending = writePort(addon, 'ftdiWrite', idx, changing);
    changing.fill(0x78);
    assert.deepEqual(await pending, [null, 4]);
    assert.equal(fake.takeWritten().toString(), 'abcd');

    fake.setResult('write', -666);
    assert.deepEqual(await writePort(addon, 'ftdiWrite', idx, Buffer.from('x')), [-666, null]);
    assert.equal(addon.ftdiGetErrorCode(idx), -666);
    fake.clearResult('write');

    addon.ftdiUseBinaryMode(idx);
    fake.pushRead(Buffer.from([0x0d, 0x0a, 0x00]));
    assert.equal(await readAtLeast(addon, 'ftdiRead', idx, 3), '\r\n\0');
    assert.deepEqual(await readPort(addon, 'ftdiRead', idx, 99, true), [null, 'status: ok\n\r\n\0']);
    assert.match(thrownMessage(() => addon.ftdiFlushBuffer(idx, 1000)), /^ftdi\.flushBuffer : .+/);
    addon.ftdiFlushBuffer(idx, 8);
    assert.deepEqual(await readPort(addon, 'ftdiRead', idx, 0, true), [null, 'ok\n\r\n\0']);
    assert.equal(addon.ftdiGetErrorCode(idx), 0);

    // A failing chip read delivers nothing and does not stop the poll thread.
    fake.setResult('read', -7);
    fake.pushRead('kept');
    await sleep(30);
    assert.deepEqual(await readPort(addon, 'ftdiRead', idx, 0, false), [null, '']);
    fake.clearResult('read');
    assert.equal(await readAtLeast(addon, 'ftdiRead', idx, 4), 'kept');
    addon.ftdiClose(idx);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
