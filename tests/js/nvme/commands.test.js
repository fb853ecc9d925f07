'use strict';
// The NVMe command methods on the simulated drive. Argument refusals: one row per distinct check of each shared parser
// and one row per method showing its prefix; a refused call throws a TypeError at once and never calls back. Then
// attachment, device and namespace information; reads, writes, deallocation and queue pairs: data, completion
// objects, the 64-bit LBA path, command errors and the texts of the refusals a script receives.
const test = require('node:test');
const assert = require('node:assert/strict');
const { ok, fails, call, driveSetup } = require('./helpers');
const { peakGrowth } = require('../ports/support');

const { addon, bdf, drive, start } = driveSetup();
let qid = 0;

let calledBack = 0;
const cb = () => { calledBack += 1; };
const buf = Buffer.alloc(512);
const cmd = { nsid: 0, opc: 6 };
const huge = Buffer.allocUnsafeSlow(2 ** 32);  // never touched: costs no memory

function refuses(rows) {
  for (const [method, args, message] of rows) {
    assert.throws(() => addon[method](...args), (err) => err instanceof TypeError && err.message === message,
      `${method}(${args.map(String)}) should throw ${message}`);
  }
}

function pattern(a, b) {
  const buf = Buffer.alloc(16);
  buf.writeBigUInt64LE(a, 0);
  buf.writeBigUInt64LE(b, 8);
  return buf;
}

test('before the start, the worker-pool methods count their arguments first', () => {
  refuses([['getDeviceInfo', [], 'nvme.getDeviceInfo : Wrong number of arguments']]);
  assert.equal(start(), true);
});

test('the command methods\' parser', () => {
  refuses([
    ['read', [0, 8, {}, cb, 5], 'read : requires 3 or 4 arguments'],
    ['read', [0, 8, {}, 5], 'read : argument callback must be a Function'],
    ['read', [0, 8, null, cb], 'read : argument "options" must be an Object'],
    ['read', [0, 8, { bdf: `${bdf}\0junk` }, cb], 'read : options.bdf must not contain a NUL character'],
    ['read', [0, 8, { get nsid() { throw new Error('getter'); } }, cb], 'read : property "nsid" could not be read'],
    ['read', [0, 0, cb], 'read : argument "numBlocks" must be a value in [1 - 65536]'],
    ['write', [0, 65537, cb], 'write : argument "numBlocks" must be a value in [1 - 65536]'],
    ['write', [0, 8, { dataPattern: Buffer.alloc(12) }, cb],
      'write : options.dataPattern should be a Buffer with size that is multiples of 8.'],
    ['write', [0, 8, { dataPattern: 'abcdefgh' }, cb], 'write : options.dataPattern must be a Object'],
    ['write', [0, 8, { dataPattern: huge }, cb],
      'write : options.dataPattern must be a Buffer of at most 4294967295 bytes'],
    ['datasetManagement', [buf, 4, 1, 1], 'datasetManagement : requires 5 or 6 arguments'],
    ['createQueuePair', [5, cb], 'createQueuePair : argument option must be an Object'],
    ['deleteQueuePair', [cb], 'deleteQueuePair : argument "qid" must be a Number'],
    ...[['mset', 1], ['pi', 7], ['pil', 1], ['ses', 7]].map(([field, max]) => ['formatNvm',
      [1, 0, { [field]: max + 1 }, cb], `formatNvm : options.${field} must be a value in [0 - ${max}]`]),
    // The LBA format is taken only as the script wrote it: no conversion picks a layout it did not name.
    ...[16, NaN, 2 ** 32, 2.5, -1].map((lbaFormat) => ['formatNvm', [1, lbaFormat, cb],
      'formatNvm : argument "lbaFormat" must be a value in [0 - 15]']),
    ['sendGenericCommand', [0, { opc: 6 }, buf, false, cb], 'sendAdminCommand : command.nsid is required'],
    ['sendGenericCommand', [0, cmd, buf, 1, cb], 'sendAdminCommand : argument "isHostToDevice" must be a Boolean'],
    ['sendGenericCommand', [0, cmd, huge, false, cb],
      'sendAdminCommand : argument "buffer" must be a Buffer of at most 4294967295 bytes'],
  ]);
});

test('the worker-pool methods\' parser', () => {
  const E = (method, args, message) => [method, args, `nvme.${method.replace('nvmeS', 's')} : ${message}`];
  refuses([
    E('getDeviceInfo', [cb, cb], 'Wrong number of arguments'),
    E('getDeviceInfo', [5], 'callback must be a Function'),
    E('getNamespaceInfo', ['1', cb], 'argument "nsid" must be a Number'),
    E('enableDataValidator', [1, cb], 'argument "options" must be an Object'),
    E('disableDataValidator', [{ nsid: 'a' }, cb], 'options.nsid must be a Number'),
    E('enableCommandTracker', [cb, 1], 'Wrong number of arguments'),
    E('disableCommandTracker', [], 'Wrong number of arguments'),
    E('setCommandTrackerLog', [5, cb], 'argument "logPath" must be a String'),
    E('scanAttachment', ['x', cb], 'argument "timeout" must be a Number'),
    E('scanRemoval', [], 'Wrong number of arguments'),
    E('resetController', [1], 'callback must be a Function'),
    E('shutdown', [cb, 1], 'Wrong number of arguments'),
    E('nvmeSetErrorInjection', [0, 2, 1, 1, 0, 0, 1, cb], 'argument "doNotSubmit" must be a Boolean'),
  ]);
});

test('before the drive is attached nothing answers; an options "bdf" does not move a command elsewhere', async () => {
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
  assert.deepEqual(await ok(addon, 'getDeviceInfo'), { maxXferSize: 131072, maxQueueDepth: 1024, maxNamespaceId: 4, ignoredCompletions: 0 });
  const inactive = { isActive: false, lbaSize: 0, metaSize: 0, size: 0 };
  const active = (lbaSize, size) => ({ isActive: true, lbaSize, metaSize: 0, size });
  const expected = [inactive, active(512, 1048576), inactive, active(512, 5000000000), active(4096, 8192), inactive];
  // Many calls in flight, each ending in its own callback.
  assert.deepEqual(await Promise.all(expected.map((_, nsid) => ok(addon, 'getNamespaceInfo', nsid))), expected);
});

test('no refused call ever calls back; I/O needs a queue pair', async () => {
  // A call made after them ends after anything they would have started.
  assert.equal((await fails(addon, 'read', 0, 1)).message, 'Invalid Queue ID', 'no I/O queue pair yet');
  assert.equal(calledBack, 0);
  qid = await ok(addon, 'createQueuePair');
  assert.equal(qid, 1);
});

test('a write puts its pattern on the media; the completion objects of writes and reads', async () => {
  const cpl = await ok(addon, 'write', 64, 8, { dataPattern: pattern(0x1122334455667788n, 0x99aabbccddeeff00n) });
  assert.deepEqual(Object.keys(cpl), ['cdw', 'sqhd', 'sqid', 'cid', 'status']);
  assert.deepEqual([cpl.sqid, cpl.status.sc, cpl.status.sct, cpl.status.m, cpl.status.dnr], [qid, 0, 0, 0, 0]);
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

test('a corrupted block ends a validated read and a verified workload in "data mismatch"', async () => {
  await ok(addon, 'enableDataValidator', { nsid: 1 });
  await ok(addon, 'write', 992, 24);
  drive.corruptBlock(1, 1005);
  const read = await fails(addon, 'read', 1000, 16);
  assert.equal(read.message, 'data mismatch');
  assert.equal(read.data.lba, 1005, 'the Error names the block, the tag expected there and the one found');
  assert.notEqual(read.data.expected, read.data.found);
  await ok(addon, 'read', 1006, 10);  // the blocks around it still check out
  const err = await fails(addon, 'startWorkloadGenerator', { range: { startLba: 992, size: 64 }, queueDepth: 1 });
  assert.equal(err.message, 'data mismatch');
  assert.deepEqual(err.data, read.data);
  assert.equal(err.read.perf.io, 1, 'the read before the corrupted block counts');
  await ok(addon, 'disableDataValidator', {});
  await ok(addon, 'read', 1000, 16);  // without validation the read is just a read
});

// The ranges are the Buffer's whole 16-byte entries; bytes after the last one are not sent.
test('datasetManagement deallocates: the blocks read back as zeros', async () => {
  await ok(addon, 'write', 2000, 8);
  const ranges = Buffer.alloc(36, 0xff);
  ranges.fill(0, 0, 32);
  ranges.writeUInt32LE(4, 4); ranges.writeBigUInt64LE(2000n, 8);
  ranges.writeUInt32LE(4, 20); ranges.writeBigUInt64LE(2004n, 24);
  drive.commandLog({ clear: true });
  assert.equal((await ok(addon, 'datasetManagement', ranges, 4, 1, qid)).sqid, qid);
  const dsm = drive.commandLog().filter((c) => c.opcode === 0x09);
  assert.deepEqual(dsm.map((c) => c.cdw[10] & 0xff), [1], 'two ranges (NR is zero-based)');
  for (let lba = 2000; lba < 2008; lba += 1) assert.ok(drive.readBlock(1, lba).equals(Buffer.alloc(512)), `lba ${lba}`);
});

test('refusals reach the callback with their text (of the arguments: a TypeError); nothing is sent', async () => {
  const commands = drive.counters().commands;
  for (const [method, args, message] of [
    ['read', [0, 8, { nsid: 2 }], 'Namespace 2 is not active'],
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

// The runner moves what the command moves (its tests); the call copies no more of a Buffer than a command can move.
test('sendGenericCommand takes a Buffer longer than the command moves, and copies only what it can move', async () => {
  const identify = { nsid: 0, opc: 6, cdw10: 1 };
  const long = Buffer.alloc(3 << 20, 0xee);
  await ok(addon, 'sendGenericCommand', 0, identify, long, false);
  assert.equal(long.readUInt16LE(0), 0x1d1d, 'the controller\'s vendor id');
  assert.ok(long.subarray(4096).equals(Buffer.alloc(long.length - 4096, 0xee)), 'nothing after the 4096 bytes moved');
  const untouched = Buffer.allocUnsafeSlow(256 << 20);
  let pending;
  const growth = peakGrowth(() => { pending = ok(addon, 'sendGenericCommand', 0, identify, untouched, false); });
  await pending;
  assert.ok(growth < 32 << 20, `the call took ${growth} bytes`);
});

test('deleteQueuePair answers true, then the queue is gone; a queue id keeps its low 16 bits', async () => {
  assert.equal(await ok(addon, 'createQueuePair', {}), 2);
  assert.equal(await ok(addon, 'deleteQueuePair', 2), true);
  assert.equal((await fails(addon, 'deleteQueuePair', 2)).message, 'Invalid QID 2');
  assert.equal((await fails(addon, 'read', 0, 1, { qid: 2 })).message, 'Invalid Queue ID');
  await ok(addon, 'read', 0, 1, { qid: 65536 + qid });
  drive.keepAlive();
});
