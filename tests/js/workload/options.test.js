'use strict';
// startWorkloadGenerator's options: every refusal is a TypeError with its exact text and starts nothing.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, loadAddon, createDrive, freeBdf, ok, fails } = require('../nvme/helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
createDrive(bdf);

const P = 'startWorkloadGenerator : ';
const noop = () => assert.fail('a refused workload must not call back');

function refuses(options, message) {
  assert.throws(() => addon.startWorkloadGenerator(options, noop), (err) => {
    assert.ok(err instanceof TypeError, `${err} is not a TypeError`);
    assert.equal(err.message, P + message);
    return true;
  });
}

test('before the driver runs the method is refused without a name', () => {
  assert.throws(() => addon.startWorkloadGenerator(noop), { name: 'TypeError', message: 'NVMe driver is not loaded yet' });
});

test('start the driver', async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
  await ok(addon, 'scanAttachment', 5000);
});

test('arguments and common options', () => {
  assert.throws(() => addon.startWorkloadGenerator(), { message: P + 'requires 1 or 2 arguments' });
  assert.throws(() => addon.startWorkloadGenerator({}), { message: P + 'argument callback must be a Function' });
  assert.throws(() => addon.startWorkloadGenerator(5, noop), { message: P + 'argument option must be an Object' });
  refuses({ queueDepth: 'x' }, 'options.queueDepth must be a Number');
  refuses({ qid: true }, 'options.qid must be a Number');
  refuses({ dataPattern: Buffer.alloc(12) }, 'options.dataPattern should be a Buffer with size that is multiples of 8.');
  refuses({ ignoreError: 3 }, 'options.ignoreErrormust be a Array');
  refuses({ type: 'Foo' }, 'options.type, "Foo", is not a valid type');
  refuses({ type: 7 }, 'options.type must be a String');
});

test('features', () => {
  refuses({ features: 1 }, 'options.features must be an Object');
  refuses({ features: { powerControl: 'on' } }, 'options.features.powerControl must be an Object');
  refuses({ features: { powerControl: { enabled: 1 } } }, 'options.features.powerControl.enabled must be a Boolean');
  refuses({ features: { powerControl: { enabled: true, offHoldTimeMs: 'x' } } },
    'options.features.powerControl.offHoldTimeMs must be a Number');
  const H = 'options.features.histogram';
  refuses({ features: { histogram: 2 } }, `${H} must be an Object`);
  refuses({ features: { histogram: { enabled: true, startUs: 0 } } }, `${H}.startUs must be greater than 0`);
  refuses({ features: { histogram: { enabled: true, endUs: 0 } } }, `${H}.endUs must be greater than 0`);
  refuses({ features: { histogram: { enabled: true, precisions: 8 } } }, `${H}.precisions must be greater than 0 and less than 8`);
  refuses({ features: { histogram: { enabled: true, precisions: 0 } } }, `${H}.precisions must be greater than 0 and less than 8`);
  refuses({ features: { histogram: { enabled: true, startUs: 1000, endUs: 1000 } } },
    `${H}.endUs must be greater than ${H}.startUs`);
  refuses({ features: { histogram: { enabled: true, startUs: 10, endUs: 500 } } }, `log10 of ${H}.endUs must be an integer value`);
  refuses({ features: { histogram: { enabled: true, startUs: 20, endUs: 1000 } } }, `log10 of ${H}.startUs must be an integer value`);
  // A disabled histogram's other members are not read: only the next feature's fault is reported.
  refuses({ features: { histogram: { enabled: false, startUs: 0 }, intervalStats: 'x' } },
    'options.features.intervalStats must be an Object');
  refuses({ features: { intervalStats: { enabled: true, interval: 'x' } } }, 'options.features.intervalStats.interval must be a Number');
});

test('basic pattern', () => {
  refuses({ workload: 'zigzag' }, 'options.workload is not a valid workload');
  refuses({ readPercent: 101 }, 'options.readPercent must be an integer between 0 and 100');
  refuses({ trimPercent: 101 }, 'options.trimPercent must be an integer between 0 and 100');
  refuses({ readPercent: 60, trimPercent: 41 }, 'options.readPercent + option.trimPercent must be between 0 and 100');
  refuses({ xferSize: 1000 }, 'options.xferSize must be mutples of 512');
  refuses({ xferSize: -512 }, 'options.xferSize must not be negative');
  refuses({ xferSize: 2 ** 31 }, 'options.xferSize must not be negative');  // read as a 32-bit integer
  refuses({ duration: -1 }, 'options.duration must be a non-negative integer');
  refuses({ loops: 0 }, 'options.loops must be a positive integer');
  for (const range of ['0%', '101%', '50 %', '12x', '%', 'k', '99999999999999999999999k']) {
    refuses({ range }, `options.range "${range}" is not a valid range`);
  }
  refuses({ range: [] }, 'options.range must not be an empty Array');
  refuses({ range: [0, 'a'] }, 'argument "options.range[1]" must be a Number');
  refuses({ range: { startLba: 0 } }, 'range.size is required');
  refuses({ range: 5 }, 'options.range must be either a String or an Object');
});

test('multi-range pattern', () => {
  refuses({ type: 'MultiRange' }, 'options.ranges is required');
  refuses({ type: 'multirange', ranges: [] }, 'options.ranges must not be an empty Array');
  refuses({ type: 'multirange', loops: 0, ranges: [] }, 'options.loops must be a positive integer');
  const R = 'options.ranges[0]';
  const range = { startLba: 0, size: 8, probability: 1, xfers: [{ size: 4096, probability: 1 }] };
  refuses({ type: 'multirange', ranges: [3] }, `argument "${R}" must be an Object`);
  refuses({ type: 'multirange', ranges: [{ ...range, workload: 'x' }] }, `${R}.workload is not a valid workload`);
  refuses({ type: 'multirange', ranges: [{ ...range, readPercent: 70, trimPercent: 31 }] },
    `${R}.readPercent + ${R}.trimPercent must be between 0 and 100`);
  refuses({ type: 'multirange', ranges: [{ ...range, size: 0 }] }, `${R}.size must be greater than 0`);
  refuses({ type: 'multirange', ranges: [{ ...range, probability: 0 }] }, `${R}.probability must be greater than 0`);
  refuses({ type: 'multirange', ranges: [{ ...range, xfers: [] }] }, `${R}.xfers must not be an empty Array`);
  refuses({ type: 'multirange', ranges: [range, { ...range, xfers: [{ size: 0, probability: 1 }] }] },
    'options.ranges[1].xfers[0].size must be greater than 0');
  refuses({ type: 'multirange', ranges: [{ ...range, startLba: undefined }] }, `${R}.startLba is required`);
});

test('accepted spellings reach the worker', async () => {
  const { err } = await new Promise((resolve) => addon.startWorkloadGenerator(
    { type: 'Basic', workload: 'Random', range: '4K', xferSize: 0, duration: 0, queueDepth: 2,
      features: { histogram: { enabled: true, startUs: 10, endUs: 1000 }, intervalStats: { enabled: false, interval: 'ignored' } } },
    (e, r) => resolve({ err: e, result: r })));
  assert.equal(err, null);
});

test('values that cannot be run on the drive are refused before any I/O with a TypeError', async () => {
  for (const [options, message] of [
    [{ xferSize: 1 << 20 }, P + 'options.xferSize must be at most 131072, the largest transfer of namespace 1'],
    [{ qid: 9 }, P + 'Invalid qid'],
  ]) {
    const err = await fails(addon, 'startWorkloadGenerator', options);
    assert.ok(err instanceof TypeError, `${err} is not a TypeError`);
    assert.equal(err.message, message);
  }
});
