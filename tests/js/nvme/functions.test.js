'use strict';
// Controller functions on the simulated drive: validator, tracker, reset, shutdown, error injection, removal.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, smallNamespaces, loadAddon, createDrive, freeBdf, ok, fails } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf, { namespaces: smallNamespaces });
const identify = () => ['sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, Buffer.alloc(4096), false];

test('start', () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
});

test('functions that need an attached drive say so', async () => {
  assert.equal((await fails(addon, 'enableDataValidator')).message, 'device not initialized');
  assert.equal((await fails(addon, 'resetController')).message, 'device not initialized');
  assert.equal((await fails(addon, 'shutdown')).message, 'device not initialized');
  assert.equal((await fails(addon, 'nvmeSetErrorInjection', 0, 6, false, 1, 0, 0, 1)).message, 'device not initialized');
  await ok(addon, 'scanAttachment', 5000);
});

test('data validator texts', async () => {
  assert.equal((await fails(addon, 'enableDataValidator', { nsid: 0 })).message, 'Invalid namespace ID 0');
  assert.equal((await fails(addon, 'enableDataValidator', { nsid: 2 })).message, 'Namespace 2 is not active');
  assert.deepEqual(await ok(addon, 'enableDataValidator', { nsid: 1 }), { status: 'OK' });
  assert.deepEqual(await ok(addon, 'enableDataValidator'), { status: 'OK' });
  assert.deepEqual(await ok(addon, 'disableDataValidator'), { status: 'OK' });
});

test('command tracker functions', async () => {
  assert.equal((await fails(addon, 'enableCommandTracker')).message, 'file must be set before enabling command tracker.');
  assert.deepEqual(await ok(addon, 'setCommandTrackerLog', '/tmp/kyt-script-tracker.log'), { status: 'OK' });
  assert.deepEqual(await ok(addon, 'disableCommandTracker'), { status: 'OK' });
});

test('error injection shows in the next matching command, once', async () => {
  assert.deepEqual(await ok(addon, 'nvmeSetErrorInjection', 0, 0x106, true, 1, 0, 0, 0x81), { status: 'OK' });
  const err = await fails(addon, ...identify());
  assert.equal(err.message, 'command error');
  assert.equal(err.data.status.sc, 0x81);
  await ok(addon, ...identify());
});

test('resetController: the old queue pairs are gone and I/O works again on a new one', async () => {
  const qid = await ok(addon, 'createQueuePair');
  await ok(addon, 'write', 0, 8);
  assert.deepEqual(await ok(addon, 'resetController'), { status: 'OK' });
  assert.equal((await fails(addon, 'read', 0, 8, { qid })).message, 'Invalid Queue ID');
  const again = await ok(addon, 'createQueuePair');
  await ok(addon, 'read', 0, 8, { qid: again });
  await ok(addon, ...identify());
});

test('shutdown completes; the drive attaches again after a removal scan', async () => {
  assert.deepEqual(await ok(addon, 'shutdown'), { status: 'OK' });
  assert.deepEqual(await ok(addon, 'scanRemoval'), { status: 'OK' });
  await ok(addon, 'scanAttachment', 0);
  await ok(addon, ...identify());
});

test('a surprise removal is noticed by scanRemoval', async () => {
  drive.powerOff();
  assert.deepEqual(await ok(addon, 'scanRemoval'), { status: 'OK' });
  assert.equal((await fails(addon, 'getDeviceInfo')).message, 'device not initialized');
  drive.powerOn();
  await ok(addon, 'scanAttachment', 0);
  drive.keepAlive();
});
