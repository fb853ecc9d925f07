'use strict';
// What a workload's result costs to hand over, on the simulated drive (a zero-latency namespace):
//   rawData p<N>        a short verified run with the latency histogram's raw data at precisions N (three I/O
//                       directions): time from the run's end to its callback, and the process's growth
//   refused p<N>        precisions whose histogram or raw data is refused before the run, with the text
//   errorHistory        a run of S seconds whose every read fails with a status the run ignores: time from the
//                       run's end to its callback, entries kept and counted, and the process's growth
//   validation 2^34     enabling data validation of a 2^34-block namespace (time of the call) and a verified
//                       sequential write of M blocks over it: map bytes held per block written
//
//   node bench/workload/results_bench.js [seconds]      (after npm run build; seconds of the error run, default 10;
//                                                        1 with --brief, as npm test runs it)
const { startArgs, loadAddon, createDrive, freeBdf, standardNamespaces, ok, call } = require('../../tests/js/nvme/helpers');

const brief = process.argv.includes('--brief');
const seconds = Number(process.argv.find((a) => /^[0-9.]+$/.test(a)) || (brief ? 1 : 10));
const MiB = 2 ** 20;
const rss = () => process.memoryUsage().rss;
const bigBlocks = 2 ** 34;

async function timed(method, ...args) {
  const start = process.hrtime.bigint();
  const out = await call(addon, method, ...args);
  return { ...out, ms: Number(process.hrtime.bigint() - start) / 1e6 };
}

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf, {
  namespaces: standardNamespaces.map((ns) => (ns.nsid === 3 ? { ...ns, blocks: bigBlocks } : ns)),
  zeroLatency: true, storeFirst8Bytes: true,
});

function row(name, fields) {
  console.log(`${name.padEnd(22)} ${Object.entries(fields).map(([k, v]) => `${k}=${v}`).join('  ')}`);
}

async function main() {
  addon.setDefaultBdf(bdf);
  if (!addon.startTaskScheduler(...startArgs())) throw new Error('startTaskScheduler failed');
  await ok(addon, 'scanAttachment', 5000);
  let failed = false;

  for (const precisions of brief ? [4] : [4, 5]) {
    const before = rss();
    const { err, result, ms } = await timed('startWorkloadGenerator', {
      range: { startLba: 0, size: 4096 }, readPercent: 50, trimPercent: 10, queueDepth: 8,
      features: { histogram: { enabled: true, rawData: true, precisions } },
    });
    if (err) { failed = true; row(`rawData p${precisions}`, { error: err.message }); continue; }
    const buckets = result.read.histogramRawData.data.length;
    row(`rawData p${precisions}`, {
      buckets_per_direction: buckets,
      end_to_callback_ms: (ms - result.info.duration * 1000).toFixed(0),
      growth_MiB: ((rss() - before) / MiB).toFixed(0),
    });
  }
  for (const precisions of [6, 7]) {
    const histogram = { enabled: true, rawData: precisions === 6, precisions };
    const { err, ms } = await timed('startWorkloadGenerator', { range: '4K', features: { histogram } });
    if (!err) failed = true;
    row(`refused p${precisions}`, { ms: ms.toFixed(1), text: JSON.stringify(err ? err.message : 'not refused') });
  }

  drive.injectStatus({ opcode: 0x02, sct: 2, sc: 0x81, count: -1 });
  const before = rss();
  const { err, result, ms } = await timed('startWorkloadGenerator', {
    workload: 'random', duration: seconds, loops: 2 ** 31 - 1, queueDepth: 64, ignoreError: [{ sct: 2, sc: 0x81 }],
  });
  drive.clearFaults();
  if (err) {
    failed = true;
    row('errorHistory', { error: err.message });
  } else {
    row('errorHistory', {
      seconds: result.info.duration.toFixed(2), failed_ios: result.read.perf.io,
      kept: result.errorHistory.length, dropped: result.errorHistoryDropped,
      end_to_callback_ms: (ms - result.info.duration * 1000).toFixed(0), growth_MiB: ((rss() - before) / MiB).toFixed(0),
    });
  }

  // The same blocks are written twice, without and with validation: the drive's own storage grows in the first
  // pass only, so the second pass's growth is the validator's map.
  const blocks = brief ? 2 ** 16 : 2 ** 24;
  const pass = () => call(addon, 'startWorkloadGenerator', {
    nsid: 3, range: { startLba: bigBlocks - blocks, size: blocks }, readPercent: 0, xferSize: 65536, queueDepth: 32,
  });
  const unverified = await pass();
  const enable = await timed('enableDataValidator', { nsid: 3 });
  const written = rss();
  const run = await pass();
  const grown = rss() - written;
  const error = enable.err || run.err || unverified.err;
  if (error) failed = true;
  row('validation 2^34', {
    enable_ms: enable.ms.toFixed(2), blocks_written: blocks,
    map_bytes_per_block: (grown / blocks).toFixed(2), error: JSON.stringify(error ? error.message : ''),
  });
  await ok(addon, 'disableDataValidator', { nsid: 3 });
  process.exitCode = failed ? 1 : 0;
  drive.keepAlive();
}

main().catch((e) => {
  console.error(e);
  process.exitCode = 1;
});
