'use strict';
// Construction and teardown as the process's standard output shows them (checked in child processes, because quiet
// mode lasts for the rest of a process).
const test = require('node:test');
const assert = require('node:assert/strict');
const { runChild } = require('./helpers');

function ours(lines) {
  // The lines of the exported class itself.
  return lines.filter((line) => line.startsWith('ADDON: '));
}

test('a construction without the flag logs "ADDON: Creating Addon" first and tears down at the end', () => {
  const child = runChild(`global.keep = new KytAddon(); console.log('script done');`);
  assert.equal(child.status, 0, child.stderr);
  assert.equal(child.lines[0], 'ADDON: Creating Addon');
  assert.ok(child.lines.indexOf('script done') > 0);
  // The process ends normally: the object is torn down as when collected.
  assert.ok(child.lines.indexOf('ADDON: Deleting Addon') > child.lines.indexOf('script done'));
  assert.deepEqual(ours(child.lines), ['ADDON: Creating Addon', 'ADDON: Deleting Addon']);
});

test('a quiet construction silences the rest of the process; earlier lines stay', () => {
  let child = runChild(`new KytAddon(true); new KytAddon(); new KytAddon(false);`);
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(child.lines, []);
  child = runChild(`global.keep = new KytAddon(); new KytAddon(true); new KytAddon();`);
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(ours(child.lines), ['ADDON: Creating Addon'], 'not even the first object\'s teardown shows');
});

test('a flag that is not a boolean, or a call without new, makes an object that is not quiet', () => {
  const child = runChild(`new KytAddon('true'); new KytAddon(1); new KytAddon(false, true);
    console.log(KytAddon(true) instanceof KytAddon);`);
  assert.equal(child.status, 0, child.stderr);
  assert.ok(child.lines.includes('true'));
  assert.equal(ours(child.lines).filter((l) => l === 'ADDON: Creating Addon').length, 4);
  assert.equal(ours(child.lines).filter((l) => l === 'ADDON: Deleting Addon').length, 4);
});

test('the collector frees an unreachable object and its destructor logs', () => {
  const child = runChild(
    `(function () { new KytAddon(); })();
     setImmediate(() => { global.gc(); setImmediate(() => { global.gc(); console.log('after gc'); }); });`,
    { args: ['--expose-gc'] });
  assert.equal(child.status, 0, child.stderr);
  const deleting = child.lines.indexOf('ADDON: Deleting Addon');
  assert.ok(deleting > 0, child.stdout);
  assert.ok(deleting < child.lines.indexOf('after gc'), 'deleted by the collector, before the end');
  assert.equal(ours(child.lines).length, 2, 'destroyed once only');
});

test('an object still alive at process.exit() releases its members too', () => {
  const child = runChild(`global.keep = new KytAddon(); process.exit(3);`);
  assert.equal(child.status, 3, child.stderr);
  assert.deepEqual(ours(child.lines), ['ADDON: Creating Addon', 'ADDON: Deleting Addon']);
});
