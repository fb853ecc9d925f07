'use strict';
// A failing drive never hangs a script. Each fault as a script sees it on the simulated drive: the call ends with an
// Error that says why, and the drive works again after the recovery that the Error names. A call that waits for its
// command time-out ends only once the test has moved the environment's clock past it (sim.advanceClock), and then
// within 5 s of that clock; every other call ends within 5 s. Outside the attachments the clock runs at a tenth of
// real time: no deadline of the drive passes by itself while the test runs, so no load can make a command time out,
// and a call that ends by its event stays within its 5 s (50 s of real time) however slowly the machine runs it.
const test = require('node:test');
const assert = require('node:assert/strict');
const { smallNamespaces, loadSim, ok, call, driveSetup } = require('./helpers');

const sim = loadSim();
const { addon, bdf, drive, start } = driveSetup({ namespaces: smallNamespaces });
const TIMEOUT_MS = 30000;
const FAILED = 'Controller has failed: reset the controller, or scan for removal and attachment';
const GONE = 'Device is not responding (removed or powered off): scan for removal and attachment';
const LIMIT = { timeout: 60000 };  // a hang fails the test instead of stalling the run

const until = async (done) => { while (!done()) await new Promise(setImmediate); };

// Calls back with {err, result, ms}: how long the call took on the environment's clock, read when it called back.
function measured(method, ...args) {
  const start = sim.clock();
  return call(addon, method, ...args).then((outcome) => ({ ...outcome, ms: (sim.clock() - start) / 1000 }));
}

// With `deadline`, the clock moves past the command time-out once the drive has the command; the call must not end
// before that.
async function timed(method, args = [], deadline = false) {
  const fetched = drive.counters().commands + 1;
  const pending = measured(method, ...args);
  if (deadline) {
    await until(() => drive.counters().commands >= fetched);
    sim.advanceClock(TIMEOUT_MS * 1000);
  }
  const outcome = await pending;
  const [low, high] = deadline ? [TIMEOUT_MS, TIMEOUT_MS + 5000] : [0, 5000];
  assert.ok(outcome.ms >= low && outcome.ms <= high, `${method} took ${outcome.ms} ms`);
  return outcome;
}

// Resolves once the drive has fetched `n` more commands (the workload is under way).
const served = (n, target = drive.counters().commands + n) => until(() => drive.counters().commands >= target);

// A verified random workload on namespace 1 that runs until something ends it.
const workload = (options = {}) => measured('startWorkloadGenerator', {
  queueDepth: 16, readPercent: 50, workload: 'random', range: { startLba: 0, size: 4096 }, loops: 1e9, ...options,
});

// An attachment waits 2 s of the environment's clock before it enables the controller: that wait runs 4 times faster.
async function attach() {
  sim.clock(4);
  const { err } = await call(addon, 'scanAttachment', TIMEOUT_MS);
  sim.clock(1 / 10);
  assert.equal(err, null);
  assert.equal(await ok(addon, 'createQueuePair', {}), 1);
}

const rescan = async () => { await ok(addon, 'scanRemoval'); await attach(); };

test('attach with a 30 s command time-out, a queue pair and verified data', LIMIT, async () => {
  assert.equal(start(), true);
  await attach();
  await ok(addon, 'enableDataValidator', { nsid: 1 });
});

test('a read whose completion never comes ends at its deadline, "Command Timed Out" with its completion; until a reset '
  + 'or a rescan every command is refused so', LIMIT, async () => {
  const reset = async () => { await ok(addon, 'resetController'); await ok(addon, 'createQueuePair'); };
  for (const recover of [rescan, reset]) {
    drive.dropCompletion({ opcode: 0x02, count: 1 });
    const { err } = await timed('read', [0, 8, {}], true);
    assert.equal(err.message, 'Command Timed Out');
    assert.deepEqual([err.data.sqid, err.data.status.sct, err.data.status.sc, err.data.status.dnr], [1, 3, 0x71, 1]);
    assert.equal((await timed('write', [0, 8, {}])).err.message, 'Command Timed Out');
    await recover();
    await ok(addon, 'write', 0, 8, {});
    await ok(addon, 'read', 0, 8, {});
  }
});

test('a reset whose admin completions are lost ends at its deadline and leaves a controller that says so', LIMIT,
  async () => {
    drive.dropCompletion({ admin: true, count: -1 });
    const { err } = await timed('resetController', [], true);
    assert.equal(err.message, 'Controller init failed');
    assert.match(err.data.cause, /^the initialisation's step "wait for .*" got no answer within the command time-out/);
    assert.equal(err.data.action, 'reset the controller again, or scan for removal and attachment');
    assert.equal((await timed('createQueuePair', [{}])).err.message, FAILED);
    drive.clearFaults();
    await ok(addon, 'resetController');
    assert.equal(await ok(addon, 'createQueuePair', {}), 1);
  });

test('the queue pair of a running workload cannot be deleted; the script\'s own can, and that ends the workload', LIMIT,
  async () => {
    const own = workload();
    await served(200);
    assert.equal((await timed('deleteQueuePair', [2])).err.message, 'Queue pair 2 belongs to a running workload');
    await ok(addon, 'scanRemoval');  // a removal scan ends it too
    assert.equal((await own).err.message, 'Device was detached during the workload');
    await attach();

    const shared = workload({ qid: 1 });
    await served(200);
    await ok(addon, 'deleteQueuePair', 1);
    const { err } = await shared;
    assert.match(err.message, /^Command Abort (due to SQ Deletion|Requested) \(Details: /);
    assert.ok(err.read, 'with its statistics');
    assert.equal(await ok(addon, 'createQueuePair', {}), 1);
  });

// Another command's time-out lets a running workload's I/O go on to its end; the workload's closing deletion is then
// refused, and it ends with the deletion's time-out text and its statistics. Its queue pair waits for the reset.
test('a workload whose own I/O completed while another command timed out ends "Delete IO Queue Command Timeout"', LIMIT,
  async () => {
    const run = workload({ duration: 40 });  // 40 s of the environment's clock
    await served(200);
    const lost = drive.counters().injected + 1;
    drive.dropCompletion({ admin: true, opcode: 0x0a, count: 1 });
    const other = call(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 0x0a, cdw10: 1 }, Buffer.alloc(0), false);
    await until(() => drive.counters().injected >= lost);
    sim.advanceClock(25 * 1000000);  // in two steps: none of the workload's own I/Os is ever that old
    await served(200);
    sim.advanceClock(6 * 1000000);
    assert.equal((await other).err.message, 'Command Timed Out');
    sim.advanceClock(10 * 1000000);  // past the workload's duration
    const { err } = await run;
    assert.equal(err.message, 'Delete IO Queue Command Timeout');
    assert.match(err.data.cause, /^the run's I\/O ended, but another command passed the command time-out/);
    assert.deepEqual(err.errorHistory, []);
    assert.ok(err.read.perf.io + err.write.perf.io > 0, 'its statistics');
    assert.equal((await call(addon, 'createQueuePair', {})).err.message, 'Command Timed Out');
    await ok(addon, 'resetController');
    assert.equal(await ok(addon, 'createQueuePair', {}), 1);
  });

// Each fault ends a running workload with its statistics and its text; the commands after it say the same, until the
// recovery the text names.
test('faults under a running workload end it, and the calls after it, with what to do', LIMIT, async () => {
  const afterReset = async () => {
    assert.equal(await ok(addon, 'createQueuePair', {}), 1);
    drive.powerOff();
    drive.powerOn();  // the device forgot its set-up: a reset cannot bring it back
    const { err } = await timed('resetController');
    assert.equal(err.message, 'Failed to read from CC register');
    assert.match(err.data.cause, /^the device left the bus since it was attached/);
    assert.equal(err.data.action, 'scan for removal and attachment (scanRemoval, then scanAttachment)');
    assert.equal((await timed('createQueuePair', [{}])).err.message, GONE);
    await rescan();
  };
  const stopCompletions = async () => {
    const lost = drive.counters().injected + 1;
    drive.dropCompletion({ count: -1 });
    await until(() => drive.counters().injected >= lost);  // a command in flight is lost
    sim.advanceClock(TIMEOUT_MS * 1000);
  };
  for (const [fault, message, recover] of [
    [() => ok(addon, 'resetController'), null, afterReset],
    [stopCompletions, 'IO Command Timeout',
      async () => { drive.clearFaults(); await rescan(); }],
    [() => drive.setFatal(true), FAILED, async () => { drive.setFatal(false); await rescan(); }],
    [() => drive.powerOff(), GONE, async () => { drive.powerOn(); await rescan(); }],
    [() => drive.remove(), GONE, null],
  ]) {
    const run = workload();
    await served(200);
    await fault();
    const { err, ms } = await run;
    assert.ok(fault === stopCompletions ? ms >= TIMEOUT_MS && ms <= TIMEOUT_MS + 5000 : ms <= 5000, `${ms} ms`);
    if (message) assert.equal(err.message, message);
    assert.ok(err.read.perf.io + err.write.perf.io > 0, 'what it did before is reported');
    if (message === FAILED || message === GONE) assert.equal((await timed('write', [0, 8, {}])).err.message, message);
    if (fault === stopCompletions) {
      assert.ok(err.errorHistory.some((e) => e.sct === 3 && e.sc === 0x71));
      assert.match(err.data.cause,
        /^the I\/O passed the command time-out \(Details: Cmd=(Read|Write) Nsid=1 .* SCT\/SC=3\/113\)$/);
    }
    if (!recover) break;
    await recover();
    const pass = await ok(addon, 'startWorkloadGenerator', { readPercent: 50, range: { startLba: 0, size: 4096 } });
    assert.deepEqual(pass.errorHistory, [], 'the drive is back, its data verified');
  }
  drive.keepAlive();
});

