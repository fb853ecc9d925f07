'use strict';
// Reads, writes, deallocation and queue pairs on the simulated drive: data, completion objects, the 64-bit LBA path,
// command errors and the texts of the refusals a script receives.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, loadAddon, createDrive, freeBdf, ok, fails } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf);
let qid = 0;

function pattern(a, b) {
  const buf = Buffer.alloc(16);
  buf.writeBigUInt64LE(a, 0);
  buf.writeBigUInt64LE(b, 8);
  return buf;
}

test('start and attach, then create a queue pair', async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
  await ok(addon, 'scanAttachment', 5000);
  assert.equal((await fails(addon, 'read', 0, 1)).message, 'Invalid Queue ID', 'no I/O queue pair yet');
  qid = await ok(addon, 'createQueuePair');
  assert.equal(qid, 1);
});

test('a write puts its pattern on the media; the completion objects of writes and reads', async () => {
  const cpl = await ok(addon, 'write', 64, 8, { dataPattern: pattern(0x1122334455667788n, 0x99aabbccddeeff00n) });
  assert.deepEqual(Object.keys(cpl), ['cdw', 'sqhd', 'sqid', 'cid', 'status']);
  assert.deepEqual([cpl.sqid, cpl.status.sc, cpl.status.sct, cpl.status.m, cpl.status.dnr], [qid, 0, 0, 0, 0]);
  assert.deepEqual([typeof cpl.cid, typeof cpl.status.p], ['number', 'number']);
  assert.equal(drive.readBlock(1, 70).readBigUInt64LE(8), 0x99aabbccddeeff00n);
  assert.equal((await ok(addon, 'read', 64, 8, { nsid: 1, qid })).status.sc, 0);
});

test('a start LBA of 2^32 or more reaches the drive whole, for writes and reads', async () => {
  const lba = 2 ** 32 + 5;
  await ok(addon, 'write', lba, 1, { nsid: 3, dataPattern: pattern(0x0123456789abcdefn, 7n) });
  assert.equal(drive.readBlock(3, lba).readBigUInt64LE(0), 0x0123456789abcdefn);
  assert.equal(drive.readBlock(3, 5).readBigUInt64LE(0), 0n, 'nothing landed 2^32 blocks lower');
  await ok(addon, 'read', lba, 1, { nsid: 3 });
  const read = drive.commandLog().filter((c) => c.opcode === 0x02).pop();
  assert.deepEqual([read.nsid, read.cdw[10], read.cdw[11]], [3, 5, 1]);
});

test('an injected status ends in Error("command error") carrying the completion', async () => {
  drive.injectStatus({ admin: false, opcode: 0x02, sct: 1, sc: 0x81, count: 1 });
  const err = await fails(addon, 'read', 0, 1);
  assert.equal(err.message, 'command error');
  assert.deepEqual([err.data.status.sc, err.data.status.sct, err.data.sqid], [0x81, 1, qid]);
  await ok(addon, 'read', 0, 1);  // the injection was used up
});

test('a corrupted block ends a validated read and a verified workload in "data mismatch"', async () => {
  await ok(addon, 'enableDataValidator', { nsid: 1 });
  await ok(addon, 'write', 992, 24);
  drive.corruptBlock(1, 1005);
  assert.equal((await fails(addon, 'read', 1000, 16)).message, 'data mismatch');
  await ok(addon, 'read', 1006, 10);  // the blocks around it still check out
  const err = await fails(addon, 'startWorkloadGenerator', { range: { startLba: 992, size: 64 }, queueDepth: 1 });
  assert.equal(err.message, 'data mismatch');
  assert.equal(err.read.perf.io, 1, 'the read before the corrupted block counts');
  await ok(addon, 'disableDataValidator', {});
  await ok(addon, 'read', 1000, 16);  // without validation the read is just a read
});

test('datasetManagement deallocates: the blocks read back as zeros', async () => {
  await ok(addon, 'write', 2000, 8);
  const ranges = Buffer.alloc(32);
  ranges.writeUInt32LE(4, 4); ranges.writeBigUInt64LE(2000n, 8);
  ranges.writeUInt32LE(4, 20); ranges.writeBigUInt64LE(2004n, 24);
  assert.equal((await ok(addon, 'datasetManagement', ranges, 4, 1, qid)).sqid, qid);
  for (let lba = 2000; lba < 2008; lba += 1) assert.ok(drive.readBlock(1, lba).equals(Buffer.alloc(512)), `lba ${lba}`);
});

test('refusals reach the callback with their text (of the arguments: a TypeError); nothing is sent', async () => {
  const commands = drive.counters().commands;
  for (const [method, args, message] of [
    ['read', [0, 8, { nsid: 2 }], 'Namespace 2 is not active'],
    ['read', [0, 8, { qid: 7 }], 'Invalid Queue ID'],
    ['datasetManagement', [Buffer.alloc(15), 4, 1, qid], 'Invalid Number of Ranges'],
    ['read', [0, 257], 'read : argument "numBlocks" must be at most 256, the largest transfer of namespace 1'],
    ['write', [0, 33, { nsid: 4 }],
      'write : argument "numBlocks" must be at most 32, the largest transfer of namespace 4'],
    ['sendGenericCommand', [0, { nsid: 0, opc: 6, cdw10: 1 }, Buffer.alloc(512), false],
      'sendAdminCommand : argument "buffer" holds 512 bytes, less than the 4096 bytes the command transfers'],
  ]) {
    const err = await fails(addon, method, ...args);
    assert.equal(err.message, message);
    assert.equal(err instanceof TypeError, message.includes(' : '), message);
  }
  assert.equal(drive.counters().commands, commands);
});

test('deleteQueuePair answers true, then the queue is gone; a queue id keeps its low 16 bits', async () => {
  assert.equal(await ok(addon, 'createQueuePair', {}), 2);
  assert.equal(await ok(addon, 'deleteQueuePair', 2), true);
  assert.equal((await fails(addon, 'deleteQueuePair', 2)).message, 'Invalid QID 2');
  assert.equal((await fails(addon, 'read', 0, 1, { qid: 2 })).message, 'Invalid Queue ID');
  await ok(addon, 'read', 0, 1, { qid: 65536 + qid });
  drive.keepAlive();
});
