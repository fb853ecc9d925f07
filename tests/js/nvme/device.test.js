'use strict';
// Attachment, device and namespace information, and removal on the simulated drive.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, loadAddon, createDrive, freeBdf, ok, fails } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf);

test('before the drive is attached nothing answers; an options "bdf" does not move a command elsewhere', async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
  for (const args of [['getDeviceInfo'], ['read', 0, 1, { bdf: 5 }], ['write', 0, 1, { bdf: '0000:99:00.0' }],
    ['createQueuePair'], ['sendGenericCommand', 0, { nsid: 0, opc: 6 }, Buffer.alloc(0), false]]) {
    assert.equal((await fails(addon, ...args)).message, 'device not initialized', args[0]);
  }
  assert.equal((await fails(addon, 'getNamespaceInfo', 1)).message, 'failed to get namespace info');
});

test('scanAttachment of a drive that is not there says why; once it is, it attaches', async () => {
  drive.powerOff();
  assert.equal((await fails(addon, 'scanAttachment', 1000)).message,
    `failed to initialize the controller. no PCI device at ${bdf}`);
  drive.powerOn();
  assert.deepEqual(await ok(addon, 'scanAttachment', 30000), { status: 'OK' });
  assert.deepEqual(await ok(addon, 'scanAttachment', 0), { status: 'OK' }, 'attached already: nothing to do');
});

test('getDeviceInfo and getNamespaceInfo report the drive; inactive namespaces as zeros', async () => {
  assert.deepEqual(await ok(addon, 'getDeviceInfo'), { maxXferSize: 131072, maxQueueDepth: 1024, maxNamespaceId: 4 });
  const inactive = { isActive: false, lbaSize: 0, metaSize: 0, size: 0 };
  const active = (lbaSize, size) => ({ isActive: true, lbaSize, metaSize: 0, size });
  const expected = [inactive, active(512, 1048576), inactive, active(512, 5000000000), active(4096, 8192), inactive];
  // Many calls in flight, each ending in its own callback.
  assert.deepEqual(await Promise.all(expected.map((_, nsid) => ok(addon, 'getNamespaceInfo', nsid))), expected);
  drive.keepAlive();
});
