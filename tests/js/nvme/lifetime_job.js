'use strict';
// Child of lifetime.test.js: drops the addon object while commands are in flight (the drive holds their completions
// until the clock is moved on) and reports, on standard output, when each callback came.
const v8 = require('node:v8');
const vm = require('node:vm');
const { startArgs, smallNamespaces, loadAddon, loadSim, createDrive, freeBdf, ok } = require('./helpers');

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');

// The callback is made where nothing refers to the addon object, so that it keeps nothing of it alive.
function makeCallback(resolve) {
  return (err, result) => resolve({ err, result });
}

function start(addon, method, ...args) {
  let resolveCall;
  const done = new Promise((resolve) => { resolveCall = resolve; });
  addon[method](...args, makeCallback(resolveCall));
  return done;
}

async function main() {
  const sim = loadSim();
  sim.clock(10);  // the attachment's 2 s wait
  const { KytAddon } = loadAddon();
  const bdf = freeBdf();
  const drive = createDrive(bdf, { namespaces: smallNamespaces });
  let addon = new KytAddon(false);
  addon.setDefaultBdf(bdf);
  if (!addon.startTaskScheduler(...startArgs())) throw new Error('start failed');
  await ok(addon, 'scanAttachment', 0);
  await ok(addon, 'createQueuePair');
  sim.clock(1);
  drive.delayCompletion({ admin: false, delayUs: 60e6, count: -1 });
  const fetched = drive.counters().commands + 4;
  const pending = [];
  for (let i = 0; i < 4; i += 1) pending.push(start(addon, i % 2 ? 'write' : 'read', i * 64, 64));
  addon = null;
  for (let i = 0; i < 5; i += 1) {
    gc();
    await new Promise((resolve) => setImmediate(resolve));
  }
  console.log('DROPPED');
  while (drive.counters().commands < fetched) await new Promise(setImmediate);
  sim.advanceClock(61e6);  // the drive posts the completions now
  const results = await Promise.all(pending);
  console.log(`CALLBACKS ${JSON.stringify(results.map(({ err }) => (err ? err.message : null)))}`);
  drive.clearFaults();
}

main().then(() => process.exit(0), (err) => {
  console.log(`FAILED ${err.message}`);
  process.exit(1);
});
