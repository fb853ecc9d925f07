'use strict';
// The hook bridge from both ends: the script's hook methods of KytAddon, and the worker's side (start, poll, read the
// outcome) played from another thread by the test module against the same object's hooks.
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadAddon, loadWorker, recorder, settle, cycle } = require('./helpers');

const { KytAddon } = loadAddon();
const worker = loadWorker();

function state(addon, type) {
  return { busy: worker.isBusy(addon, type), error: worker.hasError(addon, type), text: worker.getError(addon, type) };
}
const IDLE = { busy: false, error: false, text: '' };
const DONE = { started: true, timedOut: false, hasError: false, error: '' };

test('a started hook calls its callback once, on the script thread, with only the hook type; busy until answered',
  async () => {
    const addon = new KytAddon(true);
    assert.deepEqual(await cycle(worker, addon, 1), DONE, 'without a callback a start is done at once');
    const off = recorder();
    const on = recorder();
    assert.equal(addon.hookManagerSetCallback(1, off), true);
    assert.equal(addon.hookManagerSetCallback(0, on), true);
    assert.equal(worker.start(addon, 1), true);
    assert.equal(worker.start(addon, 1), false, 'a second start before the answer is refused');
    const calls = await off.calledTimes(1);
    assert.deepEqual(calls[0].args, [1]);
    assert.equal(calls[0].self, globalThis, 'called with the global object as receiver');
    await settle();
    assert.equal(off.calls.length + on.calls.length, 1, 'one call for one start; the other hooks are not woken');
    assert.equal(addon.hookManagerSetStatus(1, 1), false, 'busy cannot be set by the script');
    assert.equal(worker.isBusy(addon, 1), true, 'still busy: the script has not answered');
    assert.equal(addon.hookManagerSetStatus(1, 0), true);
    assert.deepEqual(state(addon, 1), IDLE);
    assert.equal(worker.start(addon, 1), true, 'idle again: a new start wakes the script again');
    await off.calledTimes(2);
    addon.hookManagerSetStatus(1, 0);
  });

test('a polling worker sees the answer the script gives from inside its callback or later', async () => {
  const addon = new KytAddon(true);
  addon.hookManagerSetCallback(1, (type) => {
    assert.equal(worker.isBusy(addon, type), true, 'busy while the callback runs');
    addon.hookManagerSetStatus(type, 0);
  });
  addon.hookManagerSetCallback(0, (type) => setImmediate(() => addon.hookManagerSetStatus(type, 0)));
  for (let i = 1; i <= 200; i += 1) assert.deepEqual(await cycle(worker, addon, 1), DONE, `cycle ${i}`);
  assert.deepEqual(await cycle(worker, addon, 0), DONE);
});

test('a failure reported by the script reaches the worker and blocks the hook until status 0 or a reset', async () => {
  const addon = new KytAddon(true);
  const fail = recorder((type) => assert.equal(addon.hookManagerSetError(type, 'relay stuck'), undefined));
  addon.hookManagerSetCallback(1, fail);
  assert.deepEqual(await cycle(worker, addon, 1), { ...DONE, hasError: true, error: 'relay stuck' });
  assert.equal(worker.start(addon, 1), false, 'a hook in error refuses to start');
  assert.equal(addon.hookManagerSetCallback(1, recorder()), false, 'no new callback while in error');
  // Status 0 ends the error; the text stays until a reset.
  assert.equal(addon.hookManagerSetStatus(1, 0), true);
  assert.deepEqual(state(addon, 1), { busy: false, error: false, text: 'relay stuck' });
  assert.equal(worker.start(addon, 1), true);
  await fail.calledTimes(2);
  assert.equal(worker.reset(addon, 1), true);
  assert.deepEqual(state(addon, 1), IDLE);
  assert.equal(worker.start(addon, 1), true);
  assert.equal(worker.isBusy(addon, 1), false, 'the reset dropped the callback: the start is done at once');

  // The error status without a text keeps the old text; an unknown status is neither busy nor error but blocks.
  addon.hookManagerSetError(2, 'old text');
  addon.hookManagerSetStatus(2, 0);
  assert.equal(addon.hookManagerSetStatus(2, 2), true);
  assert.deepEqual(state(addon, 2), { busy: false, error: true, text: 'old text' });
  assert.equal(addon.hookManagerSetStatus(3, -1), true);
  assert.equal(worker.start(addon, 3), false);
  assert.deepEqual(state(addon, 3), IDLE);
});

test('a callback is replaced only while the hook is idle; a reset is refused while it is busy', async () => {
  const addon = new KytAddon(true);
  const [first, second] = [recorder(), recorder()];
  assert.equal(addon.hookManagerSetCallback(1, first), true);
  assert.equal(addon.hookManagerSetCallback(1, second), true, 'replaced while idle');
  worker.start(addon, 1);
  assert.equal(addon.hookManagerSetCallback(1, first), false, 'refused while busy');
  await second.calledTimes(1);
  assert.equal(worker.reset(addon, 1), false);
  assert.equal(worker.isBusy(addon, 1), true);
  await settle();
  assert.equal(first.calls.length, 0);
  addon.hookManagerSetStatus(1, 0);
});

test('every object has hooks of its own', async () => {
  const [a, b] = [new KytAddon(true), new KytAddon(true)];
  a.hookManagerSetCallback(1, (type) => a.hookManagerSetStatus(type, 0));
  b.hookManagerSetError(1, 'b only');
  assert.equal(worker.start(b, 1), false);
  assert.deepEqual(await cycle(worker, a, 1), DONE);
  assert.equal(worker.getError(a, 1), '');
});

test('refusals name the call; types are truncated numbers, and both sides refuse the same types', () => {
  const addon = new KytAddon(true);
  const cases = [
    [() => addon.hookManagerSetCallback(4, () => {}), 'setHookHandlerCallback : Invalid handler type: 4'],
    [() => addon.hookManagerSetCallback(0), 'setHookHandlerCallback : argument "callback" must be a Function'],
    [() => addon.hookManagerSetError(-1, 'm'), 'setHookHandlerError : Invalid handler type: -1'],
    [() => addon.hookManagerSetStatus(true, 0), 'setHookHandlerStatus : argument "type" must be a Number'],
    [() => addon.hookManagerSetStatus(2 ** 32 + 4, 2), 'setHookHandlerStatus : Invalid handler type: 4'],
  ];
  for (const [call, message] of cases) assert.throws(call, { name: 'TypeError', message });
  for (const type of [0, 1, 2, 3]) assert.deepEqual(state(addon, type), IDLE, 'refused calls change nothing');
  assert.equal(addon.hookManagerSetStatus(2.9, 2), true);
  assert.equal(worker.hasError(addon, 2), true, '2.9 is hook 2');
  for (const op of ['start', 'isBusy', 'hasError', 'getError', 'reset']) {
    assert.throws(() => worker[op](addon, -2), { name: 'Error', message: 'Invalid handler type: -2' }, op);
  }
});
