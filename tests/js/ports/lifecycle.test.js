'use strict';
// The port managers' share of the addon's construction and teardown, as standard output shows
// it (checked in child processes: the object is torn down when its process ends).
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { addonPath, fakePath } = require('./support');

// Runs body in a child Node (KytAddon and the stand-in module `helper` in scope) and returns
// the port lines it printed.
function runChild(body) {
  const script = `const { KytAddon } = require(${JSON.stringify(addonPath)});
    const helper = require(${JSON.stringify(fakePath)});
    ${body}`;
  const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 20000 });
  assert.equal(child.status, 0, child.stderr);
  return child.stdout.split('\n').filter((l) => /^(ADDON|PollableManager|SerialPort|FTDI|USB): /.test(l));
}

test('construction starts the poll thread before the USB scan; teardown closes ports before stopping it', () => {
  const lines = runChild(`
    const pty = helper.openPty();
    const addon = new KytAddon();
    addon.serialportOpen(pty.path, '', 0);
    global.keep = { addon, pty };`);
  assert.deepEqual(lines.slice(0, 3), ['ADDON: Creating Addon', 'PollableManager: Starting', 'USB: Scanning USB devices']);
  assert.deepEqual(lines.slice(lines.indexOf('ADDON: Deleting Addon')), [
    'ADDON: Deleting Addon',
    'PollableManager: Removed a Pollable. Total Pollables: 0',
    'SerialPort: Closing Device',
    'SerialPort: Successfully closed an serial port device',
    'PollableManager: Stopping',
    'PollableManager: Stopped',
  ]);
});

test('a quiet object prints none of the port lines', () => {
  assert.deepEqual(runChild(`
    const pty = helper.openPty();
    const addon = new KytAddon(true);
    addon.serialportSetBaudRate(addon.serialportOpen(pty.path, '', 0), 9600);
    global.keep = { addon, pty };`), []);
});

test('each object has its own poll thread', () => {
  const lines = runChild(`global.keep = [new KytAddon(), new KytAddon()];`);
  for (const line of ['ADDON: Deleting Addon', 'PollableManager: Starting', 'PollableManager: Stopped']) {
    assert.equal(lines.filter((l) => l === line).length, 2, line);
  }
});
