'use strict';
// The real libftdi1 against QEMU's emulated FT232 in the VM bench: listing, open, baud rate,
// line properties, write and read, with a peer on the host side of the emulated serial line.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { addonPath, repo } = require('./support');

const vmbench = '/work/shared/vmbench/vmbench';

function haveQemu() {
  return spawnSync('sh', ['-c', 'command -v qemu-system-x86_64'], { encoding: 'utf8' }).status === 0 &&
    fs.existsSync(vmbench);
}

test('ftdi methods move bytes through the emulated FT232 and back', { timeout: 90000 }, async (t) => {
  if (!haveQemu()) {
    t.skip('qemu-system-x86_64 or the VM bench is not installed');
    return;
  }
  const socketPath = path.join(os.tmpdir(), `kyt-ftdi-${process.pid}.sock`);
  fs.rmSync(socketPath, { force: true });
  const received = [];
  // The host end of the serial line: answers every chunk in upper case.
  const server = net.createServer((socket) => {
    socket.on('data', (chunk) => {
      received.push(chunk.toString('latin1'));
      socket.write(chunk.toString('latin1').toUpperCase());
    });
    socket.on('error', () => {});
  });
  await new Promise((resolve) => server.listen(socketPath, resolve));
  try {
    const child = spawn(vmbench, ['-q', '--usb-serial', `socket,path=${socketPath}`, '--timeout', '80', '--',
      process.execPath, path.join(__dirname, 'vmbench_ftdi_guest.js'), addonPath], { cwd: repo });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; });
    const status = await new Promise((resolve) => child.on('close', resolve));
    assert.equal(status, 0, `vmbench failed:\n${stdout}\n${stderr}`);
    const line = stdout.split('\n').find((l) => l.startsWith('RESULT '));
    assert.ok(line, stdout + stderr);
    const result = JSON.parse(line.slice(7));
    assert.deepEqual(result.list.filter((d) => d.serial === 'VMB00001'),
      [{ description: 'QEMU USB SERIAL', serial: 'VMB00001', vendor: 'QEMU', vendorId: 0x403, productId: 0x6001 }]);
    assert.equal(result.idx, 0);
    assert.equal(result.baud, true);
    assert.equal(result.parity, true);
    assert.deepEqual(result.written, [null, 10]);
    assert.equal(received.join(''), 'hello kyt\n');
    assert.equal(result.echo, 'HELLO KYT\n');
  } finally {
    server.close();
    fs.rmSync(socketPath, { force: true });
  }
});
