'use strict';
// A failing drive never hangs a script. Each fault as a script sees it on the simulated drive, timed on the
// environment's clock (running 10 times faster here): the call ends within its command time-out plus 5 s with an
// Error that says why, and the drive works again after the recovery that the Error names.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, smallNamespaces, loadAddon, loadSim, createDrive, freeBdf, ok, call } = require('./helpers');

const { KytAddon } = loadAddon();
const sim = loadSim();
sim.clock(10);
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf, { namespaces: smallNamespaces });
const TIMEOUT_MS = 1000;
const FAILED = 'Controller has failed: reset the controller, or scan for removal and attachment';
const GONE = 'Device is not responding (removed or powered off): scan for removal and attachment';
const LIMIT = { timeout: 30000 };  // a hang fails the test instead of stalling the run

// The call's outcome and how long it took on the environment's clock, checked against the bound.
async function timed(method, ...args) {
  const start = sim.clock();
  const outcome = await call(addon, method, ...args);
  outcome.ms = (sim.clock() - start) / 1000;
  assert.ok(outcome.ms <= TIMEOUT_MS + 5000, `${method} took ${outcome.ms} ms`);
  return outcome;
}

// Resolves once the drive has fetched `n` more commands (the workload is under way).
async function served(n) {
  const target = drive.counters().commands + n;
  while (drive.counters().commands < target) await new Promise(setImmediate);
}

// A verified random workload on namespace 1 that runs until something ends it.
function workload(options = {}) {
  return timed('startWorkloadGenerator', {
    queueDepth: 16, readPercent: 50, workload: 'random', range: { startLba: 0, size: 4096 }, loops: 1e9, ...options,
  });
}

async function rescan() {
  await ok(addon, 'scanRemoval');
  await ok(addon, 'scanAttachment', TIMEOUT_MS);
  assert.equal(await ok(addon, 'createQueuePair', {}), 1);
}

test('attach with a 1 s command time-out, a queue pair and verified data', LIMIT, async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
  await ok(addon, 'scanAttachment', TIMEOUT_MS);
  assert.equal(await ok(addon, 'createQueuePair', {}), 1);
  await ok(addon, 'enableDataValidator', { nsid: 1 });
});

test('a read whose completion never comes ends at its deadline: "Command Timed Out", with its completion', LIMIT,
  async () => {
    drive.dropCompletion({ opcode: 0x02, count: 1 });
    const { err, ms } = await timed('read', 0, 8, {});
    assert.equal(err.message, 'Command Timed Out');
    assert.ok(ms >= TIMEOUT_MS);
    assert.deepEqual([err.data.sqid, err.data.status.sct, err.data.status.sc, err.data.status.dnr], [1, 3, 0x71, 1]);
    await rescan();
    await ok(addon, 'write', 0, 8, {});
    await ok(addon, 'read', 0, 8, {});
  });

test('after a time-out a reset that says OK leaves a drive that takes commands again', LIMIT, async () => {
  drive.dropCompletion({ opcode: 0x02, count: 1 });
  assert.equal((await timed('read', 0, 8, {})).err.message, 'Command Timed Out');
  assert.equal((await timed('read', 0, 8, {})).err.message, 'Command Timed Out', 'refused until a reset');
  assert.deepEqual(await ok(addon, 'resetController'), { status: 'OK' });
  assert.equal(await ok(addon, 'createQueuePair', {}), 1);
  await ok(addon, 'read', 0, 8, {});
});

test('a reset whose admin completions are lost ends in time and leaves a controller that says so', LIMIT, async () => {
  drive.dropCompletion({ admin: true, count: -1 });
  assert.equal((await timed('resetController')).err.message, 'Controller init failed');
  assert.equal((await timed('createQueuePair', {})).err.message, FAILED);
  drive.clearFaults();
  await ok(addon, 'resetController');
  assert.equal(await ok(addon, 'createQueuePair', {}), 1);
});

test('a reset ends a running workload; after a power cycle it says to scan, and the scan brings the drive back',
  LIMIT, async () => {
    const run = workload();
    await served(200);
    await ok(addon, 'resetController');
    assert.ok((await run).err.read, 'the workload ended with its statistics');
    assert.equal(await ok(addon, 'createQueuePair', {}), 1);
    drive.powerOff();
    drive.powerOn();
    assert.match((await timed('resetController')).err.message, /; scan for removal and attachment$/);
    assert.equal((await timed('createQueuePair', {})).err.message, GONE);
    await rescan();
  });

test('a workload whose completions stop ends at the deadline: "IO Command Timeout", with its statistics', LIMIT,
  async () => {
    const run = workload();
    await served(200);
    drive.dropCompletion({ count: -1 });
    const { err, ms } = await run;
    assert.match(err.message, /^IO Command Timeout \(Details: Cmd=(Read|Write) Nsid=1 .* SCT\/SC=3\/113\)$/);
    assert.ok(ms >= TIMEOUT_MS);
    assert.ok(err.read.perf.io + err.write.perf.io > 0, 'what it did before is reported');
    assert.ok(err.errorHistory.some((e) => e.sct === 3 && e.sc === 0x71));
    drive.clearFaults();
    await rescan();
  });

test('a fatal status ends a workload and every later command at once, saying what to do', LIMIT, async () => {
  const run = workload();
  await served(200);
  drive.setFatal(true);
  const { err } = await run;
  assert.equal(err.message, FAILED);
  assert.ok(err.read, 'with its statistics');
  assert.equal((await timed('read', 0, 8, {})).err.message, FAILED);
  drive.setFatal(false);
  await rescan();
});

test('the queue pair of a running workload cannot be deleted; the script\'s own can, and that ends the workload', LIMIT,
  async () => {
    const own = workload();
    await served(200);
    const refused = await timed('deleteQueuePair', 2);
    assert.equal(refused.err.message, 'Queue pair 2 belongs to a running workload');
    await ok(addon, 'scanRemoval');  // a removal scan ends it too
    assert.equal((await own).err.message, 'Device was detached during the workload');
    await ok(addon, 'scanAttachment', TIMEOUT_MS);
    assert.equal(await ok(addon, 'createQueuePair', {}), 1);

    const shared = workload({ qid: 1 });
    await served(200);
    await ok(addon, 'deleteQueuePair', 1);
    const { err } = await shared;
    assert.match(err.message, /^Command Abort (due to SQ Deletion|Requested) \(Details: /);
    assert.ok(err.read, 'with its statistics');
    assert.equal(await ok(addon, 'createQueuePair', {}), 1);
  });

test('power lost under a workload ends it; after the power comes back a rescan brings the drive back, verified', LIMIT,
  async () => {
    const run = workload();
    await served(200);
    drive.powerOff();
    assert.equal((await run).err.message, GONE);
    assert.equal((await timed('write', 0, 8, {})).err.message, GONE);
    drive.powerOn();
    await rescan();
    const pass = await ok(addon, 'startWorkloadGenerator', {
      queueDepth: 16, readPercent: 50, range: { startLba: 0, size: 4096 }, loops: 2,
    });
    assert.deepEqual(pass.errorHistory, []);
  });

test('a drive pulled under a workload ends it', LIMIT, async () => {
  const run = workload();
  await served(200);
  drive.remove();
  assert.equal((await run).err.message, GONE);
  drive.keepAlive();
});
