'use strict';
// startWorkloadGenerator's options: one row per distinct check, each a TypeError with its exact text that starts
// nothing; values the drive cannot run are refused, before any I/O, through the callback.
const test = require('node:test');
const assert = require('node:assert/strict');
const { ok, fails, driveSetup } = require('../nvme/helpers');

const { addon, bdf, drive, start } = driveSetup();

const P = 'startWorkloadGenerator : ';
const noop = () => assert.fail('a refused workload must not call back');
const H = 'options.features.histogram';
const R = 'options.ranges[0]';
const range = { startLba: 0, size: 8, probability: 1, xfers: [{ size: 4096, probability: 1 }] };
const multi = (edit, more = {}) => ({ type: 'multirange', ranges: [{ ...range, ...edit }], ...more });
const histogram = (h) => ({ features: { histogram: { enabled: true, ...h } } });

test('start the driver', async () => {
  assert.equal(start(), true);
  await ok(addon, 'scanAttachment', 5000);
});

test('refused options', () => {
  for (const [args, message] of [[[], 'requires 1 or 2 arguments'], [[{}], 'argument callback must be a Function'],
    [[5, noop], 'argument option must be an Object']]) {
    assert.throws(() => addon.startWorkloadGenerator(...args), { name: 'TypeError', message: P + message });
  }
  for (const [options, message] of [
    [{ dataPattern: Buffer.alloc(12) }, 'options.dataPattern should be a Buffer with size that is multiples of 8.'],
    [{ ignoreError: 3 }, 'options.ignoreErrormust be a Array'],
    // A code the script's value cannot give is refused, never taken as 0 (an ignored success status).
    [{ ignoreError: [{ sct: 0, sc: Symbol('s') }] }, 'property "sc" could not be converted to a Number'],
    [{ type: 'Foo' }, 'options.type, "Foo", is not a valid type'],
    [{ features: 1 }, 'options.features must be an Object'],
    [histogram({ startUs: 0 }), `${H}.startUs must be greater than 0`],
    [histogram({ endUs: 0 }), `${H}.endUs must be greater than 0`],
    ...[0, 8].map((n) => [histogram({ precisions: n }), `${H}.precisions must be greater than 0 and less than 8`]),
    [histogram({ startUs: 1000, endUs: 1000 }), `${H}.endUs must be greater than ${H}.startUs`],
    [histogram({ startUs: 10, endUs: 500 }), `log10 of ${H}.endUs must be an integer value`],
    [histogram({ startUs: 20, endUs: 1000 }), `log10 of ${H}.startUs must be an integer value`],
    // A disabled histogram's other members are not read.
    [{ features: { histogram: { enabled: false, startUs: 0 }, intervalStats: 'x' } },
      'options.features.intervalStats must be an Object'],
    [{ workload: 'zigzag' }, 'options.workload is not a valid workload'],
    [{ readPercent: 101 }, 'options.readPercent must be an integer between 0 and 100'],
    [{ trimPercent: 101 }, 'options.trimPercent must be an integer between 0 and 100'],
    [{ readPercent: 60, trimPercent: 41 }, 'options.readPercent + option.trimPercent must be between 0 and 100'],
    [{ xferSize: 1000 }, 'options.xferSize must be mutples of 512'],
    [{ xferSize: 2 ** 31 }, 'options.xferSize must not be negative'],  // read as a 32-bit integer
    // Whole seconds and loops only: 0.5 s was taken as 0, no limit at all.
    ...[-1, 0.5, NaN].map((d) => [{ duration: d }, 'options.duration must be a non-negative integer']),
    [multi({}, { duration: 0.5 }), 'options.duration must be a non-negative integer'],
    [{ duration: 2 ** 32 + 5 }, 'options.duration must be at most 2147483647'],
    ...[0, 1.5].map((n) => [{ loops: n }, 'options.loops must be a positive integer']),
    ...['0%', '101%', '%', '12x', '99999999999999999999999k']
      .map((r) => [{ range: r }, `options.range "${r}" is not a valid range`]),
    [{ range: [] }, 'options.range must not be an empty Array'],
    // A sparse list's length is checked before anything is reserved for it (2^32 - 1 LBAs would be 32 GiB).
    [{ range: Object.assign([0], { length: 2 ** 32 - 1 }) }, 'options.range must hold at most 16777216 LBAs'],
    [{ range: { startLba: 0 } }, 'range.size is required'],
    [{ range: 5 }, 'options.range must be either a String or an Object'],
    [{ type: 'MultiRange' }, 'options.ranges is required'],
    [{ type: 'multirange', ranges: [] }, 'options.ranges must not be an empty Array'],
    [{ type: 'multirange', ranges: [3] }, `argument "${R}" must be an Object`],
    [{ type: 'multirange', ranges: new Array(1000001).fill(range) }, 'options.ranges must hold at most 1000000 ranges'],
    [multi({ workload: 'x' }), `${R}.workload is not a valid workload`],
    [multi({ readPercent: 70, trimPercent: 31 }), `${R}.readPercent + ${R}.trimPercent must be between 0 and 100`],
    [multi({ size: 0 }), `${R}.size must be greater than 0`],
    [multi({ probability: 0 }), `${R}.probability must be greater than 0`],
    [multi({ xfers: [] }), `${R}.xfers must not be an empty Array`],
    [multi({ xfers: [{ size: 0, probability: 1 }] }), `${R}.xfers[0].size must be greater than 0`],
    [multi({ startLba: undefined }), `${R}.startLba is required`],
  ]) {
    assert.throws(() => addon.startWorkloadGenerator(options, noop), { name: 'TypeError', message: P + message });
  }
});

test('accepted spellings reach the worker; values the drive cannot run are refused there', async () => {
  await ok(addon, 'startWorkloadGenerator', { type: 'Basic', workload: 'Random', range: '4K', xferSize: 0,
    features: { histogram: { enabled: true, startUs: 10, endUs: 1000 }, intervalStats: { interval: 'x' } } });
  await ok(addon, 'startWorkloadGenerator', multi({ alignment: 1, startLba: 1, size: 9 }));
  for (const [options, message] of [
    [{ xferSize: 1 << 20 }, 'options.xferSize must be at most 131072, the largest transfer of namespace 1'],
    [{ qid: 9 }, 'Invalid qid'],
    [{ nsid: 2 }, 'invalid namespace id'],
    [{ range: '64M', nsid: 4 }, 'range out of bound'],  // 8192 blocks of 4096 bytes hold 32 MiB
  ]) {
    const err = await fails(addon, 'startWorkloadGenerator', options);
    assert.ok(err instanceof TypeError, `${err} is not a TypeError`);
    assert.equal(err.message, P + message);
  }
});

// Each option is read once, and the value checked is the one used: a getter that answers an Array for the check and a
// plain object with indices afterwards (an LBA list of 100, 200, 300), a pattern of 8 bytes and then one of 12, or a
// whole count and then another.
test('an option is read once: what was checked is what runs', async () => {
  const reads = { range: 0, dataPattern: 0, duration: 0, loops: 0 };
  const pattern = Buffer.from('0123456789abcdef', 'hex');
  const options = {
    readPercent: 0, xferSize: 512,
    get range() { reads.range += 1; return reads.range <= 3 ? [5] : { n: 3, 0: 100, 1: 200, 2: 300 }; },
    get dataPattern() { reads.dataPattern += 1; return reads.dataPattern <= 4 ? pattern : Buffer.alloc(12, 0xee); },
    get duration() { reads.duration += 1; return reads.duration === 1 ? 0 : 7; },
    get loops() { reads.loops += 1; return reads.loops === 1 ? 1 : 3; },
  };
  const result = await ok(addon, 'startWorkloadGenerator', options);
  assert.deepEqual(reads, { range: 1, dataPattern: 1, duration: 1, loops: 1 });
  assert.equal(result.info.loops, 1);
  assert.ok(drive.readBlock(1, 5).subarray(0, 16).equals(Buffer.concat([pattern, pattern])));
  assert.ok(drive.readBlock(1, 100).equals(Buffer.alloc(512)), 'nothing written where the script did not ask');
});
