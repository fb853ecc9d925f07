'use strict';
// Time startWorkloadGenerator takes on the script's thread to read a multi-range list of 1,000, 100,000 and
// 1,000,000 ranges (the most it takes). The last range of each list is refused (size 0), so the whole list is read
// and nothing runs. Needs the build and the simulated drive module:
//
//   node bench/workload/multirange_parse.js
const path = require('node:path');

const build = path.resolve(__dirname, '..', '..', process.env.KYT_BUILD_DIR || 'build');
const { KytAddon } = require(path.join(build, 'lib', 'kyt.node'));
const sim = require(path.join(build, 'lib', 'kyt_sim.node'));

const bdf = `0000:${((process.pid >> 5) & 0xff).toString(16).padStart(2, '0')}:${(process.pid & 0x1f).toString(16).padStart(2, '0')}.0`;
const drive = sim.create(bdf, { maxNamespaces: 1, namespaces: [{ nsid: 1, blocks: 1 << 24, lbaFormat: 0 }] });
const addon = new KytAddon(true);
addon.setDefaultBdf(bdf);
addon.startTaskScheduler(0, 1, process.pid % 65536);
for (const count of [1000, 100000, 1000000]) {
  const ranges = Array.from({ length: count },
    (_, i) => ({ startLba: i * 8, size: 8, probability: 1, xfers: [{ size: 4096, probability: 1 }] }));
  ranges[count - 1] = { ...ranges[count - 1], size: 0 };
  const start = process.hrtime.bigint();
  try {
    addon.startWorkloadGenerator({ type: 'multirange', ranges }, () => {});
  } catch (e) {
    if (!/size must be greater than 0/.test(e.message)) throw e;
  }
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  console.log(`${count} ranges: ${ms.toFixed(1)} ms (${((ms * 1000) / count).toFixed(2)} us a range)`);
}
drive.keep = true;
process.exit(0);
