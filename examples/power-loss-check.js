'use strict';
// A power-loss data check: a verified random read/write workload rides through N power cycles, then every block it
// may have written is read back and checked.
//
//   node examples/power-loss-check.js [--cycles N]                          (the simulated drive)
//   node examples/power-loss-check.js PCI-ADDRESS --power MANUFACTURER,SERIAL,INTERFACE,BAUD[,MODEL] [--cycles N]
//
// With power control on, the workload cuts the power itself, again and again for as long as it runs: each cycle it
// calls the power-off hook, waits until the drive has gone, calls the power-on hook and waits until the drive is
// attached again (each attachment waits a fixed 2 s), then goes on with a new queue pair. The hooks are the script's:
// here they switch the simulated drive, or the bench's power controller (powerControllerInit's manufacturer and
// options, e.g. dorvan,RB0001,0,9600,pmu). I/Os cut short by a power loss are not failures; data that a completed
// write put on the drive must read back: with the data validator on, a read that finds anything else ends the run
// with the Error "data mismatch".
const { parseArgs } = require('node:util');
const { openDrive, activeNamespaces, run } = require('./open-drive');

const { values, positionals } = parseArgs({ allowPositionals: true,
  options: { cycles: { type: 'string', default: '20' }, power: { type: 'string' } } });
const cycles = Number(values.cycles);
const [POWER_ON, POWER_OFF] = [0, 1];  // hook types

run(async () => {
  const { addon, call, sim } = await openDrive(positionals[0]);
  if (!sim) {
    if (!values.power) throw new Error('a real drive needs --power MANUFACTURER,SERIAL,INTERFACE,BAUD[,MODEL]');
    const [manufacturer, serial, interfaceNumber, baudRate, model] = values.power.split(',');
    addon.powerControllerInit(manufacturer,
      { serial, interfaceNumber: Number(interfaceNumber), baudRate: Number(baudRate), model });
  }
  const [ns] = await activeNamespaces(call);
  if (!ns) throw new Error('the drive has no active namespace');
  const range = { startLba: 0, size: Math.min(ns.size, 1 << 16) };

  // The hooks: 1 = power off, 0 = power on. The workload waits until the script answers with hookManagerSetStatus
  // (0: done) or hookManagerSetError (the workload then ends with that text).
  let done = 0;
  addon.hookManagerSetCallback(POWER_OFF, () => {
    if (sim) sim.powerOff(); else addon.powerControllerPowerOff();
    addon.hookManagerSetStatus(POWER_OFF, 0);
  });
  addon.hookManagerSetCallback(POWER_ON, () => {
    if (sim) sim.powerOn(); else addon.powerControllerPowerOn();
    done += 1;
    addon.hookManagerSetStatus(POWER_ON, 0);
  });

  await call('enableDataValidator', { nsid: ns.nsid });
  const powerControl = { enabled: true, offHoldTimeMs: 100, onHoldTimeMs: 100, detectionTimeoutMs: 20000,
    removalTimeoutMs: 20000 };
  let ios = 0;
  // Power cycles go on for as long as a run lasts: runs of one second follow each other until enough cycles are done.
  while (done < cycles) {
    const result = await call('startWorkloadGenerator', {
      nsid: ns.nsid, workload: 'random', readPercent: 50, xferSize: 4096, queueDepth: 16, duration: 1, loops: 1e9,
      range, features: { powerControl },
    });
    if (result.errorHistory.length > 0) throw new Error(`failed commands: ${JSON.stringify(result.errorHistory)}`);
    ios += result.read.perf.io + result.write.perf.io;
    console.log(`power-loss check: ${done} cycle(s), ${ios} verified I/Os so far`);
  }
  // Without power cycles now: read the whole range once in order, every block checked against what was last written.
  const check = await call('startWorkloadGenerator', { nsid: ns.nsid, workload: 'sequential', readPercent: 100,
    xferSize: 4096, queueDepth: 16, loops: 1, range });
  await call('disableDataValidator', { nsid: ns.nsid });
  console.log(`power-loss check: ${done} power cycles, ${check.read.perf.io} reads over the range: data check passed`);
});
