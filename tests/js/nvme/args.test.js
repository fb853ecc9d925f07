'use strict';
// Argument errors of every NVMe method, with their exact texts, before and after the NVMe side is started.
// A refused call throws at once and never calls its callback.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startArgs, loadAddon, createDrive, freeBdf } = require('./helpers');

const { KytAddon } = loadAddon();
const addon = new KytAddon(true);
const bdf = freeBdf();
const drive = createDrive(bdf);

let calledBack = 0;
const cb = () => { calledBack += 1; };

function refuses(call, message) {
  assert.throws(call, (err) => {
    assert.ok(err instanceof TypeError, `expected a TypeError, got ${err}`);
    assert.equal(err.message, message);
    return true;
  });
}

const eventMethods = [
  ['read', [0, 8, cb]],
  ['write', [0, 8, cb]],
  ['datasetManagement', [Buffer.alloc(16), 4, 1, 1, cb]],
  ['createQueuePair', [cb]],
  ['deleteQueuePair', [1, cb]],
  ['formatNvm', [1, 0, cb]],
  ['sendGenericCommand', [0, { nsid: 0, opc: 6 }, Buffer.alloc(4096), false, cb]],
];

test('before the start every command method refuses without a method prefix', () => {
  for (const [name, args] of eventMethods) refuses(() => addon[name](...args), 'NVMe driver is not loaded yet');
});

test('before the start the worker-pool methods check their argument count first, then the start', () => {
  refuses(() => addon.getDeviceInfo(), 'nvme.getDeviceInfo : Wrong number of arguments');
  refuses(() => addon.getDeviceInfo(cb), 'nvme.getDeviceInfo : NVMe is not initialized yet');
  refuses(() => addon.getNamespaceInfo(1, cb), 'nvme.getNamespaceInfo : NVMe is not initialized yet');
  refuses(() => addon.resetController(cb), 'nvme.resetController : NVMe is not initialized yet');
  refuses(() => addon.scanAttachment(1000, cb), 'nvme.scanAttachment : NVMe is not initialized yet');
  refuses(() => addon.nvmeSetErrorInjection(0, 2, false, 1, 0, 0, 1, cb),
    'nvme.setErrorInjection : NVMe is not initialized yet');
});

test('the NVMe side starts on the simulated drive', () => {
  addon.setDefaultBdf(bdf);
  assert.equal(addon.startTaskScheduler(...startArgs()), true);
});

test('read and write arguments', () => {
  refuses(() => addon.read(), 'read : argument "startLba" must be a Number');
  refuses(() => addon.read(0, '8', cb), 'read : argument "numBlocks" must be a Number');
  refuses(() => addon.read(0, 8), 'read : argument "options" must be an Object');
  refuses(() => addon.read(0, 8, null, cb), 'read : argument "options" must be an Object');
  refuses(() => addon.read(0, 8, {}, cb, 5), 'read : requires 3 or 4 arguments');
  refuses(() => addon.read(0, 8, {}, 5), 'read : argument callback must be a Function');
  refuses(() => addon.read(0, 8, { nsid: 'x' }, cb), 'read : options.nsid must be a Number');
  refuses(() => addon.read(0, 8, { qid: null }, cb), 'read : options.qid must be a Number');
  refuses(() => addon.read(0, 0, cb), 'read : argument "numBlocks" must be a value in [1 - 65536]');
  const throwing = { get nsid() { throw new Error('getter failed'); } };
  refuses(() => addon.read(0, 8, throwing, cb), 'read : property "nsid" could not be read');
  refuses(() => addon.read(0, 65537, cb), 'read : argument "numBlocks" must be a value in [1 - 65536]');
  refuses(() => addon.write(0, 8, { nsid: true }, cb), 'write : options.nsid must be a Number');
  refuses(() => addon.write(0, 8, { dataPattern: Buffer.alloc(12) }, cb),
    'write : options.dataPattern should be a Buffer with size that is multiples of 8.');
  refuses(() => addon.write(0, 8, { dataPattern: 'abcdefgh' }, cb), 'write : options.dataPattern must be a Object');
  refuses(() => addon.write(0, 8, { dataPattern: {} }, cb), 'write : options.dataPattern must be a Object');
  refuses(() => addon.write(0, 8, { dataPattern: null }, cb), 'write : options.dataPattern must be a Object');
  refuses(() => addon.write(0, 8, {}, cb, cb), 'write : requires 3 or 4 arguments');
});

test('datasetManagement arguments', () => {
  const ranges = Buffer.alloc(16);
  refuses(() => addon.datasetManagement([1], 4, 1, 1, cb), 'datasetManagement : argument "ranges" must be a Buffer');
  refuses(() => addon.datasetManagement(ranges, '4', 1, 1, cb),
    'datasetManagement : argument "attributes" must be a Number');
  refuses(() => addon.datasetManagement(ranges, 4, null, 1, cb), 'datasetManagement : argument "nsid" must be a Number');
  refuses(() => addon.datasetManagement(ranges, 4, 1, undefined, cb),
    'datasetManagement : argument "qid" must be a Number');
  refuses(() => addon.datasetManagement(ranges, 4, 1, 1), 'datasetManagement : requires 5 or 6 arguments');
  refuses(() => addon.datasetManagement(ranges, 4, 1, 1, 7, cb),
    'datasetManagement : argument option must be an Object');
});

test('queue pair and format arguments', () => {
  refuses(() => addon.createQueuePair(), 'createQueuePair : requires 1 or 2 arguments');
  refuses(() => addon.createQueuePair(5, cb), 'createQueuePair : argument option must be an Object');
  refuses(() => addon.createQueuePair({}, 5), 'createQueuePair : argument callback must be a Function');
  refuses(() => addon.deleteQueuePair(cb), 'deleteQueuePair : argument "qid" must be a Number');
  refuses(() => addon.deleteQueuePair(1, {}, cb, cb), 'deleteQueuePair : requires 2 or 3 arguments');
  refuses(() => addon.formatNvm(1, 'a', cb), 'formatNvm : argument "lbaFormat" must be a Number');
  for (const lbaFormat of [16, NaN, 2 ** 32, 2.5, -1]) {
    refuses(() => addon.formatNvm(1, lbaFormat, cb), 'formatNvm : argument "lbaFormat" must be a value in [0 - 15]');
  }
  refuses(() => addon.formatNvm(1, 0, { mset: 2 }, cb), 'formatNvm : options.mset must be a value in [0 - 1]');
  refuses(() => addon.formatNvm(1, 0, { pi: 8 }, cb), 'formatNvm : options.pi must be a value in [0 - 7]');
  refuses(() => addon.formatNvm(1, 0, { pil: 2 }, cb), 'formatNvm : options.pil must be a value in [0 - 1]');
  refuses(() => addon.formatNvm(1, 0, { ses: 8 }, cb), 'formatNvm : options.ses must be a value in [0 - 7]');
  refuses(() => addon.formatNvm(1, 0, { mset: '1' }, cb), 'formatNvm : options.mset must be a Number');
  refuses(() => addon.formatNvm(1, 0, {}, cb, cb), 'formatNvm : requires 3 or 4 arguments');
});

test('sendGenericCommand arguments carry the prefix "sendAdminCommand"', () => {
  const buf = Buffer.alloc(512);
  const cmd = { nsid: 0, opc: 6, cdw10: 1 };
  refuses(() => addon.sendGenericCommand('0', cmd, buf, false, cb), 'sendAdminCommand : argument "qid" must be a Number');
  refuses(() => addon.sendGenericCommand(0, 5, buf, false, cb), 'sendAdminCommand : argument "command" must be an Object');
  refuses(() => addon.sendGenericCommand(0, { opc: 6 }, buf, false, cb), 'sendAdminCommand : command.nsid is required');
  refuses(() => addon.sendGenericCommand(0, { nsid: 0 }, buf, false, cb), 'sendAdminCommand : command.opc is required');
  refuses(() => addon.sendGenericCommand(0, { nsid: 0, opc: 'x' }, buf, false, cb),
    'sendAdminCommand : command.opc must be a Number');
  refuses(() => addon.sendGenericCommand(0, { nsid: 0, opc: 6, cdw12: 'x' }, buf, false, cb),
    'sendAdminCommand : command.cdw12 must be a Number');
  refuses(() => addon.sendGenericCommand(0, cmd, [1, 2], false, cb), 'sendAdminCommand : argument "buffer" must be a Buffer');
  refuses(() => addon.sendGenericCommand(0, cmd, 'abc', false, cb), 'sendAdminCommand : argument "buffer" must be a Buffer');
  refuses(() => addon.sendGenericCommand(0, cmd, buf, 1, cb),
    'sendAdminCommand : argument "isHostToDevice" must be a Boolean');
  refuses(() => addon.sendGenericCommand(0, cmd, buf, false), 'sendAdminCommand : requires 5 or 6 arguments');
  refuses(() => addon.sendGenericCommand(0, cmd, buf, false, 5), 'sendAdminCommand : argument callback must be a Function');
});

test('a Buffer longer than 2^32 - 1 bytes is refused', () => {
  const huge = Buffer.allocUnsafeSlow(2 ** 32);  // never touched: costs no memory
  refuses(() => addon.sendGenericCommand(0, { nsid: 0, opc: 6 }, huge, false, cb),
    'sendAdminCommand : argument "buffer" must be a Buffer of at most 4294967295 bytes');
  refuses(() => addon.datasetManagement(huge, 4, 1, 1, cb),
    'datasetManagement : argument "ranges" must be a Buffer of at most 4294967295 bytes');
  refuses(() => addon.write(0, 8, { dataPattern: huge }, cb),
    'write : options.dataPattern must be a Buffer of at most 4294967295 bytes');
});

test('device, namespace and function method arguments', () => {
  refuses(() => addon.getDeviceInfo(), 'nvme.getDeviceInfo : Wrong number of arguments');
  refuses(() => addon.getDeviceInfo(cb, cb), 'nvme.getDeviceInfo : Wrong number of arguments');
  refuses(() => addon.getDeviceInfo(5), 'nvme.getDeviceInfo : callback must be a Function');
  refuses(() => addon.getNamespaceInfo(1), 'nvme.getNamespaceInfo : Wrong number of arguments');
  refuses(() => addon.getNamespaceInfo('1', cb), 'nvme.getNamespaceInfo : argument "nsid" must be a Number');
  refuses(() => addon.getNamespaceInfo('1', 5), 'nvme.getNamespaceInfo : argument "nsid" must be a Number');
  refuses(() => addon.enableDataValidator(), 'nvme.enableDataValidator : Wrong number of arguments');
  refuses(() => addon.enableDataValidator(1, cb), 'nvme.enableDataValidator : argument "options" must be an Object');
  refuses(() => addon.enableDataValidator({ nsid: 'a' }, cb), 'nvme.enableDataValidator : options.nsid must be a Number');
  refuses(() => addon.disableDataValidator({}, 'cb'), 'nvme.disableDataValidator : callback must be a Function');
  refuses(() => addon.enableCommandTracker(cb, 1), 'nvme.enableCommandTracker : Wrong number of arguments');
  refuses(() => addon.disableCommandTracker(), 'nvme.disableCommandTracker : Wrong number of arguments');
  refuses(() => addon.setCommandTrackerLog(cb), 'nvme.setCommandTrackerLog : Wrong number of arguments');
  refuses(() => addon.setCommandTrackerLog(undefined, cb), 'nvme.setCommandTrackerLog : argument "logPath" is required');
  refuses(() => addon.setCommandTrackerLog(5, cb), 'nvme.setCommandTrackerLog : argument "logPath" must be a String');
  refuses(() => addon.scanAttachment('x', cb), 'nvme.scanAttachment : argument "timeout" must be a Number');
  refuses(() => addon.scanRemoval(), 'nvme.scanRemoval : Wrong number of arguments');
  refuses(() => addon.resetController(1), 'nvme.resetController : callback must be a Function');
  refuses(() => addon.shutdown(cb, 1), 'nvme.shutdown : Wrong number of arguments');
  refuses(() => addon.nvmeSetErrorInjection(0, 2, false, 1, 0, 0, cb), 'nvme.setErrorInjection : Wrong number of arguments');
  refuses(() => addon.nvmeSetErrorInjection(0, 2, 1, 1, 0, 0, 1, cb),
    'nvme.setErrorInjection : argument "doNotSubmit" must be a Boolean');
  refuses(() => addon.nvmeSetErrorInjection(0, 2, false, 1, '0', 0, 1, cb),
    'nvme.setErrorInjection : argument "timeoutInUs" must be a Number');
});

test('no refused call ever calls back', async () => {
  await new Promise((resolve) => setTimeout(resolve, 50));
  assert.equal(calledBack, 0);
  drive.keepAlive();
});
