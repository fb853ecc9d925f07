'use strict';
// A serial port on a pseudo-terminal, driven through the serialport* methods: the test holds
// the master side and plays the device.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { loadAddon, Pty, port, thrownMessage, waitFor } = require('./support');

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

test('a port that goes away: reads and writes say so; a pipe file never waits, and its failures are reported once',
  async () => {
  const addon = new KytAddon(true);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kyt-serial-'));
  const pty = new Pty();
  const idx = addon.serialportOpen(pty.path, '', 0);
  const { read, write, readAtLeast } = port(addon, 'serialport', idx);
  let reader;
  try {
    assert.equal(addon.serialportSetBaudRate(idx, 115200), true);
    assert.equal(addon.serialportPipe(idx, '/dev/full', false, false), false);
    // A pipe file whose reader goes away: the next call on the port reports it, once.
    const fifo = path.join(dir, 'fifo');
    execFileSync('mkfifo', [fifo]);
    // Opening a FIFO that no process reads would wait for a reader for ever: refused at once.
    assert.equal(thrownMessage(() => addon.serialportPipe(idx, fifo, false, false)),
      `serialport.pipe : The pipe file ${fifo} is a FIFO that no process reads: start its reader first`);
    reader = fs.openSync(fifo, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
    assert.equal(addon.serialportPipe(idx, fifo, false, false), true);
    fs.closeSync(reader);
    reader = undefined;
    pty.send('lost\r\n');
    let message;
    await waitFor(() => (message = thrownMessage(() => addon.serialportGetErrorCode(idx))) !== null);
    assert.match(message,
      new RegExp(`^serialport\\.getErrorCode : Writing the pipe file ${fifo} failed: Broken pipe \\(\\d+ bytes lost\\)$`));
    assert.equal(thrownMessage(() => addon.serialportUnpipe(idx)), null);
    assert.equal(await readAtLeast(5), 'lost\n');

    // A write that the port takes only part of is no success.
    const big = Buffer.alloc(10 * 1024 * 1024, 0x78);
    const pending = write(big);
    // One byte only: draining the line could take all of the write before the hang-up.
    const first = Buffer.alloc(1);
    await waitFor(() => { try { return fs.readSync(pty.fd, first, 0, 1, null) === 1; } catch { return false; } });
    pty.close();
    const [error, result] = await pending;
    assert.match(String(error), /^Error: Only \d+ of 10485760 bytes were written: the port failed or stopped taking data$/);
    assert.equal(result, null);
    // The line hung up: reads say so.
    let outcome;
    await waitFor(async () => (outcome = await read())[0] !== null);
    assert.equal(String(outcome[0]), "Error: The serial port's device has hung up");
  } finally {
    if (reader !== undefined) fs.closeSync(reader);
    addon.serialportClose(idx);
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('two addon objects number their ports independently, and a terminal is taken by one port only', () => {
  const [first, second] = [new KytAddon(true), new KytAddon(true)];
  const [a, b, c] = [new Pty(), new Pty(), new Pty()];
  try {
    assert.equal(first.serialportOpen(a.path, '', 0), 0);
    assert.equal(second.serialportOpen(b.path, '', 0), 0);
    assert.equal(thrownMessage(() => second.serialportOpen(a.path, '', 0)),
      `serialport.open : Failed to open serial port device at ${a.path}. Error: Device or resource busy`);
    assert.equal(second.serialportOpen(c.path, '', 0), 1);
    first.serialportClose(0);
    assert.equal(second.serialportOpen(a.path, '', 0), 2);
  } finally {
    a.close();
    b.close();
    c.close();
  }
});
