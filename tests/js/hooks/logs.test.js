'use strict';
// Hooks around the process's life, seen from child processes (the exit is process-wide).
const test = require('node:test');
const assert = require('node:assert/strict');
const { runChild } = require('./helpers');

test('hooks do not keep the process alive; an object torn down with a hook still busy ends cleanly', () => {
  let child = runChild(`global.keep = new KytAddon(); keep.hookManagerSetCallback(1, () => {});
    console.log('script done');`);
  assert.equal(child.status, 0, child.stderr);
  assert.ok(child.lines.indexOf('ADDON: Deleting Addon') > child.lines.indexOf('script done'));
  // Torn down while busy, the signal still pending: dropped without a call.
  child = runChild(`global.keep = new KytAddon(true);
    keep.hookManagerSetCallback(0, () => console.log('late call'));
    worker.start(keep, 0);`);
  assert.deepEqual([child.status, child.lines], [0, []], child.stderr);
  child = runChild(`global.keep = new KytAddon(true); keep.hookManagerSetCallback(1, () => {});
    worker.start(keep, 1); process.exit(4);`);
  assert.equal(child.status, 4, child.stderr);
});

test('promise reactions of a hook callback run right after it; an exception it throws fails the hook with its text, even after it set a status', () => {
  const child = runChild(`
    process.on('uncaughtException', (e) => { console.log('uncaught: ' + e.message); });
    const a = new KytAddon(true);
    a.hookManagerSetCallback(1, (type) => {
      Promise.resolve().then(() => console.log('reaction ran'));
      a.hookManagerSetStatus(type, 0);
    });
    a.hookManagerSetCallback(2, (type) => {
      a.hookManagerSetStatus(type, 0);
      // The worker looks at the hook meanwhile: a status set before the exception is no answer yet.
      worker.awaitPolls(2);
      throw new Error('callback failed ' + type);
    });
    worker.cycle(a, 1, 60000, (r) => {
      console.log('cycle 1 ' + r.started);
      worker.cycle(a, 2, 60000, (r2) => console.log('cycle 2 ' + r2.hasError + ' ' + r2.error));
    });`);
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(child.lines, ['reaction ran', 'cycle 1 true', 'cycle 2 true callback failed 2']);
});
