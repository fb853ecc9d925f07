'use strict';
// Child of workers.test.js: the module in worker threads. Prints one line per step; the test reads them.
//   "load": a worker loads the module first, then the main thread and a second worker; each makes an object.
//   "ports": a worker with a port write and read pending is terminated; another calls process.exit() with them pending.
//   "nvme": a worker runs the NVMe side (a workload and a read that the drive never answers pending); the main
//           thread's start is refused meanwhile; the worker is terminated, and the main thread starts it then.
//   "exit": the main thread calls process.exit(7) while a worker runs a workload and a port write.
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const { addonPath, buildDir, uniqueShmId } = require('./helpers');
const { freeBdf } = require('../nvme/helpers');

const fakePath = path.join(buildDir, 'lib', 'kyt_fake_ftdi.node');
const simPath = path.join(buildDir, 'lib', 'kyt_sim.node');
const bdf = freeBdf();
const shmId = uniqueShmId();

// A worker running `body` (with KytAddon, post(message) and the helpers below defined); resolves with it once it
// posts `until`.
function worker(body, until) {
  const w = new Worker(`'use strict';
    const { KytAddon } = require(${JSON.stringify(addonPath)});
    const post = (m) => require('node:worker_threads').parentPort.postMessage(m);
    const call = (a, name, ...args) => new Promise((resolve) => a[name](...args, (err, r) => resolve(err || r)));
    const ptyWithPendingWrite = (a) => {
      const pty = require(${JSON.stringify(fakePath)}).openPty();
      const index = a.serialportOpen(pty.path, '', 0);
      a.serialportWrite(index, Buffer.alloc(1 << 20), () => post('write called back'));  // more than a pty holds
      a.serialportRead(index, 0, false, () => {});
      return pty;
    };
    ${body}`, { eval: true });
  w.on('error', (e) => console.log(`worker error ${e.message}`));
  w.on('exit', (code) => console.log(`worker exit ${code}`));
  return new Promise((resolve) => w.on('message', (m) => { if (m === until) resolve(w); else console.log(m); }));
}

// The drive belongs to the main thread: it stays when the worker goes, and a workload left running would go on.
let drive;
function nvmeWorker() {
  const sim = require(simPath);
  sim.clock(10);
  drive = sim.create(bdf, { maxNamespaces: 1, namespaces: [{ nsid: 1, blocks: 65536, lbaFormat: 0 }] });
  drive.dropCompletion({ opcode: 0x02, qid: 1, count: 1 });  // the read on the worker's first queue pair
  return worker(`
    const a = new KytAddon(true);
    a.setDefaultBdf('${bdf}');
    post('worker start ' + a.startTaskScheduler(0, 1, ${shmId}));
    (async () => {
      await call(a, 'scanAttachment', 0);
      const qid = await call(a, 'createQueuePair');
      a.read(0, 8, { qid }, () => post('read called back'));
      a.startWorkloadGenerator({ queueDepth: 8, range: { startLba: 1024, size: 4096 }, loops: 1e9 },
        () => post('workload called back'));
      globalThis.keep = ptyWithPendingWrite(a);
      post('pending');
    })();`, 'pending');
}

// Resolves once the drive has served `count` more commands.
async function served(count) {
  const target = drive.counters().commands + count;
  while (drive.counters().commands < target) await new Promise(setImmediate);
}

async function main(mode) {
  if (mode === 'load') {
    const first = await worker(`new KytAddon(true); post('made');`, 'made');
    const { KytAddon } = require(addonPath);
    console.log(`main ${typeof new KytAddon(true).serialportGetDeviceList}`);
    const second = await worker(`post(typeof new KytAddon(true).ftdiGetDeviceList); post('made');`, 'made');
    await Promise.all([first.terminate(), second.terminate()]);
  } else if (mode === 'ports') {
    const w = await worker(`globalThis.keep = ptyWithPendingWrite(new KytAddon(true)); post('pending');`, 'pending');
    await w.terminate();
    worker(`globalThis.keep = ptyWithPendingWrite(new KytAddon(true)); process.exit(3);`, 'never posted');
  } else if (mode === 'nvme') {
    const w = await nvmeWorker();
    await served(100);
    const { KytAddon } = require(addonPath);
    const a = new KytAddon(true);
    a.setDefaultBdf(bdf);
    console.log(`main start ${a.startTaskScheduler(0, 1, shmId)} ${a.startError}`);
    await w.terminate();
    console.log(`main start ${a.startTaskScheduler(0, 1, shmId)} ${JSON.stringify(a.startError)}`);
    process.exit(0);
  } else if (mode === 'exit') {
    await nvmeWorker();
    await served(100);
    process.exit(7);
  }
}

main(process.argv[2]);
