'use strict';
// A verified 70/30 random read/write workload: prints a latency percentile table and keeps the whole result as JSON.
//
//   node examples/verified-workload.js [PCI address] [--seconds N] [--json FILE]
//
// With the data validator on, every write stamps the first 8 bytes of each block (its LBA and a generation tag) and
// every read checks them: a mismatch ends the run with the Error "data mismatch".
const fs = require('node:fs');
const { parseArgs } = require('node:util');
const { openDrive, activeNamespaces, run } = require('./open-drive');

const { values, positionals } = parseArgs({ allowPositionals: true,
  options: { seconds: { type: 'string', default: '5' }, json: { type: 'string' } } });

// Latency percentiles of the result, in the result's unit (microseconds).
const ROWS = [['p50', 'perc50'], ['p90', 'perc90'], ['p99', 'perc99'], ['p99.9', 'nines3'], ['p99.99', 'nines4'],
  ['p99.999', 'nines5']];

run(async () => {
  const { call } = await openDrive(positionals[0]);
  const [ns] = await activeNamespaces(call);
  if (!ns) throw new Error('the drive has no active namespace');
  await call('enableDataValidator', { nsid: ns.nsid });
  // The run makes its own queue pair and ends after `duration` seconds or `loops` passes over the pattern, whichever
  // comes first. The range is in blocks; 4 KiB per I/O, 32 I/Os in flight.
  const result = await call('startWorkloadGenerator', {
    nsid: ns.nsid, workload: 'random', readPercent: 70, xferSize: 4096, queueDepth: 32,
    duration: Number(values.seconds), loops: 1e9, range: { startLba: 0, size: Math.min(ns.size, 1 << 20) },
    features: { histogram: { enabled: true } },
  });
  await call('disableDataValidator', { nsid: ns.nsid });

  const { duration, queueDepth } = result.info;
  console.log(`verified workload: ${duration.toFixed(2)} s at queue depth ${queueDepth}, ` +
    `${result.errorHistory.length} failed command(s)`);
  for (const dir of ['read', 'write']) {
    const { io, iops } = result[dir].perf;
    console.log(`  ${dir.padEnd(5)} ${String(io).padStart(10)} I/Os ${Math.round(iops).toString().padStart(9)} IOPS`);
  }
  console.log(`  latency (${result.read.latency.unit})       read      write`);
  for (const [label, key] of ROWS) {
    console.log(`  ${label.padEnd(8)} ${String(result.read.latency[key]).padStart(14)} ` +
      `${String(result.write.latency[key]).padStart(10)}`);
  }
  if (values.json) {
    fs.writeFileSync(values.json, `${JSON.stringify(result, null, 2)}\n`);
    console.log(`  result saved to ${values.json}`);
  }
  return result.errorHistory.length === 0 ? 0 : 1;
});
