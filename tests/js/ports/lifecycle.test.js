'use strict';
// The port managers' share of the addon's construction and teardown, in the order standard output shows it
// (checked in a child process: the object is torn down when its process ends).
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { addonPath, fakePath } = require('./support');

test('construction starts the poll thread before the USB scan; teardown closes ports before stopping it', () => {
  const script = `const { KytAddon } = require(${JSON.stringify(addonPath)});
    const pty = require(${JSON.stringify(fakePath)}).openPty();
    const addon = new KytAddon();
    addon.serialportOpen(pty.path, '', 0);
    global.keep = { addon, pty };`;
  const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 20000 });
  assert.equal(child.status, 0, child.stderr);
  const lines = child.stdout.split('\n');
  const order = ['ADDON: Creating Addon', 'PollableManager: Starting', 'USB: Scanning USB devices', 'ADDON: Deleting Addon',
    'SerialPort: Closing Device', 'PollableManager: Stopping', 'PollableManager: Stopped'].map((l) => lines.indexOf(l));
  assert.ok(order.every((at, i) => at >= 0 && (i === 0 || at > order[i - 1])), child.stdout);
});
