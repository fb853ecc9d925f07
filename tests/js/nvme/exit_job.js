'use strict';
// Child of lifetime.test.js: calls process.exit() while the worker waits on the drive, and prints the moment it did
// so. "running": a workload runs and a read waits for a completion the drive never posts. "attaching": the worker is
// inside an attachment that waits for a controller that never becomes ready. "ending": the script just ends while
// the drive answers no admin command any more (the detachment cannot delete its queue pair).
const { startArgs, smallNamespaces, loadAddon, loadSim, createDrive, freeBdf, ok } = require('./helpers');

async function main(mode) {
  loadSim().clock(10);
  const { KytAddon } = loadAddon();
  const bdf = freeBdf();
  const drive = createDrive(bdf, { namespaces: smallNamespaces, startReadyStuck: mode === 'attaching' });
  const addon = new KytAddon(true);
  addon.setDefaultBdf(bdf);
  if (!addon.startTaskScheduler(...startArgs())) throw new Error('start failed');
  const target = drive.counters().commands + 500;
  if (mode === 'ending') {
    await ok(addon, 'scanAttachment', 0);
    await ok(addon, 'createQueuePair');
    drive.dropCompletion({ admin: true, count: -1 });
    console.log(`EXIT ${Date.now()}`);
    return;
  }
  if (mode === 'attaching') {
    addon.scanAttachment(0, () => console.log('ATTACH CALLBACK'));
    while (drive.registers().cc === 0) await new Promise(setImmediate);  // the initialisation is under way
  } else {
    await ok(addon, 'scanAttachment', 0);  // the default time-out: nothing ends by itself before the exit
    await ok(addon, 'createQueuePair');
    addon.startWorkloadGenerator({ queueDepth: 64, range: { startLba: 0, size: 4096 }, loops: 1e9 }, () => {
      console.log('WORKLOAD CALLBACK');
    });
    drive.dropCompletion({ opcode: 0x02, qid: 1, count: 1 });
    addon.read(0, 8, { qid: 1 }, () => console.log('READ CALLBACK'));
    while (drive.counters().commands < target) await new Promise(setImmediate);
  }
  console.log(`EXIT ${Date.now()}`);
  process.exit(0);
}

main(process.argv[2]).catch((err) => {
  console.log(`FAILED ${err.message}`);
  process.exit(1);
});
