'use strict';
// The main job: starts the NVMe worker on a drive and reports what it finds.
//
//   node examples/main-job.js [--verbose] [PCI address]
//
// Without an address the job creates a simulated drive (the test-only module build/lib/kyt_sim.node) and works on
// that; with one it works on the real drive at that address (bound to uio_pci_generic or vfio-pci). The simulated
// drive completes at once (zero-latency mode) and keeps the first 8 bytes of each block, which is what validation
// stamps and checks: the workload then measures the product's I/O path rather than the simulator.
// The addon's own log lines are shown with --verbose. Exit status 0 when every step succeeded.
const { promisify } = require('node:util');
const { KytAddon } = require('..');
const { simulatedDrive, activeNamespaces, SIMULATED_BDF } = require('./open-drive');

function report(step, text) {
  process.stdout.write(`main-job: ${step}: ${text}\n`);
}

// Writes a spread of block runs with data validation on (every block carries its LBA and a generation tag), reads
// them back, deallocates them and reads them again: the validator fails any read whose blocks do not carry what was
// last written.
async function verifiedIo(addon, ns, info) {
  const call = (name, ...args) => promisify(addon[name].bind(addon))(...args);
  const qid = await call('createQueuePair');
  await call('enableDataValidator', { nsid: ns.nsid });
  const maxBlocks = Math.max(1, Math.min(64, Math.floor(info.maxXferSize / ns.lbaSize)));
  const runs = 256;
  const span = Math.max(1, Math.floor(Math.min(ns.size, 1 << 20) / runs));
  const started = process.hrtime.bigint();
  let blocks = 0;
  for (let i = 0; i < runs; i += 1) {
    const lba = i * span;
    const count = 1 + (i * 7) % Math.min(maxBlocks, span);
    await call('write', lba, count, { nsid: ns.nsid, qid });
    await call('read', lba, count, { nsid: ns.nsid, qid });
    blocks += 2 * count;
  }
  const ranges = Buffer.alloc(16);
  ranges.writeUInt32LE(span, 4);
  ranges.writeBigUInt64LE(0n, 8);
  await call('datasetManagement', ranges, 4, ns.nsid, qid);  // attribute 4: deallocate
  await call('read', 0, 1, { nsid: ns.nsid, qid });
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  report('verified I/O', `${runs} validated writes and reads (${blocks} blocks) and a deallocation checked ` +
    `in ${seconds.toFixed(2)} s`);
  await call('disableDataValidator', { nsid: ns.nsid });
  await call('deleteQueuePair', qid);
}

// A short workload with data validation on: a random read/write mix, 128 I/Os in flight, for two seconds.
// Every read is checked against what was last written; the run reports its rate (validated I/Os per second, all
// directions), latency percentiles and failed commands.
async function verifiedWorkload(addon, ns) {
  const call = (name, ...args) => promisify(addon[name].bind(addon))(...args);
  await call('enableDataValidator', { nsid: ns.nsid });
  const result = await call('startWorkloadGenerator', {
    nsid: ns.nsid, workload: 'random', readPercent: 50, xferSize: 4096, duration: 2, loops: 1000000,
    queueDepth: 128, range: { startLba: 0, size: Math.min(ns.size, 1 << 20) },
    features: { histogram: { enabled: true } },
  });
  await call('disableDataValidator', { nsid: ns.nsid });
  const seconds = result.info.duration;
  const ios = result.read.perf.io + result.write.perf.io + result.trim.perf.io;
  report('workload', `${ios} validated I/Os in ${seconds.toFixed(2)} s at queue depth ${result.info.queueDepth}: ` +
    `${Math.round(ios / seconds)} IOPS (read ${Math.round(result.read.perf.iops)}, ` +
    `write ${Math.round(result.write.perf.iops)})`);
  for (const dir of ['read', 'write']) {
    const l = result[dir].latency;
    report('workload', `${dir} latency p50 ${l.perc50} us, p90 ${l.perc90} us, p99 ${l.perc99} us, ` +
      `p99.9 ${l.nines3} us`);
  }
  report('workload', `errors: ${result.errorHistory.length}`);
}

async function main() {
  const args = process.argv.slice(2);
  const verbose = args.includes('--verbose');
  const named = args.find((arg) => arg !== '--verbose');
  let bdf = named;
  let drive = null;
  if (!bdf) {
    bdf = SIMULATED_BDF;
    drive = simulatedDrive(bdf);
    if (!drive) {
      report('drive', 'no drive named and no simulated drive available (build/lib/kyt_sim.node is missing)');
      return 1;
    }
    report('drive', `simulated drive at ${bdf}`);
  } else {
    report('drive', `drive at ${bdf}`);
  }

  const addon = new KytAddon(!verbose);
  addon.setDefaultBdf(bdf);
  const started = addon.startTaskScheduler(0, 1, process.pid % 65536);
  report('worker', started ? 'started' : `failed to start: ${addon.startError}`);
  if (!started) return 1;

  let status = 0;
  try {
    await promisify(addon.scanAttachment.bind(addon))(5000);
    report('attach', 'controller initialised');
    const info = await promisify(addon.getDeviceInfo.bind(addon))();
    // maxNamespaceId is the highest identifier the controller supports; only the active ones hold blocks.
    const active = await activeNamespaces((name, ...args) => promisify(addon[name].bind(addon))(...args));
    report('device', `max transfer ${info.maxXferSize} bytes, max queue depth ${info.maxQueueDepth}, ` +
      `${active.length} namespace(s)`);
    for (const ns of active) report('namespace', `${ns.nsid}: ${ns.size} blocks of ${ns.lbaSize} bytes`);
    if (active.length > 0) {
      await verifiedIo(addon, active[0], info);
      await verifiedWorkload(addon, active[0]);
    }
  } catch (err) {
    report('error', err.message);
    status = 1;
  }
  return status;
}

main().then((status) => { process.exitCode = status; }, (err) => {
  report('error', err.stack || String(err));
  process.exitCode = 1;
});
