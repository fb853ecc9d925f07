'use strict';
// Argument refusals of the NVMe methods: one row per distinct check of each shared parser and one row per method
// showing its prefix. A refused call throws a TypeError at once and never calls back.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, loadAddon, createDrive, freeBdf, call } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf);

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

test('before the start: command methods without a prefix, worker-pool methods after their argument count', () => {
  refuses([
    ['read', [0, 8, cb], 'NVMe driver is not loaded yet'],
    ['startWorkloadGenerator', [cb], 'NVMe driver is not loaded yet'],
    ['getDeviceInfo', [], 'nvme.getDeviceInfo : Wrong number of arguments'],
    ['getDeviceInfo', [cb], 'nvme.getDeviceInfo : NVMe is not initialized yet'],
  ]);
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
});

test('the command methods\' parser', () => {
  refuses([
    ['read', [0, 8, {}, cb, 5], 'read : requires 3 or 4 arguments'],
    ['read', [0, 8, {}, 5], 'read : argument callback must be a Function'],
    ['read', [0, '8', cb], 'read : argument "numBlocks" must be a Number'],
    ['read', [0, 8, null, cb], 'read : argument "options" must be an Object'],
    ['read', [0, 8, { qid: null }, cb], 'read : options.qid must be a Number'],
    ['read', [0, 8, { get nsid() { throw new Error('getter'); } }, cb], 'read : property "nsid" could not be read'],
    ['read', [0, 0, cb], 'read : argument "numBlocks" must be a value in [1 - 65536]'],
    ['write', [0, 65537, cb], 'write : argument "numBlocks" must be a value in [1 - 65536]'],
    ['write', [0, 8, { dataPattern: Buffer.alloc(12) }, cb],
      'write : options.dataPattern should be a Buffer with size that is multiples of 8.'],
    ['write', [0, 8, { dataPattern: 'abcdefgh' }, cb], 'write : options.dataPattern must be a Object'],
    ['write', [0, 8, { dataPattern: huge }, cb],
      'write : options.dataPattern must be a Buffer of at most 4294967295 bytes'],
    ['datasetManagement', [[1], 4, 1, 1, cb], 'datasetManagement : argument "ranges" must be a Buffer'],
    ['datasetManagement', [buf, 4, 1, 1], 'datasetManagement : requires 5 or 6 arguments'],
    ['createQueuePair', [5, cb], 'createQueuePair : argument option must be an Object'],
    ['deleteQueuePair', [cb], 'deleteQueuePair : argument "qid" must be a Number'],
    ['formatNvm', [1, 0, { mset: 2 }, cb], 'formatNvm : options.mset must be a value in [0 - 1]'],
    ['formatNvm', [1, 0, { pi: 8 }, cb], 'formatNvm : options.pi must be a value in [0 - 7]'],
    ['formatNvm', [1, 0, { pil: 2 }, cb], 'formatNvm : options.pil must be a value in [0 - 1]'],
    ['formatNvm', [1, 0, { ses: 8 }, cb], 'formatNvm : options.ses must be a value in [0 - 7]'],
    ['sendGenericCommand', [0, { opc: 6 }, buf, false, cb], 'sendAdminCommand : command.nsid is required'],
    ['sendGenericCommand', [0, cmd, buf, 1, cb], 'sendAdminCommand : argument "isHostToDevice" must be a Boolean'],
    ['sendGenericCommand', [0, cmd, huge, false, cb],
      'sendAdminCommand : argument "buffer" must be a Buffer of at most 4294967295 bytes'],
  ]);
  // The LBA format is taken only as the script wrote it: no conversion picks a layout it did not name.
  for (const lbaFormat of [16, NaN, 2 ** 32, 2.5, -1]) {
    refuses([['formatNvm', [1, lbaFormat, cb], 'formatNvm : argument "lbaFormat" must be a value in [0 - 15]']]);
  }
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
    E('setCommandTrackerLog', [undefined, cb], 'argument "logPath" is required'),
    E('setCommandTrackerLog', [5, cb], 'argument "logPath" must be a String'),
    E('scanAttachment', ['x', cb], 'argument "timeout" must be a Number'),
    E('scanRemoval', [], 'Wrong number of arguments'),
    E('resetController', [1], 'callback must be a Function'),
    E('shutdown', [cb, 1], 'Wrong number of arguments'),
    E('nvmeSetErrorInjection', [0, 2, 1, 1, 0, 0, 1, cb], 'argument "doNotSubmit" must be a Boolean'),
  ]);
});

test('no refused call ever calls back', async () => {
  await call(addon, 'read', 0, 1);  // a call made after them ends after anything they would have started
  assert.equal(calledBack, 0);
  drive.keepAlive();
});
