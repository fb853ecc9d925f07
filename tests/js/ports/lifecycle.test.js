'use strict';
// The port managers' share of the addon's construction and teardown, as standard output shows
// it (checked in child processes: the object is torn down when its process ends).
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { addonPath, fakePath } = require('./support');

function runChild(body) {
  const script = `
    const { KytAddon } = require(${JSON.stringify(addonPath)});
    const helper = require(${JSON.stringify(fakePath)});
    ${body}
  `;
  const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 20000 });
  return { status: child.status, stderr: child.stderr, lines: child.stdout.split('\n').filter((l) => l !== '') };
}

const ours = (lines) => lines.filter((l) => /^(ADDON|PollableManager|SerialPort|FTDI|USB): /.test(l));

test('construction builds the poll thread first and the USB scan before the serial manager', () => {
  const child = runChild(`new KytAddon(); console.log('script done');`);
  assert.equal(child.status, 0, child.stderr);
  const lines = ours(child.lines);
  assert.deepEqual(lines.slice(0, 3), ['ADDON: Creating Addon', 'PollableManager: Starting', 'USB: Scanning USB devices']);
  assert.deepEqual(lines.slice(-3), ['ADDON: Deleting Addon', 'PollableManager: Stopping', 'PollableManager: Stopped']);
});

test('teardown closes open ports before the poll thread stops', () => {
  const child = runChild(`
    const pty = helper.openPty();
    const addon = new KytAddon();
    addon.serialportOpen(pty.path, '', 0);
    global.keep = { addon, pty };
    console.log('script done');
  `);
  assert.equal(child.status, 0, child.stderr);
  const lines = ours(child.lines);
  const from = lines.indexOf('ADDON: Deleting Addon');
  assert.ok(from > 0, child.lines.join('\n'));
  assert.deepEqual(lines.slice(from), [
    'ADDON: Deleting Addon',
    'PollableManager: Removed a Pollable. Total Pollables: 0',
    'SerialPort: Closing Device',
    'SerialPort: Successfully closed an serial port device',
    'PollableManager: Stopping',
    'PollableManager: Stopped',
  ]);
});

test('a quiet object prints none of the port lines', () => {
  const child = runChild(`
    const pty = helper.openPty();
    const addon = new KytAddon(true);
    addon.serialportSetBaudRate(addon.serialportOpen(pty.path, '', 0), 9600);
    global.keep = { addon, pty };
  `);
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(child.lines, []);
});

test('each object has its own poll thread', () => {
  const child = runChild(`global.keep = [new KytAddon(), new KytAddon()];`);
  assert.equal(child.status, 0, child.stderr);
  const lines = ours(child.lines);
  assert.equal(lines.filter((l) => l === 'PollableManager: Starting').length, 2);
  assert.equal(lines.filter((l) => l === 'PollableManager: Stopped').length, 2);
});
