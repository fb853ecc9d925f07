'use strict';
// Workloads on the simulated drive: the result object of a verified run, the multi-range "info", the error
// history of failed commands, and the runs that end in an Error (fatal status, data mismatch, bad set-up).
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, smallNamespaces, loadAddon, createDrive, freeBdf, ok, fails, call } = require('../nvme/helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf, { namespaces: smallNamespaces });

const PERF_KEYS = ['bandwidth', 'iops', 'xfer', 'io'];
const LATENCY_KEYS = ['first', 'perc50', 'perc90', 'perc99', 'nines3', 'nines4', 'nines5', 'nines6', 'nines7', 'nines8', 'unit'];

test('a workload before the drive is attached fails with a bare Error', async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
  const err = await fails(addon, 'startWorkloadGenerator', {});
  assert.equal(err.message, 'device not initialzied');
  assert.equal(err.info, undefined);
  assert.equal(err.read, undefined);
  await ok(addon, 'scanAttachment', 5000);
  await ok(addon, 'enableDataValidator', { nsid: 1 });
});

test('a verified read/write pass reports every I/O with latency and interval data', async () => {
  const result = await ok(addon, 'startWorkloadGenerator', {
    queueDepth: 16, readPercent: 50, range: { startLba: 1000, size: 4096 }, xferSize: 4096, loops: 2,
    features: { histogram: { enabled: true }, intervalStats: { enabled: true, delay: 100 } },
  });
  assert.deepEqual(Object.keys(result), ['info', 'read', 'write', 'trim', 'errorHistory']);
  assert.deepEqual(result.info, {
    queueDepth: 16, duration: result.info.duration, loops: 2, readPercent: 50, trimPercent: 0, xferSize: 4096,
    startLba: 1000, size: 4096, workload: 'sequential',
  });
  assert.ok(result.info.duration > 0);
  assert.equal(result.read.perf.io + result.write.perf.io, 2 * 4096 / 8, 'two passes of 8-block I/Os');
  assert.ok(result.read.perf.io > 0 && result.write.perf.io > 0);
  for (const dir of ['read', 'write']) {
    const s = result[dir];
    assert.deepEqual(Object.keys(s), ['perf', 'intervalData', 'latency']);
    assert.deepEqual(Object.keys(s.perf), PERF_KEYS);
    assert.equal(s.perf.xfer, s.perf.io * 4096);
    assert.ok(Math.abs(s.perf.iops - s.perf.io / result.info.duration) < 1e-6 * s.perf.iops);
    assert.deepEqual(s.intervalData, [], 'a run shorter than the warm-up has no samples');
    assert.deepEqual(Object.keys(s.latency), LATENCY_KEYS);
    assert.equal(s.latency.unit, 'us');
    assert.ok(s.latency.first > 0 && s.latency.perc50 >= s.latency.first);
  }
  assert.deepEqual(result.trim.perf, { bandwidth: 0, iops: 0, xfer: 0, io: 0 });
  assert.deepEqual(result.errorHistory, []);
});

test('a callback alone reads the whole first namespace once, sequentially, at the maximum queue depth', async () => {
  const info = await ok(addon, 'getDeviceInfo');
  const result = await new Promise((resolve, reject) => addon.startWorkloadGenerator((err, res) => (err ? reject(err) : resolve(res))));
  assert.deepEqual(result.info, {
    queueDepth: info.maxQueueDepth, duration: result.info.duration, loops: 1, readPercent: 100, trimPercent: 0,
    xferSize: 4096, startLba: 0, size: 1048576, workload: 'sequential',
  });
  assert.equal(result.read.perf.io, 1048576 / 8);
  assert.equal(result.write.perf.io, 0);
});

test('raw histogram data only with the histogram; trims are counted on their own', async () => {
  const withRaw = await ok(addon, 'startWorkloadGenerator', {
    readPercent: 0, trimPercent: 50, range: { startLba: 0, size: 512 }, queueDepth: 4,
    features: { histogram: { enabled: true, startUs: 1, endUs: 100000, precisions: 2, rawData: true } },
  });
  assert.equal(withRaw.trim.perf.io + withRaw.write.perf.io, 512 / 8);
  assert.ok(withRaw.trim.perf.io > 0);
  const raw = withRaw.write.histogramRawData;
  assert.deepEqual(Object.keys(raw), ['start', 'end', 'precision', 'data']);
  assert.equal(raw.data.reduce((sum, b) => sum + b.count, 0), withRaw.write.perf.io);
  const rawOnly = await ok(addon, 'startWorkloadGenerator', {
    range: { startLba: 0, size: 64 }, features: { histogram: { enabled: false, rawData: true } },
  });
  assert.deepEqual(Object.keys(rawOnly.read), ['perf']);
});

test('multi-range info lists the ranges and their transfer sizes', async () => {
  const xfers = [{ size: 512, probability: 1 }, { size: 4096, probability: 2 }, { size: 8192, probability: 3 }];
  const result = await ok(addon, 'startWorkloadGenerator', {
    type: 'MultiRange', queueDepth: 4,
    ranges: [
      { startLba: 0, size: 256, probability: 1, xfers, readPercent: 50 },
      { startLba: 2048, size: 256, probability: 3, xfers, workload: 'random' },
    ],
  });
  assert.deepEqual(Object.keys(result.info), ['queueDepth', 'duration', 'loops', 'ranges']);
  assert.equal(result.info.ranges.length, 2);
  assert.deepEqual(result.info.ranges[1], {
    startLba: 2048, size: 256, probability: 3, workload: 'random', readPercent: 100, trimPercent: 0, xfers,
  });
  assert.equal(result.info.ranges[0].workload, 'sequential');
});

test('an LBA list reports a random workload', async () => {
  const result = await ok(addon, 'startWorkloadGenerator', { range: [0, 8, 16], workload: 'sequential', xferSize: 512 });
  assert.equal(result.info.workload, 'random');
  assert.equal(result.read.perf.io, 3);
});

test('failed commands are listed by status; ignored statuses do not end the run', async () => {
  drive.injectStatus({ opcode: 0x01, sct: 2, sc: 0x81, count: 2 });
  drive.injectStatus({ opcode: 0x02, sct: 0, sc: 4, count: 1 });
  const result = await ok(addon, 'startWorkloadGenerator', {
    readPercent: 50, range: { startLba: 0, size: 1024 }, queueDepth: 1,
    ignoreError: [{ sct: 2, sc: 0x81 }, { sct: 0, sc: 4 }],
  });
  assert.equal(result.errorHistory.length, 3);
  const writes = result.errorHistory.filter((e) => e.sct === 2);
  assert.equal(writes.length, 2);
  assert.deepEqual(Object.keys(writes[0]), ['sct', 'sc', 'cmd', 'nsid', 'startLba', 'numBlocks']);
  assert.deepEqual(writes.map((e) => [e.sc, e.cmd, e.nsid, e.numBlocks]), [[0x81, 'Write', 1, 8], [0x81, 'Write', 1, 8]]);
  assert.ok(writes[0].startLba < writes[1].startLba, 'in the order they failed');
  const reads = result.errorHistory.filter((e) => e.sct === 0);
  assert.deepEqual(reads.map((e) => [e.sc, e.cmd]), [[4, 'Read']]);
  assert.equal(result.read.perf.io + result.write.perf.io, 1024 / 8, 'failed but not fatal I/Os still count');
});

test('a fatal status ends the run with an Error that carries the statistics', async () => {
  drive.injectStatus({ opcode: 0x02, sct: 0, sc: 6, count: 1 });
  const { err, result } = await call(addon, 'startWorkloadGenerator', { range: { startLba: 0, size: 1024 }, queueDepth: 1 });
  assert.equal(result, null);
  assert.ok(err instanceof Error);
  assert.equal(err.message, 'Internal Error (Details: Cmd=Read Nsid=1 StartLba=0 NumBlks=8 SCT/SC=0/6)');
  assert.deepEqual(Object.keys(err.read.perf), PERF_KEYS);
  assert.equal(err.read.perf.io, 0);
  assert.deepEqual(err.errorHistory, [{ sct: 0, sc: 6, cmd: 'Read', nsid: 1, startLba: 0, numBlocks: 8 }]);
  assert.equal(err.info.queueDepth, 1);
});

test('a corrupted block ends a verified read with "data mismatch"', async () => {
  await ok(addon, 'startWorkloadGenerator', { readPercent: 0, range: { startLba: 5000, size: 64 }, queueDepth: 2 });
  assert.equal(drive.corruptBlock(1, 5020), true);
  const err = await fails(addon, 'startWorkloadGenerator', { range: { startLba: 5000, size: 64 }, queueDepth: 1 });
  assert.equal(err.message, 'data mismatch');
  assert.equal(err.read.perf.io, 2, 'the two reads before the corrupted block count');
});

test('a pattern the namespace cannot hold fails through the callback', async () => {
  const err = await fails(addon, 'startWorkloadGenerator', { nsid: 2 });
  assert.ok(err.message.length > 0);
  assert.equal(err.read, undefined, 'a run refused during set-up has no statistics');
});
