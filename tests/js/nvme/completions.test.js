'use strict';
// A drive that posts a completion entry twice, or for a command the host does not have outstanding, never makes a
// script believe something false: the entry ends no command, and getDeviceInfo counts it (ignoredCompletions).
// The second copies fall due on the environment's clock, which only the test moves (sim.advanceClock).
const test = require('node:test');
const assert = require('node:assert/strict');
const { smallNamespaces, loadSim, ok, call, driveSetup } = require('./helpers');

const sim = loadSim();
const { addon, bdf, drive, start } = driveSetup({ namespaces: smallNamespaces });
const LIMIT = { timeout: 60000 };  // a hang fails the test instead of stalling the run
const SECOND = 1000000;            // µs

const until = async (done) => { while (!done()) await new Promise(setImmediate); };
const ignored = async () => (await ok(addon, 'getDeviceInfo')).ignoredCompletions;

test('attach with a queue pair', LIMIT, async () => {
  assert.equal(start(), true);
  sim.clock(4);  // the attachment's wait before it enables the controller
  assert.equal((await call(addon, 'scanAttachment', 60000)).err, null);
  sim.clock(1);
  assert.equal(await ok(addon, 'createQueuePair', {}), 1);
  assert.equal(await ignored(), 0);
});

// The drive completes a command, then posts that completion again 10 s later while the next command (whose own
// completion comes 20 s after it) is at the drive: that command ends on its own completion, and successfully.
test('an unvalidated read and a write whose completion the drive posts twice end truthfully', LIMIT, async () => {
  for (const [method, opcode] of [['read', 0x02], ['write', 0x01]]) {
    const before = await ignored();
    drive.duplicateCompletion({ opcode, count: 1, delayUs: 10 * SECOND });
    drive.delayCompletion({ opcode, count: 1, delayUs: 20 * SECOND });
    await ok(addon, method, 0, 8, {});
    const fetched = drive.counters().commands + 1;
    let ended = false;
    const second = call(addon, method, 8, 8, {}).then((outcome) => { ended = true; return outcome; });
    await until(() => drive.counters().commands >= fetched);
    const posted = drive.counters().completions + 1;
    sim.advanceClock(10 * SECOND);
    await until(() => drive.counters().completions >= posted);  // the copy is on the completion queue
    while (!ended && (await ignored()) === before) { /* the worker reaps it at its next pass */ }
    assert.equal(ended, false, `the ${method} did not end on the first ${method}'s entry`);
    assert.equal(await ignored(), before + 1);
    sim.advanceClock(10 * SECOND);
    const { err, result } = await second;
    assert.equal(err, null);
    assert.equal(result.status.sc, 0);
  }
});

// Five duplicated completions in a verified run at queue depth 128: the run neither fails on a mismatch that is not
// there nor ends any command early, and the five entries are counted.
test('a verified workload at queue depth 128 ignores duplicated completions and reports them', LIMIT, async () => {
  await ok(addon, 'enableDataValidator', { nsid: 1 });
  const before = await ignored();
  drive.duplicateCompletion({ count: 5, delayUs: 20 });
  const run = await ok(addon, 'startWorkloadGenerator', {
    queueDepth: 128, readPercent: 50, workload: 'random', range: { startLba: 0, size: 4096 }, loops: 16,
  });
  assert.deepEqual(run.errorHistory, []);
  assert.ok(run.read.perf.io > 0 && run.write.perf.io > 0);
  assert.equal(drive.pendingFaults(), 0);
  assert.equal(await ignored(), before + 5);
  await ok(addon, 'startWorkloadGenerator', { readPercent: 100, range: { startLba: 0, size: 4096 } });
});

test('a stray completion is counted and ends nothing', LIMIT, async () => {
  const before = await ignored();
  assert.equal(drive.strayCompletion({ qid: 1, cid: 0xFFF0, sct: 0, sc: 0 }), true);
  assert.equal(drive.strayCompletion({ qid: 9, cid: 1 }), false, 'no such queue');
  await ok(addon, 'read', 0, 8, {});  // polls queue 1
  assert.equal(await ignored(), before + 1);
  drive.keepAlive();
});
