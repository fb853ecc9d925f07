'use strict';
// The life of an asynchronous method object: parse on the script's thread, blocking part on the worker pool,
// callback(error, result) once on the script's thread, then the object is gone.
const test = require('node:test');
const assert = require('node:assert/strict');
const { promisify } = require('node:util');
const { loadTestModule, testModulePath, runChild } = require('./helpers');

const { echoAsync, liveAsyncObjects } = loadTestModule();

test('calls return at once and each calls back once with its own (error, result), then their objects are gone',
  async () => {
    const calls = Array.from({ length: 24 }, (_, i) => new Promise((resolve) => {
      const seen = [];
      const returned = echoAsync(`r${i}`, (i * 7) % 11, i % 5 === 0, function (...args) {
        seen.push({ self: this, args });
        setImmediate(() => resolve({ returned, seen }));  // room for a (wrong) second call
      });
    }));
    assert.equal(liveAsyncObjects(), 24, 'the objects live while their calls are pending');
    (await Promise.all(calls)).forEach(({ returned, seen }, i) => {
      assert.equal(returned, undefined);
      assert.equal(seen.length, 1);
      assert.equal(seen[0].self, globalThis);
      const [err, result] = seen[0].args;
      if (i % 5 !== 0) return assert.deepEqual([err, result], [null, `r${i}`]);
      assert.ok(err instanceof Error && !(err instanceof TypeError));
      assert.deepEqual([err.message, result], [`r${i}`, null]);
    });
    assert.equal(liveAsyncObjects(), 0);
    assert.equal(await promisify(echoAsync)('through a promise', 1, false), 'through a promise');
  });

test('a bad argument fails synchronously with "<name> : <text>", never calls back and frees the object', async () => {
  let called = 0;
  const cb = () => { called += 1; };
  const live = liveAsyncObjects();
  for (const [args, message] of [[['x', 1, false, 5], 'callback must be a Function'],
    [['x', 1, false], 'Wrong number of arguments'], [['x', 'slow', false, cb], 'argument "delayMs" must be a Number']]) {
    assert.throws(() => echoAsync(...args), { name: 'TypeError', message: `test.echoAsync : ${message}` });
    assert.equal(liveAsyncObjects(), live, 'nothing is left to call back');
  }
  await promisify(echoAsync)('later', 0, false);
  assert.equal(called, 0);
});

test('an exception thrown by the callback reaches the process\'s uncaught-exception handling', () => {
  const child = runChild(`const m = require(${JSON.stringify(testModulePath)});
    process.on('uncaughtException', (e) => {
      console.log('uncaught', e.message); setImmediate(() => console.log('alive', m.liveAsyncObjects()));
    });
    m.echoAsync('x', 1, false, () => { throw new Error('from callback'); });`, { load: false });
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(child.lines, ['uncaught from callback', 'alive 0']);
});

// The NVMe worker may release a call's task after the script's thread has gone (a worker thread terminated with calls
// pending): the call's completion is dropped, and the freed handle of the closed event loop is not signalled (libuv
// would read it; the sanitizer run fills freed memory with zeros, and the child crashes there).
test('a task released after its thread\'s environment ended posts nothing to the closed loop', () => {
  const worker = `require(${JSON.stringify(testModulePath)}).holdTaskPastThread();
    require('node:worker_threads').parentPort.postMessage('held');`;
  const child = runChild(`const { Worker } = require('node:worker_threads');
    const worker = new Worker(${JSON.stringify(worker)}, { eval: true });
    worker.on('message', (message) => { console.log(message); worker.terminate(); });
    worker.on('exit', () => console.log('ended'));`, { load: false });
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(child.lines, ['held', 'ended']);
});
