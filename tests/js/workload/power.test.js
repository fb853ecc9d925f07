'use strict';
// Power cycles during a workload: the hook callbacks switch the simulated drive off and on, the workload rides
// through and ends with its statistics; a hook that reports an error ends the workload with that text.
const test = require('node:test');
const assert = require('node:assert/strict');
const { smallNamespaces, loadSim, ok, fails, driveSetup } = require('../nvme/helpers');

// Each attachment waits 2 s of this clock. The time-outs that must not pass (commands, the drive's removal and
// detection, the hooks' answers) are a minute of it: still 15 s of real time, which no load makes a step miss.
loadSim().clock(4);

const { addon, bdf, drive, start } = driveSetup({ namespaces: smallNamespaces });
const [POWER_ON, POWER_OFF] = [0, 1];
const options = { queueDepth: 8, readPercent: 50, range: { startLba: 0, size: 2048 }, duration: 1, loops: 1000,
  features: { powerControl: { enabled: true, offHoldTimeMs: 100, onHoldTimeMs: 100, detectionTimeoutMs: 60000,
    removalTimeoutMs: 60000 } } };

test('a verified workload survives power cycles driven by the hooks', async () => {
  assert.equal(start(), true);
  await ok(addon, 'scanAttachment', 60000);
  await ok(addon, 'enableDataValidator', { nsid: 1 });
  const seen = [];
  assert.equal(addon.hookManagerSetCallback(POWER_OFF, (type) => {
    seen.push(['off', type, drive.state]);
    drive.powerOff();
    setImmediate(() => addon.hookManagerSetStatus(POWER_OFF, 0));  // the script answers later
  }), true);
  addon.hookManagerSetCallback(POWER_ON, (type) => {
    seen.push(['on', type, drive.state]);
    drive.powerOn();
    addon.hookManagerSetStatus(POWER_ON, 0);
  });
  const result = await ok(addon, 'startWorkloadGenerator', options);
  assert.deepEqual(seen.slice(0, 2), [['off', POWER_OFF, 'on'], ['on', POWER_ON, 'off']]);
  assert.deepEqual(result.errorHistory, [], 'I/Os cut short by the power loss are not failures');
  assert.ok(result.read.perf.io + result.write.perf.io > 0);
  assert.equal((await ok(addon, 'startWorkloadGenerator', { range: { startLba: 0, size: 64 } })).read.perf.io, 8);
});

test('a power-off hook\'s error ends the workload with its text; its notice refuses the next run', async () => {
  let onCalls = 0;
  addon.hookManagerSetCallback(POWER_OFF, () => addon.hookManagerSetError(POWER_OFF, 'relay did not open'));
  addon.hookManagerSetCallback(POWER_ON, () => { onCalls += 1; });
  const err = await fails(addon, 'startWorkloadGenerator', options);
  assert.deepEqual([err.message, onCalls], ['relay did not open', 0]);
  assert.ok(err.read && err.errorHistory, 'the Error carries the statistics');
  assert.equal((await fails(addon, 'startWorkloadGenerator', options)).message, 'power off notified');
});

test('a power hook whose handler throws ends the workload with the exception\'s text', async () => {
  addon.hookManagerSetStatus(POWER_OFF, 0);
  await ok(addon, 'scanRemoval');  // the notice of the failed cycle goes with the attachment
  await ok(addon, 'scanAttachment', 60000);
  addon.hookManagerSetCallback(POWER_OFF, () => { throw new Error('relay driver crashed'); });
  const err = await fails(addon, 'startWorkloadGenerator', options);
  assert.equal(err.message, 'relay driver crashed');
});
