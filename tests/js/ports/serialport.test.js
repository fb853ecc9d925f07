'use strict';
// A serial port on a pseudo-terminal, driven through the serialport* methods: the test holds
// the master side and plays the device.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { loadAddon, Pty, port, thrownMessage } = require('./support');

const KytAddon = loadAddon();

test('round trip: open, baud rate, write, read, modes, flush, pipe and close', async () => {
  const addon = new KytAddon(true);
  const pty = new Pty();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kyt-serial-'));
  const idx = addon.serialportOpen(pty.path, '', 0);
  const { read, write, readAtLeast } = port(addon, 'serialport', idx);
  try {
    assert.equal(addon.serialportOpen(pty.path, 'ignored', 9), idx, 'the same path gives the same index');
    assert.equal(addon.serialportSetBaudRate(idx, 4800), false);
    assert.equal(addon.serialportSetBaudRate(idx, 115200), true);
    assert.equal(addon.serialportGetErrorCode(idx), 0);
    const log = path.join(dir, 'pipe.log');
    fs.writeFileSync(log, 'old');
    assert.equal(addon.serialportPipe(idx, log, false, true), true);  // appended, without timestamps
    pty.send('hello\r\nworld\r\n');
    assert.equal(await readAtLeast(12), 'hello\nworld\n');
    addon.serialportPipeText(idx, '\nrun');
    addon.serialportUnpipe(idx);
    assert.equal(fs.readFileSync(log, 'latin1'), 'old\n\nhello\nworld\n\nrun');
    assert.deepEqual(await write(Buffer.from('ping')), [null, 4]);
    assert.equal(await pty.receive(4), 'ping');

    addon.serialportUseBinaryMode(idx);
    pty.send('a\r\nb');
    assert.equal(await readAtLeast(4), 'a\r\nb');
    addon.serialportUseTextMode(idx);
    assert.equal(addon.serialportFlushBuffer(idx, 12), undefined);
    assert.deepEqual(await read(0, true), [null, 'a\r\nb']);
    assert.match(thrownMessage(() => addon.serialportFlushBuffer(idx, 100)), /^serialport\.flushBuffer : .+/);

    addon.serialportClose(idx);
    assert.equal(thrownMessage(() => addon.serialportUnpipe(idx)), 'serialport.unpipe : invalid device index');
  } finally {
    pty.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('a refused write calls back with the negative result; a close answers a pending read', async () => {
  const addon = new KytAddon(true);
  const pty = new Pty();
  const idx = addon.serialportOpen(pty.path, '', 0);
  const { read, write } = port(addon, 'serialport', idx);
  pty.close();  // with the master gone, writes to the tty fail
  assert.deepEqual(await write(Buffer.from('x')), [-1, null]);
  assert.notEqual(addon.serialportGetErrorCode(idx), 0);
  const pending = read();
  addon.serialportClose(idx);
  assert.deepEqual(await pending, [null, '']);
});

test('two addon objects number their ports independently', () => {
  const [first, second] = [new KytAddon(true), new KytAddon(true)];
  const [a, b] = [new Pty(), new Pty()];
  try {
    assert.equal(first.serialportOpen(a.path, '', 0), 0);
    assert.equal(second.serialportOpen(b.path, '', 0), 0);
    assert.equal(second.serialportOpen(a.path, '', 0), 1);
  } finally {
    a.close();
    b.close();
  }
});
