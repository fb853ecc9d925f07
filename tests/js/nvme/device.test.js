'use strict';
// Attachment, device and namespace information, and removal on the simulated drive.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, loadAddon, createDrive, freeBdf, ok, fails } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf);

test('start', () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
});

test('nothing answers before the drive is attached', async () => {
  assert.equal((await fails(addon, 'getDeviceInfo')).message, 'device not initialized');
  assert.equal((await fails(addon, 'getNamespaceInfo', 1)).message, 'failed to get namespace info');
  assert.equal((await fails(addon, 'read', 0, 1)).message, 'device not initialized');
  // An options "bdf" is accepted whatever it holds and does not move the command to another device.
  assert.equal((await fails(addon, 'read', 0, 1, { bdf: 5 })).message, 'device not initialized');
  assert.equal((await fails(addon, 'write', 0, 1, { bdf: '0000:99:00.0' })).message, 'device not initialized');
});

test('scanAttachment of a drive that is not there fails, then attaches it when it is', async () => {
  drive.powerOff();
  const err = await fails(addon, 'scanAttachment', 1000);
  assert.ok(err instanceof Error);
  assert.equal(err.message, `failed to initialize the controller. no PCI device at ${bdf}`);
  drive.powerOn();
  assert.deepEqual(await ok(addon, 'scanAttachment', 1000), { status: 'OK' });
  assert.deepEqual(await ok(addon, 'scanAttachment', 0), { status: 'OK' }, 'attached already: nothing to do');
});

test('getDeviceInfo reports the drive limits', async () => {
  const info = await ok(addon, 'getDeviceInfo');
  assert.deepEqual(Object.keys(info), ['maxXferSize', 'maxQueueDepth', 'maxNamespaceId']);
  assert.equal(info.maxNamespaceId, 4);
  assert.equal(info.maxQueueDepth, 1024);
  assert.equal(info.maxXferSize, 131072);
});

test('getNamespaceInfo reports each namespace, inactive ones as zeros', async () => {
  assert.deepEqual(await ok(addon, 'getNamespaceInfo', 1), { isActive: true, lbaSize: 512, metaSize: 0, size: 1048576 });
  assert.deepEqual(await ok(addon, 'getNamespaceInfo', 2), { isActive: false, lbaSize: 0, metaSize: 0, size: 0 });
  assert.deepEqual(await ok(addon, 'getNamespaceInfo', 3),
    { isActive: true, lbaSize: 512, metaSize: 0, size: 5000000000 });
  assert.deepEqual(await ok(addon, 'getNamespaceInfo', 4), { isActive: true, lbaSize: 4096, metaSize: 0, size: 8192 });
  assert.deepEqual(await ok(addon, 'getNamespaceInfo', 0), { isActive: false, lbaSize: 0, metaSize: 0, size: 0 });
  assert.deepEqual(await ok(addon, 'getNamespaceInfo', 5), { isActive: false, lbaSize: 0, metaSize: 0, size: 0 });
});

test('scanRemoval detaches the drive; a new scan attaches it again', async () => {
  assert.deepEqual(await ok(addon, 'scanRemoval'), { status: 'OK' });
  assert.equal((await fails(addon, 'getDeviceInfo')).message, 'device not initialized');
  assert.equal((await fails(addon, 'getNamespaceInfo', 1)).message, 'failed to get namespace info');
  await ok(addon, 'scanAttachment', 0);
  assert.equal((await ok(addon, 'getDeviceInfo')).maxNamespaceId, 4);
});

test('many calls in flight each end in their own callback', async () => {
  const results = await Promise.all(Array.from({ length: 16 }, (_, i) => ok(addon, 'getNamespaceInfo', (i % 4) + 1)));
  assert.deepEqual(results.map((r) => r.isActive), [true, false, true, true, true, false, true, true,
    true, false, true, true, true, false, true, true]);
  drive.keepAlive();
});
