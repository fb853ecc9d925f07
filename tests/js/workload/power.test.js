'use strict';
// Power cycles during a workload: the hook callbacks switch the simulated drive off and on, the workload rides
// through and ends with its statistics; a hook that reports an error ends the workload with that text.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, smallNamespaces, loadAddon, createDrive, freeBdf, ok, fails } = require('../nvme/helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf, { namespaces: smallNamespaces });
const POWER_ON = 0;
const POWER_OFF = 1;

const powerControl = { enabled: true, offHoldTimeMs: 100, onHoldTimeMs: 100, detectionTimeoutMs: 8000, removalTimeoutMs: 4000 };

test('start and attach', async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
  await ok(addon, 'scanAttachment', 5000);
  await ok(addon, 'enableDataValidator', { nsid: 1 });
});

test('a verified workload survives power cycles driven by the hooks', async () => {
  const seen = [];
  assert.equal(addon.hookManagerSetCallback(POWER_OFF, (type) => {
    seen.push(['off', type, drive.state]);
    drive.powerOff();
    setTimeout(() => addon.hookManagerSetStatus(POWER_OFF, 0), 20);
  }), true);
  assert.equal(addon.hookManagerSetCallback(POWER_ON, (type) => {
    seen.push(['on', type, drive.state]);
    drive.powerOn();
    addon.hookManagerSetStatus(POWER_ON, 0);
  }), true);
  const cyclesBefore = drive.counters().powerCycles;
  const result = await ok(addon, 'startWorkloadGenerator', {
    queueDepth: 8, readPercent: 50, range: { startLba: 0, size: 2048 }, duration: 1, loops: 1000,
    features: { powerControl },
  });
  assert.ok(seen.length >= 2, 'at least one full cycle');
  assert.deepEqual(seen[0], ['off', POWER_OFF, 'on']);
  assert.deepEqual(seen[1], ['on', POWER_ON, 'off']);
  assert.equal(drive.counters().powerCycles - cyclesBefore, seen.filter((s) => s[0] === 'on').length);
  assert.equal(drive.state, 'on');
  assert.deepEqual(result.errorHistory, [], 'I/Os cut short by the power loss are not failures');
  assert.ok(result.read.perf.io + result.write.perf.io > 0);
  // The drive is usable afterwards.
  const after = await ok(addon, 'startWorkloadGenerator', { range: { startLba: 0, size: 64 } });
  assert.equal(after.read.perf.io, 8);
});

test('a power-off hook that reports an error ends the workload with its text', async () => {
  let onCalls = 0;
  addon.hookManagerSetCallback(POWER_OFF, () => addon.hookManagerSetError(POWER_OFF, 'relay did not open'));
  addon.hookManagerSetCallback(POWER_ON, () => { onCalls += 1; addon.hookManagerSetStatus(POWER_ON, 0); });
  const err = await fails(addon, 'startWorkloadGenerator', {
    queueDepth: 4, range: { startLba: 0, size: 2048 }, duration: 1, loops: 1000, features: { powerControl },
  });
  assert.equal(err.message, 'relay did not open');
  assert.equal(onCalls, 0);
  assert.ok(err.read && err.errorHistory, 'the Error carries the statistics');
  // The failed cycle left the controller notified of a power-off that never came: the next run refuses at once.
  const again = await fails(addon, 'startWorkloadGenerator', {
    queueDepth: 4, range: { startLba: 0, size: 2048 }, duration: 1, loops: 1000, features: { powerControl },
  });
  assert.equal(again.message, 'power off notified', 'the notice of the failed cycle stays until the drive is attached again');
});
