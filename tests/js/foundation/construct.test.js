'use strict';
// Construction and teardown as the process's standard output shows them (checked in child processes, because quiet
// mode lasts for the rest of a process).
const test = require('node:test');
const assert = require('node:assert/strict');
const { runChild } = require('./helpers');

const ours = (lines) => lines.filter((line) => line.startsWith('ADDON: ') || line === 'after gc');

test('objects are torn down once: by the collector when unreachable, at process.exit() when still alive', () => {
  // A flag that is not a boolean, or a call without new, makes an object that is not quiet.
  const child = runChild(`(function () { new KytAddon('true'); KytAddon(true); })();
     setImmediate(() => { global.gc(); setImmediate(() => { global.gc(); console.log('after gc');
       global.keep = new KytAddon(1); process.exit(3); }); });`, { args: ['--expose-gc'] });
  assert.equal(child.status, 3, child.stderr);
  assert.deepEqual(ours(child.lines), ['ADDON: Creating Addon', 'ADDON: Creating Addon', 'ADDON: Deleting Addon',
    'ADDON: Deleting Addon', 'after gc', 'ADDON: Creating Addon', 'ADDON: Deleting Addon']);
});

test('a quiet construction silences the rest of the process; earlier lines stay', () => {
  const child = runChild(`global.keep = new KytAddon(); new KytAddon(true); new KytAddon();`);
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(ours(child.lines), ['ADDON: Creating Addon'], 'not even the first object\'s teardown shows');
});
