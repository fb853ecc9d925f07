'use strict';
// A call that waits for the NVMe worker holds no thread of the host's worker pool: with more workloads running than
// the pool has threads, the script's own file operations and further NVMe calls still call back.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { smallNamespaces, loadSim, ok, driveSetup } = require('./helpers');

const sim = loadSim();
const { addon, bdf, drive, start } = driveSetup({ namespaces: smallNamespaces });
const POOL_THREADS = Number(process.env.UV_THREADPOOL_SIZE) || 4;  // libuv's default

const until = async (done) => { while (!done()) await new Promise(setImmediate); };

test('more running workloads than pool threads: a file read, getDeviceInfo and createQueuePair call back meanwhile',
  { timeout: 30000 }, async () => {
    assert.equal(start(), true);
    sim.clock(10);  // the attachment's 2 s wait
    await ok(addon, 'scanAttachment', 0);
    sim.clock(1);
    const ended = [];
    // A minute of the environment's clock: they run until the test moves that clock on (the command time-out is
    // longer, so no command in flight times out meanwhile).
    const runs = Array.from({ length: POOL_THREADS + 1 }, (_, i) => ok(addon, 'startWorkloadGenerator', {
      queueDepth: 2, range: { startLba: i * 64, size: 64 }, duration: 60, loops: 1e9,
    }).then(() => ended.push(i)));
    const served = drive.counters().commands + 1000;
    await until(() => drive.counters().commands >= served);

    assert.equal(await fs.promises.readFile(__filename, 'utf8'), fs.readFileSync(__filename, 'utf8'));
    assert.ok((await ok(addon, 'getDeviceInfo')).maxQueueDepth > 0);
    assert.ok(await ok(addon, 'createQueuePair', {}) > POOL_THREADS + 1);
    assert.deepEqual(ended, [], 'the workloads were still running');

    sim.advanceClock(61e6);
    await Promise.all(runs);
    assert.equal(ended.length, POOL_THREADS + 1);
  });
