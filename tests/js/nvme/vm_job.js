'use strict';
// Runs inside the VM bench guest against QEMU's emulated NVMe controller (see vmbench.test.js): start, attach,
// device information, a validated write and read, a controller reset, then I/O again, and a reset under a running
// workload. Prints one line "RESULT <json>" and exits 0 when every step succeeded. With the argument "exit" it
// calls process.exit() with a workload of 1,000 I/Os in flight instead, after printing "EXIT <ms>"; with "reattach"
// it runs that in a child process, measures how long the child took to end after its exit(), and attaches again; with
// "reuse" it runs rounds of 16 queue pairs, each with a read, deleted and created again under the same ids; with
// "foreign" an admin command held back past the command time-out times out under a running workload.
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const buildDir = path.resolve(__dirname, '..', '..', '..', process.env.KYT_BUILD_DIR || 'build');
const { KytAddon } = require(path.join(buildDir, 'lib', 'kyt.node'));

function call(addon, method, ...args) {
  return new Promise((resolve, reject) => {
    addon[method](...args, (err, result) => (err ? reject(new Error(`${method}: ${err.message}`)) : resolve(result)));
  });
}

// Settles with {err, result} instead of rejecting.
function outcome(addon, method, ...args) {
  return new Promise((resolve) => { addon[method](...args, (err, result) => resolve({ err, result })); });
}

// Host read and write commands the drive has served, from its SMART / Health Information log.
async function servedCommands(addon) {
  const log = Buffer.alloc(512);
  await call(addon, 'sendGenericCommand', 0, { nsid: 0xFFFFFFFF, opc: 2, cdw10: (127 << 16) | 2 }, log, false);
  return log.readBigUInt64LE(64) + log.readBigUInt64LE(80);
}

// Calls `start` (which starts a workload and gives a promise of its end) and resolves with {run: that promise} once
// the drive has served `n` commands more than before: the workload is under way (or it has ended already).
async function underWay(addon, start, n) {
  const before = await servedCommands(addon);
  let ended = false;
  const run = start().finally(() => { ended = true; });
  while (!ended && await servedCommands(addon) < before + BigInt(n));
  return { run };
}

async function start(timeoutMs = 10000) {
  const bdf = (process.env.VMBENCH_NVME || '').split(/[\s,]+/).filter(Boolean)[0];
  if (!bdf) throw new Error('no NVMe controller in the guest');
  const addon = new KytAddon(false);  // its log lines come back with a failure
  addon.setDefaultBdf(bdf);
  if (!addon.startTaskScheduler(0, 1, 0)) throw new Error('startTaskScheduler failed');
  await call(addon, 'scanAttachment', timeoutMs);
  return { addon, bdf };
}

async function exitUnderLoad() {
  const { addon } = await start();
  const options = { queueDepth: 1000, workload: 'random', range: { startLba: 0, size: 65536 }, loops: 1e9 };
  await underWay(addon, () => outcome(addon, 'startWorkloadGenerator', options)
    .then(() => process.stdout.write('WORKLOAD CALLBACK\n')), options.queueDepth);
  process.stdout.write(`EXIT ${Date.now()}\n`);
  process.exit(0);
}

async function reattach() {
  const child = spawnSync(process.execPath, [__filename, 'exit'], { encoding: 'utf8', timeout: 30000 });
  const ended = Date.now();
  const exit = (child.stdout || '').split('\n').find((l) => l.startsWith('EXIT '));
  if (child.status !== 0 || !exit) throw new Error(`exiting child: ${child.status} ${child.stdout} ${child.stderr}`);
  const { addon, bdf } = await start();
  const exitMs = ended - Number(exit.slice('EXIT '.length));
  const result = { bdf, exitMs, callbacks: child.stdout.includes('WORKLOAD CALLBACK') };
  result.qid = await call(addon, 'createQueuePair');
  await call(addon, 'read', 0, 64);
  process.stdout.write(`RESULT ${JSON.stringify(result)}\n`);
}

async function reuseQueueIds() {
  const { addon } = await start();
  const identify = Buffer.alloc(4096);
  await call(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, identify, false);
  const result = { doorbellBuffer: (identify.readUInt16LE(256) & 0x100) !== 0, rounds: [] };  // OACS bit 8
  for (let round = 0; round < 3; round++) {
    const qids = [];
    for (let i = 0; i < 16; i++) qids.push(await call(addon, 'createQueuePair'));
    const reads = await Promise.all(qids.map((qid) => outcome(addon, 'read', 0, 8, { qid })));
    const failed = reads.filter((r) => r.err).map((r) => r.err.message);
    result.rounds.push({ qids, failed });
    if (failed.length > 0) break;  // a read that timed out leaves the controller refusing until a reset
    for (const qid of qids) await call(addon, 'deleteQueuePair', qid);
  }
  process.stdout.write(`RESULT ${JSON.stringify(result)}\n`);
}

async function main() {
  const { addon, bdf } = await start();
  const result = { bdf };
  result.device = await call(addon, 'getDeviceInfo');
  result.ns1 = await call(addon, 'getNamespaceInfo', 1);
  result.qid = await call(addon, 'createQueuePair');
  await call(addon, 'enableDataValidator', { nsid: 1 });
  await call(addon, 'write', 0, 64);
  await call(addon, 'read', 0, 64);
  await call(addon, 'resetController');
  result.qidAfterReset = await call(addon, 'createQueuePair');
  await call(addon, 'read', 0, 64);  // the data written before the reset still carries its tags
  await call(addon, 'write', 64, 8);
  await call(addon, 'read', 0, 72);
  const identify = Buffer.alloc(4096);
  await call(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, identify, false);
  result.model = identify.toString('latin1', 24, 64).trim();
  const workload = await underWay(addon, () => outcome(addon, 'startWorkloadGenerator',
    { queueDepth: 64, workload: 'random', range: { startLba: 0, size: 65536 }, loops: 1e9 }), 64);
  await call(addon, 'resetController');
  const { err } = await workload.run;
  result.workloadAfterReset = err ? { message: err.message, ios: err.read.perf.io + err.write.perf.io } : null;
  result.qidAfterSecondReset = await call(addon, 'createQueuePair');
  await call(addon, 'read', 0, 72);
  process.stdout.write(`RESULT ${JSON.stringify(result)}\n`);
}

// Another command's time-out under a running workload (5 s command time-out, a 12 s run): the workload's I/O goes on
// to its end, its closing queue-pair deletion is refused, and a reset brings the controller back.
async function foreignTimeOut() {
  const { addon, bdf } = await start(5000);
  const { run: workload } = await underWay(addon, () => outcome(addon, 'startWorkloadGenerator',
    { queueDepth: 32, workload: 'random', range: { startLba: 0, size: 65536 }, loops: 1e9, duration: 12 }), 32);
  await call(addon, 'nvmeSetErrorInjection', 0, 0x0a, true, 1, 60e6, 0, 0);  // Get Features: held back for 60 s
  const other = await outcome(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 0x0a, cdw10: 1 }, Buffer.alloc(0), false);
  const { err } = await workload;
  const refused = await outcome(addon, 'createQueuePair');
  await call(addon, 'resetController');
  const result = {
    bdf,
    other: other.err ? other.err.message : null,
    workload: err ? { message: err.message, ios: err.read.perf.io + err.write.perf.io, errors: err.errorHistory.length }
      : null,
    refused: refused.err ? refused.err.message : null,
  };
  result.qidAfterReset = await call(addon, 'createQueuePair');
  await call(addon, 'read', 0, 8);
  process.stdout.write(`RESULT ${JSON.stringify(result)}\n`);
}

const mode = process.argv[2];
const jobs = { exit: exitUnderLoad, reattach, reuse: reuseQueueIds, foreign: foreignTimeOut };
(jobs[mode] || main)().then(() => process.exit(0), (err) => {
  process.stdout.write(`FAILED ${err.message}\n`);
  process.exit(1);
});
