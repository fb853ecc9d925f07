'use strict';
// Reads, writes and deallocation on the simulated drive: data, completion objects, command errors and validation.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, smallNamespaces, loadAddon, createDrive, freeBdf, ok, fails, call } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf, { namespaces: smallNamespaces });
let qid = 0;

function pattern(a, b) {
  const buf = Buffer.alloc(16);
  buf.writeBigUInt64LE(a, 0);
  buf.writeBigUInt64LE(b, 8);
  return buf;
}

function assertCompletionShape(cpl) {
  assert.deepEqual(Object.keys(cpl), ['cdw', 'sqhd', 'sqid', 'cid', 'status']);
  assert.deepEqual(Object.keys(cpl.status), ['sc', 'sct', 'm', 'p', 'dnr']);
  for (const v of [cpl.cdw, cpl.sqhd, cpl.sqid, cpl.cid, ...Object.values(cpl.status)]) {
    assert.equal(typeof v, 'number');
  }
}

test('start and attach, then create a queue pair', async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
  await ok(addon, 'scanAttachment', 5000);
  assert.equal((await fails(addon, 'read', 0, 1)).message, 'Invalid Queue ID', 'no I/O queue pair yet');
  qid = await ok(addon, 'createQueuePair');
  assert.equal(typeof qid, 'number');
  assert.equal(qid, 1);
});

test('write then read round-trips the pattern; the completion object has its fields', async () => {
  const cpl = await ok(addon, 'write', 64, 8, { dataPattern: pattern(0x1122334455667788n, 0x99aabbccddeeff00n) });
  assertCompletionShape(cpl);
  assert.equal(cpl.sqid, qid);
  assert.deepEqual(cpl.status, { sc: 0, sct: 0, m: 0, p: cpl.status.p, dnr: 0 });
  const media = drive.readBlock(1, 70);
  assert.equal(media.readBigUInt64LE(0), 0x1122334455667788n);
  assert.equal(media.readBigUInt64LE(8), 0x99aabbccddeeff00n);
  const read = await ok(addon, 'read', 64, 8, { nsid: 1, qid });
  assertCompletionShape(read);
  assert.equal(read.status.sc, 0);
});

test('a call the drive cannot carry out is refused before sending, with a TypeError', async () => {
  for (const [method, args, message] of [
    ['read', [0, 257], 'read : argument "numBlocks" must be at most 256, the largest transfer of namespace 1'],
    ['sendGenericCommand', [0, { nsid: 0, opc: 6, cdw10: 1 }, Buffer.alloc(512), false],
      'sendAdminCommand : argument "buffer" holds 512 bytes, less than the 4096 bytes the command transfers'],
  ]) {
    const err = await fails(addon, method, ...args);
    assert.ok(err instanceof TypeError, `${method}: ${err}`);
    assert.equal(err.message, message);
  }
});

test('an injected status ends in Error("command error") carrying the completion', async () => {
  drive.injectStatus({ admin: false, opcode: 0x02, sct: 0, sc: 0x81, count: 1 });
  const err = await fails(addon, 'read', 0, 1);
  assert.equal(err.message, 'command error');
  assertCompletionShape(err.data);
  assert.equal(err.data.status.sc, 0x81);
  assert.equal(err.data.status.sct, 0);
  assert.equal(err.data.sqid, qid);
  await ok(addon, 'read', 0, 1);  // the injection was used up
});

test('a validated read of a corrupted block ends in "data mismatch"', async () => {
  await ok(addon, 'enableDataValidator', { nsid: 1 });
  await ok(addon, 'write', 1000, 16);
  await ok(addon, 'read', 1000, 16);
  drive.corruptBlock(1, 1005);
  assert.equal((await fails(addon, 'read', 1000, 16)).message, 'data mismatch');
  await ok(addon, 'read', 1006, 10);  // the blocks around it still check out
  await ok(addon, 'disableDataValidator', {});
  await ok(addon, 'read', 1000, 16);  // without validation the read is just a read
});

test('datasetManagement deallocates: the blocks read back as zeros', async () => {
  await ok(addon, 'enableDataValidator', { nsid: 1 });
  await ok(addon, 'write', 2000, 8);  // validated: every block carries its tag
  const ranges = Buffer.alloc(32);
  ranges.writeUInt32LE(4, 4); ranges.writeBigUInt64LE(2000n, 8);
  ranges.writeUInt32LE(4, 20); ranges.writeBigUInt64LE(2004n, 24);
  const cpl = await ok(addon, 'datasetManagement', ranges, 4, 1, qid);
  assertCompletionShape(cpl);
  for (let lba = 2000; lba < 2008; lba += 1) assert.ok(drive.readBlock(1, lba).equals(Buffer.alloc(512)), `lba ${lba}`);
  await ok(addon, 'read', 2000, 8);  // the validator now expects zeros and finds them
  await ok(addon, 'disableDataValidator', {});
});

test('refusals of the runner reach the callback with their text', async () => {
  assert.equal((await fails(addon, 'read', 0, 8, { nsid: 2 })).message, 'Namespace 2 is not active');
  assert.equal((await fails(addon, 'read', 0, 8, { qid: 7 })).message, 'Invalid Queue ID');
  assert.equal((await fails(addon, 'datasetManagement', Buffer.alloc(15), 4, 1, qid)).message,
    'Invalid Number of Ranges');
});

test('deleteQueuePair answers true, then the queue is gone', async () => {
  const second = await ok(addon, 'createQueuePair', {});
  assert.equal(second, 2);
  assert.equal(await ok(addon, 'deleteQueuePair', second), true);
  assert.equal((await fails(addon, 'deleteQueuePair', second)).message, `Invalid QID ${second}`);
  assert.equal((await fails(addon, 'read', 0, 1, { qid: second })).message, 'Invalid Queue ID');
  await ok(addon, 'read', 0, 1, { qid: 65536 + qid });  // only the low 16 bits count
});

test('the pattern Buffer may be detached by the script while the write is in flight', async () => {
  const ab = new ArrayBuffer(16);
  const pat = Buffer.from(ab);
  pat.writeBigUInt64LE(0xabcdef0123456789n, 0);
  pat.writeBigUInt64LE(0x0n, 8);
  const pending = call(addon, 'write', 3000, 1, { dataPattern: pat });
  structuredClone(ab, { transfer: [ab] });  // detaches ab: its memory now belongs to the clone
  const { err } = await pending;
  assert.equal(err, null);
  assert.equal(drive.readBlock(1, 3000).readBigUInt64LE(0), 0xabcdef0123456789n);
  drive.keepAlive();
});
