'use strict';
// A command that outlives the command time-out: its call ends in "Command Timed Out", the controller refuses
// further commands until it is scanned out and in again, and then works as before.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, smallNamespaces, loadAddon, createDrive, freeBdf, ok, fails } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf, { namespaces: smallNamespaces });
const identify = (buf) => ['sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, buf, false];

test('start and attach with a 200 ms command time-out', async () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
  await ok(addon, 'scanAttachment', 200);
});

test('a command that completes too late ends in "Command Timed Out"; a rescan brings the drive back', async () => {
  drive.delayCompletion({ admin: true, opcode: 6, delayUs: 1500000, count: 1 });
  const late = Buffer.alloc(4096);
  const err = await fails(addon, ...identify(late));
  assert.equal(err.message, 'Command Timed Out');
  assert.equal((await fails(addon, ...identify(Buffer.alloc(4096)))).message, 'Command Timed Out');
  await new Promise((resolve) => setTimeout(resolve, 1600));  // the late completion arrives meanwhile
  assert.deepEqual(await ok(addon, 'scanRemoval'), { status: 'OK' });
  await ok(addon, 'scanAttachment', 0);
  const buf = Buffer.alloc(4096);
  await ok(addon, ...identify(buf));
  assert.equal(buf.readUInt16LE(0), 0x1d1d);
  assert.ok(late.equals(Buffer.alloc(4096)), 'the timed-out call never wrote into the caller\'s Buffer');
  drive.keepAlive();
});
