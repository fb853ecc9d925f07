'use strict';
// Format NVM and raw commands on the simulated drive.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, loadAddon, createDrive, freeBdf, ok, fails, call } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf);

test('start and attach', async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
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

test('a Buffer detached while its command is in flight still receives the data', async () => {
  const buf = Buffer.alloc(4096);
  const pending = call(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, buf, false);
  const moved = structuredClone(buf.buffer, { transfer: [buf.buffer] });  // the script's view is now detached
  assert.equal(buf.length, 0);
  const { err } = await pending;
  assert.equal(err, null);
  assert.equal(Buffer.from(moved).readUInt16LE(0), 0x1d1d, 'the memory the command wrote is the one that moved');
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

function lastCommand(opcode, admin = true) {
  const log = drive.commandLog().filter((c) => c.opcode === opcode && (c.sqid === 0) === admin);
  assert.ok(log.length > 0, `no command ${opcode} in the log`);
  return log[log.length - 1];
}

test('the numbers of the script reach the drive as the command dwords', async () => {
  // Format NVM dword 10: LBA format 2, metadata settings 1, protection information 3, its location 1, secure erase 2.
  const { err } = await call(addon, 'formatNvm', 1, 2, { mset: 1, pi: 3, pil: 1, ses: 2 });
  assert.equal(lastCommand(0x80).cdw[10], 0x572);
  assert.equal(lastCommand(0x80).nsid, 1);
  if (!err) await ok(addon, 'formatNvm', 1, 0);  // the drive took it: back to 512-byte blocks
  // opc keeps its low 8 bits and a dword of -1 is sent as 0xFFFFFFFF; omitted dwords are 0.
  await call(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 0x10a, cdw10: -1, cdw11: 2.9 }, Buffer.alloc(0), false);
  const sent = lastCommand(0x0a);
  assert.deepEqual(sent.cdw.slice(10, 16), [0xffffffff, 2, 0, 0, 0, 0]);
  // A queue id keeps its low 16 bits: 65537 deletes queue pair 1 (Delete I/O Submission Queue, opcode 0).
  assert.equal(await ok(addon, 'deleteQueuePair', 65537), true);
  assert.equal(lastCommand(0x00).cdw[10] & 0xffff, 1);
});

test('deleteQueuePair of a queue that does not exist', async () => {
  assert.equal((await fails(addon, 'deleteQueuePair', 9)).message, 'Invalid QID 9');
  drive.keepAlive();
});
