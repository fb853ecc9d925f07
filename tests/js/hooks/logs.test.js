'use strict';
// What the hook bridge writes to standard output, and how hooks behave around the process's life (seen from a child
// process, since the lines and the exit are process-wide).
const test = require('node:test');
const assert = require('node:assert/strict');
const { runChild } = require('./helpers');

const hookLines = (lines) => lines.filter((line) => /JsHook/i.test(line));

test('constructing an object initialises its four hooks after the poll thread starts', () => {
  const child = runChild(`new KytAddon(); new KytAddon(true);`);
  assert.equal(child.status, 0, child.stderr);
  assert.equal(child.lines[0], 'ADDON: Creating Addon');
  const init = child.lines.indexOf('NVME: JsHookManager: Initializing 4 hooks');
  assert.ok(init > child.lines.indexOf('PollableManager: Starting'), child.lines.join('\n'));
  assert.deepEqual(hookLines(child.lines), ['NVME: JsHookManager: Initializing 4 hooks'], 'the quiet object logs nothing');
});

test('each manager operation logs its line; refused types log nothing', () => {
  const child = runChild(`
    const a = new KytAddon();
    a.hookManagerSetCallback(1, () => {});
    worker.start(a, 1);
    worker.start(a, 1);
    a.hookManagerSetError(1, 'no power');
    worker.start(a, 1);
    a.hookManagerSetStatus(1, 7);
    worker.start(a, 1);
    a.hookManagerSetStatus(1, -3);
    worker.start(a, 1);
    for (const call of [() => a.hookManagerSetCallback(4, () => {}), () => a.hookManagerSetError(-1, 'x'),
                        () => a.hookManagerSetStatus(5, 0), () => worker.start(a, 4)]) {
      try { call(); } catch (e) { console.log('refused: ' + e.message); }
    }
    worker.isBusy(a, 1); worker.hasError(a, 1); worker.getError(a, 1); worker.reset(a, 1);
    process.exit(0);`);
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(hookLines(child.lines), [
    'NVME: JsHookManager: Initializing 4 hooks',
    'NVME: JsHookManager:SetCallback(1)',
    'NVME: JsHookManager:Start(1)',
    'NVME: JsHookManager:Start(1)',
    'NVME: JsHookHandler::Start - Status Busy',
    'NVME: JsHookManager:SetError(1,no power)',
    'NVME: JsHookManager:Start(1)',
    'NVME: JsHookHandler::Start - Status Error',
    'NVME: JsHookManager:SetStatus(1,7)',
    'NVME: JsHookManager:Start(1)',
    'NVME: JsHookhandler::Start - Invalid Status 7',
    'NVME: JsHookManager:SetStatus(1,-3)',
    'NVME: JsHookManager:Start(1)',
    'NVME: JsHookhandler::Start - Invalid Status -3',
  ]);
  assert.deepEqual(child.lines.filter((l) => l.startsWith('refused: ')), [
    'refused: setHookHandlerCallback : Invalid handler type: 4',
    'refused: setHookHandlerError : Invalid handler type: -1',
    'refused: setHookHandlerStatus : Invalid handler type: 5',
    'refused: Invalid handler type: 4',
  ]);
});

test('hooks do not keep the process alive; an object torn down with a hook still busy ends cleanly', () => {
  // Ends on its own with an idle hook holding a callback.
  let child = runChild(`global.keep = new KytAddon(); keep.hookManagerSetCallback(1, () => {});
    console.log('script done');`);
  assert.equal(child.status, 0, child.stderr);
  assert.equal(child.signal, null);
  assert.ok(child.lines.indexOf('ADDON: Deleting Addon') > child.lines.indexOf('script done'));
  // Torn down while busy, the signal still pending: dropped without a call.
  child = runChild(`global.keep = new KytAddon();
    keep.hookManagerSetCallback(0, () => console.log('late call'));
    worker.start(keep, 0);`);
  assert.equal(child.status, 0, child.stderr);
  assert.ok(child.lines.includes('ADDON: Deleting Addon'));
  // process.exit() with a busy hook and a callback set.
  child = runChild(`global.keep = new KytAddon(); keep.hookManagerSetCallback(1, () => {});
    worker.start(keep, 1); process.exit(4);`);
  assert.equal(child.status, 4, child.stderr);
});

test('promise reactions of a hook callback run right after it; an exception it throws is reported as uncaught', () => {
  const child = runChild(`
    process.on('uncaughtException', (e) => { console.log('uncaught: ' + e.message); });
    const a = new KytAddon();
    a.hookManagerSetCallback(1, (type) => {
      Promise.resolve().then(() => console.log('reaction ran'));
      a.hookManagerSetStatus(type, 0);
    });
    a.hookManagerSetCallback(2, (type) => {
      a.hookManagerSetStatus(type, 0);
      throw new Error('callback failed ' + type);
    });
    worker.cycle(a, 1, 2000, (r) => {
      console.log('cycle 1 ' + JSON.stringify(r));
      worker.cycle(a, 2, 2000, (r2) => console.log('cycle 2 ' + JSON.stringify(r2)));
    });`);
  assert.equal(child.status, 0, child.stderr);
  const all = child.lines.join('\n');
  const at = (text) => child.lines.indexOf(text);
  const done = '{"started":true,"timedOut":false,"hasError":false,"error":""}';
  assert.ok(at('reaction ran') >= 0 && at('reaction ran') < at('cycle 1 ' + done), all);
  assert.ok(at('uncaught: callback failed 2') > at('cycle 1 ' + done), all);
  assert.ok(at('cycle 2 ' + done) > 0, all);
});
