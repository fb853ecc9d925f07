'use strict';
// The cost of a multi-range workload's list on the script's thread: the time startWorkloadGenerator takes to read a
// list of 1,000, 100,000 and 1,000,000 ranges (the most it takes; the last range of each list is refused, size 0, so
// the whole list is read and nothing runs), then a run of 1,000,000 ranges with `duration: 2` from the call to its
// callback (reading the list, the worker's set-up, the run, and handing the ranges back in the result). Needs the
// build and the simulated drive module:
//
//   node bench/workload/multirange_parse.js
const path = require('node:path');

const build = path.resolve(__dirname, '..', '..', process.env.KYT_BUILD_DIR || 'build');
const { KytAddon } = require(path.join(build, 'lib', 'kyt.node'));
const sim = require(path.join(build, 'lib', 'kyt_sim.node'));

const bdf = require('../../tests/js/nvme/helpers').freeBdf();
const drive = sim.create(bdf, { maxNamespaces: 1, namespaces: [{ nsid: 1, blocks: 1 << 24, lbaFormat: 0 }],
  zeroLatency: true, storeFirst8Bytes: true });
const addon = new KytAddon(true);
addon.setDefaultBdf(bdf);
addon.startTaskScheduler(0, 1, process.pid % 65536);
const ms = (since) => Number(process.hrtime.bigint() - since) / 1e6;
const rangeList = (count) => Array.from({ length: count },
  (_, i) => ({ startLba: i * 8, size: 8, probability: 1, xfers: [{ size: 4096, probability: 1 }] }));

for (const count of [1000, 100000, 1000000]) {
  const ranges = rangeList(count);
  ranges[count - 1] = { ...ranges[count - 1], size: 0 };
  const start = process.hrtime.bigint();
  try {
    addon.startWorkloadGenerator({ type: 'multirange', ranges }, () => {});
  } catch (e) {
    if (!/size must be greater than 0/.test(e.message)) throw e;
  }
  const took = ms(start);
  console.log(`${count} ranges read: ${took.toFixed(1)} ms (${((took * 1000) / count).toFixed(2)} us a range)`);
}

addon.scanAttachment(5000, (err) => {
  if (err) throw err;
  const ranges = rangeList(1000000);
  const start = process.hrtime.bigint();
  addon.startWorkloadGenerator({ type: 'multirange', ranges, duration: 2, loops: 1000000 }, (error, result) => {
    if (error) throw error;
    const total = ms(start);
    console.log(`1000000 ranges, duration 2 s: answered after ${(total / 1000).toFixed(2)} s ` +
      `(${result.info.ranges.length} ranges in the result, ${Math.round(result.read.perf.iops)} IOPS)`);
    drive.keep = true;
    process.exit(0);
  });
  console.log(`1000000 ranges, duration 2 s: the call returned after ${ms(start).toFixed(0)} ms`);
});
