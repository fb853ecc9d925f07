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

test('every hook starts idle; without a callback a start is done at once and sends nothing', async () => {
  const addon = new KytAddon();
  for (const type of [0, 1, 2, 3]) {
    assert.deepEqual(state(addon, type), IDLE, `hook ${type}`);
    assert.equal(worker.start(addon, type), true);
    assert.deepEqual(state(addon, type), IDLE, `hook ${type} after start`);
  }
  const outcome = await cycle(worker, addon, 1);
  assert.deepEqual(outcome, { started: true, timedOut: false, hasError: false, error: '' });
});

test('a started hook calls its callback once, on the script thread, with only the hook type; busy until answered', async () => {
  const addon = new KytAddon();
  const off = recorder();
  const on = recorder();
  assert.equal(addon.hookManagerSetCallback(1, off), true);
  assert.equal(addon.hookManagerSetCallback(0, on), true);

  assert.equal(worker.start(addon, 1), true);
  assert.equal(worker.isBusy(addon, 1), true);
  assert.equal(worker.start(addon, 1), false, 'a second start before the answer is refused');
  const calls = await off.calledTimes(1);
  assert.deepEqual(calls[0].args, [1]);
  assert.equal(calls[0].self, globalThis, 'called with the global object as receiver');
  await settle();
  assert.equal(off.calls.length, 1, 'one call for one start');
  assert.equal(on.calls.length, 0, 'the other hooks are not woken');
  assert.equal(worker.isBusy(addon, 1), true, 'still busy: the script has not answered');

  assert.equal(addon.hookManagerSetStatus(1, 1), false, 'busy cannot be set by the script');
  assert.equal(worker.isBusy(addon, 1), true);
  assert.equal(addon.hookManagerSetStatus(1, 0), true);
  assert.deepEqual(state(addon, 1), IDLE);

  assert.equal(worker.start(addon, 0), true);
  assert.deepEqual((await on.calledTimes(1))[0].args, [0]);
  assert.equal(worker.start(addon, 1), true, 'idle again: a new start wakes the script again');
  await off.calledTimes(2);
  addon.hookManagerSetStatus(0, 0);
  addon.hookManagerSetStatus(1, 0);
});

test('a polling worker sees the answer the script gives from inside its callback', async () => {
  const addon = new KytAddon();
  let ran = 0;
  addon.hookManagerSetCallback(1, (type) => {
    ran += 1;
    assert.equal(worker.isBusy(addon, type), true, 'busy while the callback runs');
    assert.equal(addon.hookManagerSetStatus(type, 0), true);
  });
  assert.deepEqual(await cycle(worker, addon, 1), { started: true, timedOut: false, hasError: false, error: '' });
  assert.equal(ran, 1);
  assert.deepEqual(state(addon, 1), IDLE);
  // The script may also answer later, from another turn of the event loop.
  addon.hookManagerSetCallback(0, (type) => setTimeout(() => addon.hookManagerSetStatus(type, 0), 30));
  assert.deepEqual(await cycle(worker, addon, 0), { started: true, timedOut: false, hasError: false, error: '' });
});

test('a failure reported by the script reaches the worker and blocks the hook until status 0 or a reset', async () => {
  const addon = new KytAddon();
  const fail = recorder((type) => assert.equal(addon.hookManagerSetError(type, 'relay stuck'), undefined));
  addon.hookManagerSetCallback(1, fail);
  assert.deepEqual(await cycle(worker, addon, 1), {
    started: true, timedOut: false, hasError: true, error: 'relay stuck',
  });
  assert.deepEqual(state(addon, 1), { busy: false, error: true, text: 'relay stuck' });
  assert.equal(worker.start(addon, 1), false, 'a hook in error refuses to start');
  await settle();
  assert.equal(fail.calls.length, 1);

  // Status 0 ends the error; the text stays until a reset.
  assert.equal(addon.hookManagerSetStatus(1, 0), true);
  assert.deepEqual(state(addon, 1), { busy: false, error: false, text: 'relay stuck' });
  assert.equal(worker.start(addon, 1), true);
  await fail.calledTimes(2);
  assert.equal(worker.hasError(addon, 1), true);

  // A reset clears the text and the callback: the next start is done at once.
  assert.equal(worker.reset(addon, 1), true);
  assert.deepEqual(state(addon, 1), IDLE);
  assert.equal(worker.start(addon, 1), true);
  assert.deepEqual(state(addon, 1), IDLE);
  await settle();
  assert.equal(fail.calls.length, 2, 'the callback was dropped by the reset');
});

test('the script may set the error status without a text, or an unknown status that blocks starts', async () => {
  const addon = new KytAddon();
  addon.hookManagerSetError(2, 'old text');
  addon.hookManagerSetStatus(2, 0);
  assert.equal(addon.hookManagerSetStatus(2, 2), true);
  assert.deepEqual(state(addon, 2), { busy: false, error: true, text: 'old text' }, 'status 2 keeps the old text');

  assert.equal(addon.hookManagerSetStatus(3, 7), true);
  assert.equal(worker.start(addon, 3), false);
  assert.deepEqual(state(addon, 3), IDLE, 'an unknown status is neither busy nor error');
  assert.equal(addon.hookManagerSetStatus(3, 0), true);
  assert.equal(worker.start(addon, 3), true);
  // A status of -1 (as the script's unsigned 2^32-1) is stored, not refused.
  assert.equal(addon.hookManagerSetStatus(3, -1), true);
  assert.equal(worker.start(addon, 3), false);
});

test('a callback is only taken while the hook is idle; a refused one leaves the old in place', async () => {
  const addon = new KytAddon();
  const first = recorder();
  const second = recorder();
  assert.equal(addon.hookManagerSetCallback(1, first), true);
  worker.start(addon, 1);
  assert.equal(addon.hookManagerSetCallback(1, second), false, 'refused while busy');
  await first.calledTimes(1);
  addon.hookManagerSetError(1, 'x');
  assert.equal(addon.hookManagerSetCallback(1, second), false, 'refused while in error');
  assert.equal(worker.reset(addon, 1), true);
  assert.equal(worker.start(addon, 1), true, 'reset dropped the callback');
  assert.equal(worker.isBusy(addon, 1), false);

  assert.equal(addon.hookManagerSetCallback(1, first), true);
  assert.equal(addon.hookManagerSetCallback(1, second), true, 'replaced while idle');
  worker.start(addon, 1);
  await second.calledTimes(1);
  await settle();
  assert.equal(first.calls.length, 1);
  assert.equal(worker.reset(addon, 1), false, 'a reset is refused while busy');
  assert.equal(worker.isBusy(addon, 1), true);
  addon.hookManagerSetStatus(1, 0);
});

test('argument errors carry the call name and leave every hook unchanged', () => {
  const addon = new KytAddon();
  const fn = () => {};
  const refused = (call, message) => assert.throws(call, (e) => e instanceof TypeError && e.message === message);
  refused(() => addon.hookManagerSetCallback('1', fn), 'setHookHandlerCallback : argument "type" must be a Number');
  refused(() => addon.hookManagerSetCallback(), 'setHookHandlerCallback : argument "type" must be a Number');
  refused(() => addon.hookManagerSetCallback(4, fn), 'setHookHandlerCallback : Invalid handler type: 4');
  refused(() => addon.hookManagerSetCallback(-1, fn), 'setHookHandlerCallback : Invalid handler type: -1');
  refused(() => addon.hookManagerSetCallback(0), 'setHookHandlerCallback : argument "callback" must be a Function');
  refused(() => addon.hookManagerSetCallback(9, {}), 'setHookHandlerCallback : argument "callback" must be a Function');

  refused(() => addon.hookManagerSetError(null, 'm'), 'setHookHandlerError : argument "type" must be a Number');
  refused(() => addon.hookManagerSetError(1), 'setHookHandlerError : argument "message" is required');
  refused(() => addon.hookManagerSetError(1, 5), 'setHookHandlerError : argument "message" must be a String');
  refused(() => addon.hookManagerSetError(1, null), 'setHookHandlerError : argument "message" must be a String');
  refused(() => addon.hookManagerSetError(-1, 'm'), 'setHookHandlerError : Invalid handler type: -1');
  refused(() => addon.hookManagerSetError(4, 'm'), 'setHookHandlerError : Invalid handler type: 4');

  refused(() => addon.hookManagerSetStatus(1, '0'), 'setHookHandlerStatus : argument "status" must be a Number');
  refused(() => addon.hookManagerSetStatus(1), 'setHookHandlerStatus : argument "status" must be a Number');
  refused(() => addon.hookManagerSetStatus(true, 0), 'setHookHandlerStatus : argument "type" must be a Number');
  refused(() => addon.hookManagerSetStatus(-1, 2), 'setHookHandlerStatus : Invalid handler type: -1');
  refused(() => addon.hookManagerSetStatus(2 ** 32 + 4, 2), 'setHookHandlerStatus : Invalid handler type: 4');

  for (const type of [0, 1, 2, 3]) {
    assert.deepEqual(state(addon, type), IDLE, `hook ${type}`);
    assert.equal(worker.start(addon, type), true, `hook ${type} has no callback`);
  }
});

test('types are truncated numbers; the worker side refuses the same types with the same text', () => {
  const addon = new KytAddon();
  assert.equal(addon.hookManagerSetStatus(2.9, 2), true);
  assert.equal(worker.hasError(addon, 2), true, '2.9 is hook 2');
  assert.equal(worker.hasError(addon, 3), false);
  for (const op of ['start', 'isBusy', 'hasError', 'getError', 'reset']) {
    assert.throws(() => worker[op](addon, 4), { name: 'Error', message: 'Invalid handler type: 4' }, op);
    assert.throws(() => worker[op](addon, -2), { name: 'Error', message: 'Invalid handler type: -2' }, op);
  }
});

test('every object has hooks of its own', async () => {
  const a = new KytAddon();
  const b = new KytAddon();
  const onA = recorder((type) => a.hookManagerSetStatus(type, 0));
  a.hookManagerSetCallback(1, onA);
  b.hookManagerSetError(1, 'b only');
  assert.equal(worker.start(b, 1), false);
  assert.deepEqual(await cycle(worker, a, 1), { started: true, timedOut: false, hasError: false, error: '' });
  assert.equal(onA.calls.length, 1);
  assert.equal(worker.getError(a, 1), '');
  assert.equal(worker.getError(b, 1), 'b only');
});

test('many back-to-back cycles from the worker each wake the script exactly once', async () => {
  const addon = new KytAddon(true);
  let calls = 0;
  addon.hookManagerSetCallback(1, (type) => {
    calls += 1;
    addon.hookManagerSetStatus(type, 0);
  });
  for (let i = 1; i <= 200; i += 1) {
    const outcome = await cycle(worker, addon, 1);
    assert.equal(outcome.started && !outcome.timedOut && !outcome.hasError, true, `cycle ${i}`);
    assert.equal(calls, i);
  }
});
