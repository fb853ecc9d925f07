'use strict';
// Format NVM and raw commands on the simulated drive.
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadAddon, createDrive, freeBdf, ok, fails } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf);

test('start and attach', async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(0, 1, 0), true);
  await ok(addon, 'scanAttachment', 5000);
});

test('sendGenericCommand Identify Controller fills the Buffer', async () => {
  const buf = Buffer.alloc(4096, 0xee);
  const cpl = await ok(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 0x106, cdw10: 1 }, buf, false);
  assert.equal(cpl.status.sc, 0);
  assert.equal(cpl.sqid, 0);
  assert.equal(buf.readUInt16LE(0), 0x1d1d, 'PCI vendor id');
  assert.match(buf.toString('latin1', 24, 64), /^KYT Simulated NVMe Controller/);
  assert.equal(buf.readUInt32LE(516), 4, 'NN');
});

test('sendGenericCommand host-to-device write reaches the media on an I/O queue', async () => {
  const qid = await ok(addon, 'createQueuePair');
  const data = Buffer.alloc(1024);
  for (let i = 0; i < data.length; i += 1) data[i] = (i * 13) & 0xff;
  const cpl = await ok(addon, 'sendGenericCommand', qid, { nsid: 1, opc: 0x01, cdw10: 77, cdw12: 1 }, data, true);
  assert.equal(cpl.sqid, qid);
  assert.ok(drive.readBlock(1, 77).equals(data.subarray(0, 512)));
  assert.ok(drive.readBlock(1, 78).equals(data.subarray(512)));
  const back = Buffer.alloc(1024);
  await ok(addon, 'sendGenericCommand', qid, { nsid: 1, opc: 0x02, cdw10: 77, cdw12: 1 }, back, false);
  assert.ok(back.equals(data));
});

test('an unsupported opcode ends in "command error" with the status', async () => {
  const err = await fails(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 0xc3 }, Buffer.alloc(0), false);
  assert.equal(err.message, 'command error');
  assert.equal(err.data.status.sc, 1);
  assert.equal(err.data.status.sct, 0);
});

test('formatNvm changes the LBA size that getNamespaceInfo reports', async () => {
  assert.equal((await ok(addon, 'getNamespaceInfo', 1)).lbaSize, 512);
  const cpl = await ok(addon, 'formatNvm', 1, 2);
  assert.equal(cpl.status.sc, 0);
  const info = await ok(addon, 'getNamespaceInfo', 1);
  assert.equal(info.lbaSize, 4096);
  assert.equal(info.size, 1048576 / 8, 'the capacity in bytes stays');
  await ok(addon, 'formatNvm', 1, 0, {});
  assert.equal((await ok(addon, 'getNamespaceInfo', 1)).lbaSize, 512);
});

test('a Format NVM completing with an error status gives "command error" and keeps the format', async () => {
  drive.injectStatus({ admin: true, opcode: 0x80, sct: 0, sc: 0x0a, count: 1 });
  const err = await fails(addon, 'formatNvm', 1, 2, { ses: 1 });
  assert.equal(err.message, 'command error');
  assert.equal(err.data.status.sc, 10);
  assert.equal((await ok(addon, 'getNamespaceInfo', 1)).lbaSize, 512);
});

test('deleteQueuePair of a queue that does not exist', async () => {
  assert.equal((await fails(addon, 'deleteQueuePair', 9)).message, 'Invalid QID 9');
  drive.keepAlive();
});
