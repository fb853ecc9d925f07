'use strict';
// The life of an asynchronous method object: parse on the script's thread, blocking part on the worker pool,
// callback(error, result) once on the script's thread, then the object is gone.
const test = require('node:test');
const assert = require('node:assert/strict');
const { promisify } = require('node:util');
const { spawnSync } = require('node:child_process');
const { loadTestModule, testModulePath } = require('./helpers');

const mod = loadTestModule();
const { echoAsync, liveAsyncObjects } = mod;

function call(...args) {
  return new Promise((resolve) => {
    const seen = [];
    const returned = echoAsync(...args, function callback(...cbArgs) {
      seen.push({ self: this, args: cbArgs });
      setImmediate(() => resolve({ returned, seen }));  // leave room for a (wrong) second call
    });
  });
}

test('success: returns at once, then calls back once with (null, result) and the global receiver', async () => {
  let syncReturn = 'unset';
  const done = new Promise((resolve) => {
    syncReturn = echoAsync('hello', 5, false, function (...args) { resolve({ self: this, args }); });
  });
  assert.equal(syncReturn, undefined);
  assert.equal(liveAsyncObjects(), 1, 'the object lives while its call is pending');
  const { self, args } = await done;
  assert.equal(self, globalThis);
  assert.deepEqual(args, [null, 'hello']);
  await new Promise(setImmediate);
  assert.equal(liveAsyncObjects(), 0, 'deleted after its callback');
});

test('a bad argument fails synchronously with "<name> : <text>", never calls back and frees the object', async () => {
  let called = 0;
  const cb = () => { called += 1; };
  const cases = [[['x', 1, false, 5], 'test.echoAsync : callback must be a Function'],
    [['x', 1, false], 'test.echoAsync : Wrong number of arguments'],
    [['x', 'slow', false, cb], 'test.echoAsync : argument "delayMs" must be a Number'],
    [[undefined, 1, false, cb], 'test.echoAsync : argument "text" is required']];
  for (const [args, message] of cases) {
    assert.throws(() => echoAsync(...args), (err) => err instanceof TypeError && err.message === message);
  }
  await new Promise((resolve) => setTimeout(resolve, 20));
  assert.equal(called, 0);
  assert.equal(liveAsyncObjects(), 0);
});

test('many calls in flight each complete once with their own result; a failed work gives an Error and null', async () => {
  const results = await Promise.all(Array.from({ length: 24 }, (_, i) => call(`r${i}`, (i * 7) % 11, i % 5 === 0)));
  results.forEach(({ seen }, i) => {
    assert.equal(seen.length, 1);
    const [err, result] = seen[0].args;
    if (i % 5 !== 0) {
      assert.deepEqual([err, result], [null, `r${i}`]);
      return;
    }
    assert.ok(err instanceof Error && !(err instanceof TypeError));
    assert.deepEqual([err.message, result], [`r${i}`, null]);
  });
  assert.equal(liveAsyncObjects(), 0);
});

test('promise continuations queued by the callback run at once (works with util.promisify)', async () => {
  assert.equal(await promisify(echoAsync)('through a promise', 1, false), 'through a promise');
  await assert.rejects(promisify(echoAsync)('rejected', 1, true), { message: 'rejected' });
});

test('an exception thrown by the callback reaches the process\'s uncaught-exception handling', () => {
  const script = `const m = require(${JSON.stringify(testModulePath)});
    process.on('uncaughtException', (e) => { console.log('uncaught', e.message); });
    m.echoAsync('x', 1, false, () => { throw new Error('from callback'); });
    setTimeout(() => console.log('alive', m.liveAsyncObjects()), 50);`;
  const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 20000 });
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(child.stdout.trim().split('\n'), ['uncaught from callback', 'alive 0']);
});
