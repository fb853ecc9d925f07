'use strict';
// The real libftdi1 against QEMU's emulated FT232 in the VM bench: listing, open, baud rate,
// line properties, write and read, with a peer on the host side of the emulated serial line.
// QEMU's model does not answer a read while it has nothing to send, so an idle port is where
// polling must not hold up the other calls.
// The same file, started with the arguments "guest <addon>", is the script run in the guest.
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { addonPath, repo, loadAddon, port } = require('./support');

// The VM bench lives in shared/ beside the repository. Its guest kernel skips the boot-time check that the timer
// interrupt ticks, which an emulated guest on a loaded machine can fail (and then panic).
const vmbench = path.resolve(repo, '..', 'shared', 'vmbench', 'vmbench');
const guestEnv = { ...process.env, VMBENCH_APPEND: 'no_timer_check' };

// Many USB packets each way.
const text = 'hello kyt\n'.repeat(300);

// In the guest: the peer echoes what it receives in upper case. Prints "RESULT <json>".
async function guest(addonFile) {
  const addon = new (loadAddon(addonFile))(true);
  const result = { list: addon.ftdiGetDeviceList(0, 0), idx: addon.ftdiOpen(0x403, 0x6001, 0, '', 'VMB00001', 10) };
  result.baud = addon.ftdiSetBaudRate(result.idx, 115200);
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 300);  // the poll thread reads the idle chip
  // Neither this port's calls nor another port's wait for those reads: libftdi1's own read waited 5 s, so any one
  // call held up by a read would take the four calls past this bound, which leaves room for a loaded machine.
  const started = Date.now();
  result.parity = addon.ftdiSetParity(result.idx, 'none') === undefined;
  addon.ftdiUseBinaryMode(result.idx);
  addon.ftdiUseTextMode(result.idx);
  addon.serialportClose(addon.serialportOpen('/dev/ptmx', '', 0));
  result.prompt = Date.now() - started < 4500;
  const { write, readAtLeast } = port(addon, 'ftdi', result.idx);
  result.written = await write(Buffer.from(text));
  result.echo = (await readAtLeast(text.length, 30000)) === text.toUpperCase();
  addon.ftdiClose(result.idx);
  console.log(`RESULT ${JSON.stringify(result)}`);
}

// In the guest: opens the second FT232, says READY, and reads until a read fails (the host unplugs the chip).
async function guestUnplug(addonFile) {
  const addon = new (loadAddon(addonFile))(true);
  let idx;
  for (const until = Date.now() + 20000; idx === undefined;) {  // the guest may still be enumerating it
    try {
      idx = addon.ftdiOpen(0x403, 0x6001, 0, '', 'VMB00002', 10);
    } catch (e) {
      if (Date.now() > until) throw e;
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
  }
  const { read } = port(addon, 'ftdi', idx);
  console.log('READY');
  const until = Date.now() + 30000;
  let error = null;
  while (error === null && Date.now() < until) {
    [error] = await read();
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  console.log(`RESULT ${JSON.stringify({ error: error && String(error), code: addon.ftdiGetErrorCode(idx) })}`);
  addon.ftdiClose(idx);
}

if (process.argv[2] === 'guest') {
  guest(process.argv[3]);
} else if (process.argv[2] === 'guest-unplug') {
  guestUnplug(process.argv[3]);
} else {
  const test = require('node:test');
  const assert = require('node:assert/strict');

  test('ftdi methods move bytes through the emulated FT232 and back', { timeout: 90000 }, async (t) => {
    if (spawnSync('sh', ['-c', 'command -v qemu-system-x86_64']).status !== 0 || !fs.existsSync(vmbench)) {
      t.skip('qemu-system-x86_64 or the VM bench is not installed');
      return;
    }
    const socketPath = path.join(os.tmpdir(), `kyt-ftdi-${process.pid}.sock`);
    fs.rmSync(socketPath, { force: true });
    // The host end of the serial line: answers every chunk in upper case (so the echo shows what it received).
    const server = net.createServer((socket) => {
      socket.on('data', (chunk) => socket.write(chunk.toString('latin1').toUpperCase()));
      socket.on('error', () => {});
    });
    await new Promise((resolve) => server.listen(socketPath, resolve));
    try {
      const child = spawn(vmbench, ['-q', '--usb-serial', `socket,path=${socketPath}`, '--timeout', '80', '--',
        process.execPath, __filename, 'guest', addonPath], { cwd: repo, env: guestEnv });
      let output = '';
      child.stdout.on('data', (d) => { output += d; });
      child.stderr.on('data', (d) => { output += d; });
      const status = await new Promise((resolve) => child.on('close', resolve));
      assert.equal(status, 0, `vmbench failed:\n${output}`);
      const line = output.split('\n').find((l) => l.startsWith('RESULT '));
      assert.ok(line, output);
      const result = JSON.parse(line.slice(7));
      assert.deepEqual(result.list.filter((d) => d.serial === 'VMB00001'),
        [{ description: 'QEMU USB SERIAL', serial: 'VMB00001', vendor: 'QEMU', vendorId: 0x403, productId: 0x6001 }]);
      assert.deepEqual({ ...result, list: undefined },
        { list: undefined, idx: 0, baud: true, parity: true, prompt: true, written: [null, text.length], echo: true });
    } finally {
      server.close();
      fs.rmSync(socketPath, { force: true });
    }
  });

  test('reads of an FT232 that is unplugged call back with an Error that says so', { timeout: 90000 }, async (t) => {
    if (spawnSync('sh', ['-c', 'command -v qemu-system-x86_64']).status !== 0 || !fs.existsSync(vmbench)) {
      t.skip('qemu-system-x86_64 or the VM bench is not installed');
      return;
    }
    // A second FT232 that the QEMU monitor can remove (the bench's own one is always plugged).
    const monitorPath = path.join(os.tmpdir(), `kyt-ftdi-monitor-${process.pid}.sock`);
    fs.rmSync(monitorPath, { force: true });
    const child = spawn(vmbench, ['-q', '--usb-serial', 'null', '--timeout', '80',
      '--qemu', `-chardev null,id=unplugged -device usb-serial,id=unplug,bus=xhci.0,chardev=unplugged,serial=VMB00002,always-plugged=on -monitor unix:${monitorPath},server=on,wait=off`,
      '--', process.execPath, __filename, 'guest-unplug', addonPath], { cwd: repo, env: guestEnv });
    let output = '';
    let unplugged = false;
    child.stdout.on('data', (d) => {
      output += d;
      if (!unplugged && output.includes('READY\n')) {
        unplugged = true;
        const monitor = net.createConnection(monitorPath, () => monitor.end('device_del unplug\n'));
        monitor.on('error', (e) => { output += `monitor: ${e.message}\n`; });
      }
    });
    child.stderr.on('data', (d) => { output += d; });
    try {
      const status = await new Promise((resolve) => child.on('close', resolve));
      assert.equal(status, 0, `vmbench failed:\n${output}`);
      const line = output.split('\n').find((l) => l.startsWith('RESULT '));
      assert.ok(line, output);
      const result = JSON.parse(line.slice(7));
      assert.match(result.error, /^Error: The FTDI device is gone: /, output);
      assert.equal(result.code, -4, 'the error code says why: libusb has no device');
    } finally {
      fs.rmSync(monitorPath, { force: true });
    }
  });
}
