'use strict';
// Controller functions on the simulated drive: validator, tracker, error injection, reset, shutdown, removal; Format
// NVM and raw commands: the data they move and the dwords the drive receives.
const test = require('node:test');
const assert = require('node:assert/strict');
const os = require('node:os');
const path = require('node:path');
const { standardNamespaces, loadSim, ok, fails, call, driveSetup } = require('./helpers');

const sim = loadSim();

// Namespace 3: 2^34 blocks (8 TiB of 512 bytes).
const bigBlocks = 2 ** 34;
const { addon, bdf, drive, start } = driveSetup({
  namespaces: standardNamespaces.map((ns) => (ns.nsid === 3 ? { ...ns, blocks: bigBlocks } : ns)),
});
function lastCommand(opcode, admin = true) {
  return drive.commandLog().filter((c) => c.opcode === opcode && (c.sqid === 0) === admin).pop();
}
const identify = () => ['sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, Buffer.alloc(4096), false];

test('functions that need an attached drive say so', async () => {
  assert.equal(start(), true);
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
  assert.deepEqual(await ok(addon, 'setCommandTrackerLog', path.join(os.tmpdir(), `kyt-script-tracker-${process.pid}.log`)), { status: 'OK' });
  assert.deepEqual(await ok(addon, 'disableCommandTracker'), { status: 'OK' });
});

test('validating a 2^34-block namespace holds memory only for what I/O touched; corruption is still caught', async () => {
  const qid = await ok(addon, 'createQueuePair');
  const rss = process.memoryUsage().rss;
  await ok(addon, 'enableDataValidator', { nsid: 3 });
  const last = bigBlocks - 8;
  await ok(addon, 'write', last, 8, { nsid: 3, qid });
  await ok(addon, 'read', last, 8, { nsid: 3, qid });
  const grown = process.memoryUsage().rss - rss;
  assert.ok(grown < 64 * 2 ** 20, `the process grew by ${grown} bytes`);
  drive.corruptBlock(3, last + 3);
  assert.equal((await fails(addon, 'read', last, 8, { nsid: 3, qid })).message, 'data mismatch');
  await ok(addon, 'disableDataValidator', { nsid: 3 });
});

test('error injection shows in the next matching command, once, without submitting it', async () => {
  assert.deepEqual(await ok(addon, 'nvmeSetErrorInjection', 0, 0x106, true, 1, 0, 1, 0x81), { status: 'OK' });
  const commands = drive.counters().commands;
  const err = await fails(addon, ...identify());
  assert.deepEqual([err.message, err.data.status.sct, err.data.status.sc], ['command error', 1, 0x81]);
  assert.equal(drive.counters().commands, commands);
  await ok(addon, ...identify());
  assert.equal((await fails(addon, 'nvmeSetErrorInjection', 9, 2, false, 1, 0, 0, 1)).message, 'Invalid Queue ID');
  // A hold past the command time-out (5 s from the attachment scan) provokes a time-out: the held command ends at its
  // own deadline, as one the drive never answered, and later commands are refused until a reset.
  assert.deepEqual(await ok(addon, 'nvmeSetErrorInjection', 0, 6, true, 1, 2 ** 40, 0, 0), { status: 'OK' });
  let ended = null;
  call(addon, ...identify()).then((outcome) => { ended = outcome; });
  while (ended === null) {
    sim.advanceClock(1000000);
    await new Promise(setImmediate);
  }
  const { message, data } = ended.err;
  assert.deepEqual([message, data.status.sct, data.status.sc], ['Command Timed Out', 3, 0x71]);
  assert.equal(drive.counters().commands, commands + 1, 'the held command never reached the drive');
  assert.equal((await fails(addon, ...identify())).message, 'Command Timed Out');
  await ok(addon, 'resetController');
  await ok(addon, ...identify());
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
});

test('sendGenericCommand fills the Buffer, even one the script detached or resized while the command was in flight', async () => {
  const buf = Buffer.alloc(4096, 0xee);
  const cpl = await ok(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 0x106, cdw10: 1 }, buf, false);
  assert.deepEqual([cpl.status.sc, cpl.sqid, buf.readUInt16LE(0)], [0, 0, 0x1d1d]);
  assert.match(buf.toString('latin1', 24, 64), /^KYT Simulated NVMe Controller/);
  const detached = Buffer.alloc(4096);
  const pending = call(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, detached, false);
  const moved = structuredClone(detached.buffer, { transfer: [detached.buffer] });
  assert.equal((await pending).err, null);
  assert.equal(Buffer.from(moved).readUInt16LE(0), 0x1d1d, 'the memory the command wrote is the one that moved');
  // A resizable buffer cannot be pinned: the command works on its own copy, which the script gets only when the
  // buffer still has its length.
  const rab = new ArrayBuffer(4096, { maxByteLength: 8192 });
  const shrunk = call(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, new Uint8Array(rab), false);
  rab.resize(16);
  const err = (await shrunk).err;
  assert.deepEqual([err.message, err.data.status.sc],
    ['argument "buffer" changed its length while the command ran: its data were not returned', 0]);
  const kept = new Uint8Array(new ArrayBuffer(4096, { maxByteLength: 8192 }));
  await ok(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, kept, false);
  assert.equal(Buffer.from(kept.buffer).readUInt16LE(0), 0x1d1d);
});

test('sendGenericCommand host-to-device write reaches the media on an I/O queue', async () => {
  const qid = await ok(addon, 'createQueuePair');
  const data = Buffer.alloc(1024);
  for (let i = 0; i < data.length; i += 1) data[i] = (i * 13) & 0xff;
  const cpl = await ok(addon, 'sendGenericCommand', qid, { nsid: 1, opc: 0x01, cdw10: 77, cdw12: 1 }, data, true);
  assert.equal(cpl.sqid, qid);
  assert.ok(drive.readBlock(1, 78).equals(data.subarray(512)));
});

test('formatNvm changes the LBA size; one completing with an error status keeps it', async () => {
  assert.equal((await ok(addon, 'formatNvm', 1, 2)).status.sc, 0);
  const formatted = { isActive: true, lbaSize: 4096, metaSize: 0, size: 2 ** 17 };  // the capacity in bytes stays
  assert.deepEqual(await ok(addon, 'getNamespaceInfo', 1), formatted);
  drive.injectStatus({ admin: true, opcode: 0x80, sct: 0, sc: 0x0a, count: 1 });
  const err = await fails(addon, 'formatNvm', 1, 0, { ses: 1 });
  assert.deepEqual([err.message, err.data.status.sc], ['command error', 10]);
  assert.equal((await ok(addon, 'getNamespaceInfo', 1)).lbaSize, 4096);
});

test('the numbers of the script reach the drive as the command dwords', async () => {
  // Format NVM dword 10: LBA format 2, metadata settings 1, protection information 3, its location 1, secure erase 2.
  await call(addon, 'formatNvm', 1, 2, { mset: 1, pi: 3, pil: 1, ses: 2 });
  assert.deepEqual([lastCommand(0x80).nsid, lastCommand(0x80).cdw[10]], [1, 0x572]);
  // opc keeps its low 8 bits and a dword of -1 is sent as 0xFFFFFFFF; omitted dwords are 0.
  await call(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 0x10a, cdw10: -1, cdw11: 2.9 }, Buffer.alloc(0), false);
  assert.deepEqual(lastCommand(0x0a).cdw.slice(10, 16), [0xffffffff, 2, 0, 0, 0, 0]);
  drive.keepAlive();
});
