'use strict';
// Workloads on the simulated drive: the result object of a verified run, the defaults, the multi-range and list
// "info", the error history of failed commands, and the runs that end in an Error.
const test = require('node:test');
const assert = require('node:assert/strict');
const { smallNamespaces, ok, fails, call, driveSetup } = require('../nvme/helpers');

const { addon, bdf, drive, start } = driveSetup({ namespaces: smallNamespaces });

const PERF_KEYS = ['bandwidth', 'iops', 'xfer', 'io'];

test('a workload before the drive is attached fails with a bare Error', async () => {
  assert.equal(start(), true);
  const err = await fails(addon, 'startWorkloadGenerator', {});
  assert.deepEqual([err.message, err.info, err.read], ['device not initialzied', undefined, undefined]);
  await ok(addon, 'scanAttachment', 5000);
  await ok(addon, 'enableDataValidator', { nsid: 1 });
});

test('a verified pass reports every I/O of each direction with latency, interval and raw histogram data', async () => {
  const result = await ok(addon, 'startWorkloadGenerator', {
    queueDepth: 16, readPercent: 50, trimPercent: 20, range: { startLba: 1000, size: 4096 }, xferSize: 4096, loops: 2,
    features: { histogram: { enabled: true, rawData: true }, intervalStats: { enabled: true, delay: 100 } },
  });
  assert.deepEqual(Object.keys(result), ['info', 'read', 'write', 'trim', 'errorHistory', 'errorHistoryDropped']);
  const { duration } = result.info;
  assert.ok(duration > 0);
  assert.deepEqual(result.info, { queueDepth: 16, duration, loops: 2, readPercent: 50, trimPercent: 20, xferSize: 4096,
    startLba: 1000, size: 4096, workload: 'sequential' });
  assert.equal(result.read.perf.io + result.write.perf.io + result.trim.perf.io, 2 * 4096 / 8);
  for (const { perf, intervalData, latency, histogramRawData: raw } of [result.read, result.write, result.trim]) {
    assert.deepEqual(Object.keys(perf), PERF_KEYS);
    assert.ok(perf.io > 0);
    assert.equal(perf.xfer, perf.io * 4096);
    assert.ok(Math.abs(perf.iops - perf.io / duration) < 1e-6 * perf.iops);
    assert.ok(Math.abs(perf.bandwidth - perf.xfer / duration) < 1e-6 * perf.bandwidth);
    assert.deepEqual(intervalData, [], 'a run shorter than the warm-up has no samples');
    assert.deepEqual(Object.keys(latency), ['first', 'perc50', 'perc90', 'perc99', 'nines3', 'nines4', 'nines5',
      'nines6', 'nines7', 'nines8', 'unit']);
    assert.ok(latency.unit === 'us' && latency.first > 0 && latency.perc50 >= latency.first);
    assert.deepEqual(Object.keys(raw), ['start', 'end', 'precision', 'data']);
    assert.equal(raw.data.reduce((sum, bucket) => sum + bucket.count, 0), perf.io);
  }
  assert.deepEqual(result.errorHistory, []);
});

test('a callback alone reads the whole first namespace once, sequentially, at the maximum queue depth', async () => {
  const result = await new Promise((resolve) => addon.startWorkloadGenerator((err, res) => resolve(res)));
  assert.deepEqual(result.info, { queueDepth: 1024, duration: result.info.duration, loops: 1, readPercent: 100,
    trimPercent: 0, xferSize: 4096, startLba: 0, size: 1048576, workload: 'sequential' });
  assert.deepEqual([result.read.perf.io, result.write.perf.io, result.trim.perf.io], [1048576 / 8, 0, 0]);
  const histogram = { enabled: true };
  const latency = await ok(addon, 'startWorkloadGenerator', { range: '4K', features: { histogram } });
  assert.deepEqual(Object.keys(latency.read), ['perf', 'latency'], 'raw data only when asked for');
});

test('the info of a multi-range run lists its ranges; a list of LBAs is a random run', async () => {
  const xfers = [{ size: 512, probability: 1 }, { size: 4096, probability: 2 }];
  const result = await ok(addon, 'startWorkloadGenerator', {
    type: 'MultiRange', queueDepth: 4, ranges: [
      { startLba: 0, size: 256, probability: 1, xfers, readPercent: 50 },
      { startLba: 2048, size: 256, probability: 3, xfers, workload: 'random', trimPercent: 20, readPercent: 30 },
    ],
  });
  assert.deepEqual(Object.keys(result.info), ['queueDepth', 'duration', 'loops', 'ranges']);
  assert.deepEqual(Object.keys(result.info.ranges[0]),
    ['startLba', 'size', 'probability', 'workload', 'readPercent', 'trimPercent', 'xfers']);
  assert.deepEqual(result.info.ranges, [
    { startLba: 0, size: 256, probability: 1, workload: 'sequential', readPercent: 50, trimPercent: 0, xfers },
    { startLba: 2048, size: 256, probability: 3, workload: 'random', readPercent: 30, trimPercent: 20, xfers },
  ]);
  const list = await ok(addon, 'startWorkloadGenerator', { range: [0, 8, 16], workload: 'sequential', xferSize: 512 });
  assert.deepEqual([list.info.workload, list.read.perf.io], ['random', 3]);
});

test('failed commands are listed in order; ignored and unknown statuses do not end the run', async () => {
  drive.injectStatus({ opcode: 0x01, sct: 2, sc: 0x81, count: 2 });
  drive.injectStatus({ opcode: 0x02, sct: 0, sc: 0x23, count: 1 });
  const result = await ok(addon, 'startWorkloadGenerator', {
    readPercent: 50, range: { startLba: 0, size: 1024 }, queueDepth: 1, ignoreError: [{ sct: 2, sc: 0x81 }],
  });
  const writes = result.errorHistory.filter((e) => e.sct === 2);
  const write = [0x81, 'Write', 1, 8];
  assert.deepEqual(writes.map((e) => [e.sc, e.cmd, e.nsid, e.numBlocks]), [write, write]);
  assert.ok(writes[0].startLba < writes[1].startLba);
  assert.deepEqual(result.errorHistory.filter((e) => e.sct === 0).map((e) => [e.sc, e.cmd]), [[0x23, 'Read']]);
  assert.equal(result.read.perf.io + result.write.perf.io, 1024 / 8, 'failed but not fatal I/Os still count');
  assert.equal(result.errorHistoryDropped, 0);
});

test('the error history keeps the first 1000 failures and counts the rest', async () => {
  drive.injectStatus({ opcode: 0x02, sct: 2, sc: 0x81, count: 1200 });
  const result = await ok(addon, 'startWorkloadGenerator', {
    range: { startLba: 0, size: 1300 * 8 }, queueDepth: 1, ignoreError: [{ sct: 2, sc: 0x81 }],
  });
  assert.equal(result.errorHistory.length, 1000);
  assert.deepEqual([result.errorHistory[999].startLba, result.errorHistoryDropped], [999 * 8, 200]);
});

test('a histogram too large to keep, or raw data too large to deliver, is refused before the run', async () => {
  const commands = drive.counters().commands;
  const histogram = (precisions, rawData) => ({ features: { histogram: { enabled: true, rawData, precisions } } });
  assert.match((await fails(addon, 'startWorkloadGenerator', histogram(7, false))).message,
    /precisions 7 from 1 to 100000000 us has 72000000 buckets \(576000000 bytes per I\/O direction\); at most 10000000/);
  assert.match((await fails(addon, 'startWorkloadGenerator', histogram(6, true))).message,
    /has 7200000 buckets .*; rawData delivers at most 1000000/);
  assert.equal(drive.counters().commands, commands);
  const result = await ok(addon, 'startWorkloadGenerator', { range: '4K', ...histogram(6, false) });
  assert.ok(result.read.latency.first > 0);
});

test('a run that ends in an Error reports the time it ran and the rates over it', async () => {
  await ok(addon, 'startWorkloadGenerator', { range: { startLba: 0, size: 512 }, readPercent: 0, queueDepth: 1 });
  drive.corruptBlock(1, 500);
  const err = await fails(addon, 'startWorkloadGenerator', { range: { startLba: 0, size: 512 }, queueDepth: 1 });
  assert.equal(err.message, 'data mismatch');
  assert.equal(err.read.perf.io, 62);
  assert.ok(err.info.duration > 0);
  assert.ok(Math.abs(err.read.perf.iops - 62 / err.info.duration) < 1e-6 * err.read.perf.iops);
  assert.ok(Number.isFinite(err.read.perf.bandwidth) && err.read.perf.bandwidth > 0);
});

test('a fatal status ends the run with an Error that carries the statistics', async () => {
  drive.injectStatus({ opcode: 0x02, sct: 0, sc: 6, count: 1 });
  const err = await fails(addon, 'startWorkloadGenerator', { range: { startLba: 0, size: 1024 }, queueDepth: 1 });
  assert.equal(err.message, 'Internal Error (Details: Cmd=Read Nsid=1 StartLba=0 NumBlks=8 SCT/SC=0/6)');
  assert.deepEqual(err.read.perf, { bandwidth: 0, iops: 0, xfer: 0, io: 0 });
  assert.deepEqual(err.errorHistory, [{ sct: 0, sc: 6, cmd: 'Read', nsid: 1, startLba: 0, numBlocks: 8 }]);
  assert.equal(err.info.queueDepth, 1);
});

test('a queue pair that a workload fills: the later commands on it say it has no free slot and what to do', async () => {
  const qid = await ok(addon, 'createQueuePair');
  // The first workload's reads stay on the drive for a second each: every slot is taken meanwhile.
  drive.delayCompletion({ opcode: 0x02, qid, nsid: 4, count: 2048, delayUs: 1000000 });
  const options = { qid, nsid: 4, queueDepth: 1024, range: '8m' };
  const [first, second, read] = await Promise.all([call(addon, 'startWorkloadGenerator', options),
    call(addon, 'startWorkloadGenerator', options), call(addon, 'read', 0, 8, { qid, nsid: 4 })]);
  assert.equal(first.err, null);
  for (const { err } of [second, read]) {
    assert.equal(err.message, 'The queue pair has no free slot: the commands in flight on it already fill its queue ' +
      'depth; wait for them to end, use a lower queue depth or another queue pair');
  }
});
