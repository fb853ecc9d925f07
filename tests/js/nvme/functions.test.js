'use strict';
// Controller functions on the simulated drive: validator, tracker, error injection, reset, shutdown, removal.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, smallNamespaces, loadAddon, createDrive, freeBdf, ok, fails, call } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf, { namespaces: smallNamespaces });
const identify = () => ['sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, Buffer.alloc(4096), false];

test('functions that need an attached drive say so', async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
  const inject = ['nvmeSetErrorInjection', 0, 6, false, 1, 0, 0, 1];
  for (const args of [['enableDataValidator'], ['resetController'], ['shutdown'], inject]) {
    assert.equal((await fails(addon, ...args)).message, 'device not initialized', args[0]);
  }
  await ok(addon, 'scanAttachment', 5000);
});

test('data validator and command tracker functions', async () => {
  assert.equal((await fails(addon, 'enableDataValidator', { nsid: 0 })).message, 'Invalid namespace ID 0');
  assert.equal((await fails(addon, 'enableDataValidator', { nsid: 2 })).message, 'Namespace 2 is not active');
  assert.deepEqual(await ok(addon, 'enableDataValidator'), { status: 'OK' }, 'every active namespace');
  assert.deepEqual(await ok(addon, 'disableDataValidator'), { status: 'OK' });
  assert.equal((await fails(addon, 'enableCommandTracker')).message,
    'file must be set before enabling command tracker.');
  assert.deepEqual(await ok(addon, 'setCommandTrackerLog', '/tmp/kyt-script-tracker.log'), { status: 'OK' });
  assert.deepEqual(await ok(addon, 'disableCommandTracker'), { status: 'OK' });
});

test('error injection shows in the next matching command, once, without submitting it', async () => {
  assert.deepEqual(await ok(addon, 'nvmeSetErrorInjection', 0, 0x106, true, 1, 0, 1, 0x81), { status: 'OK' });
  const commands = drive.counters().commands;
  const err = await fails(addon, ...identify());
  assert.deepEqual([err.message, err.data.status.sct, err.data.status.sc], ['command error', 1, 0x81]);
  assert.equal(drive.counters().commands, commands);
  await ok(addon, ...identify());
  assert.equal((await fails(addon, 'nvmeSetErrorInjection', 9, 2, false, 1, 0, 0, 1)).message, 'Invalid Queue ID');
});

test('resetController ends what the old queue pairs held; I/O works again on a new one', async () => {
  const qid = await ok(addon, 'createQueuePair');
  drive.dropCompletion({ opcode: 0x02, count: 1 });
  const commands = drive.counters().commands;
  const pending = call(addon, 'read', 0, 8);
  while (drive.counters().commands === commands) await new Promise(setImmediate);  // the read is at the drive
  assert.deepEqual(await ok(addon, 'resetController'), { status: 'OK' });
  assert.equal((await pending).err.message, 'Command aborted by a controller reset');
  assert.equal((await fails(addon, 'read', 0, 8, { qid })).message, 'Invalid Queue ID');
  await ok(addon, 'read', 0, 8, { qid: await ok(addon, 'createQueuePair') });
});

test('shutdown completes; the drive attaches again after a removal scan', async () => {
  assert.deepEqual(await ok(addon, 'shutdown'), { status: 'OK' });
  assert.equal((drive.registers().csts >> 2) & 3, 2, 'shutdown processing complete');
  assert.deepEqual(await ok(addon, 'scanRemoval'), { status: 'OK' });
  await ok(addon, 'scanAttachment', 0);
  await ok(addon, ...identify());
  drive.keepAlive();
});
