'use strict';
// The module loads, exports the class, and the class is shaped as scripts expect.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { repo, buildDir, addonPath, loadAddon, runChild } = require('./helpers');

const exported = loadAddon();
const { KytAddon } = exported;
// Quiet for the rest of this process: the runner reads this process's standard output.
const quietOne = new KytAddon(true);

test('the module exports exactly the class KytAddon', () => {
  assert.deepEqual(Object.keys(exported), ['KytAddon']);
  assert.equal(typeof KytAddon, 'function');
  assert.equal(KytAddon.name, 'KytAddon');
});

const packageBuild = buildDir === path.join(repo, 'build');
test('requiring the package folder gives the same exports',
  { skip: packageBuild ? false : 'the package loads build/, these tests run on another build' }, () => {
  const child = runChild(`const pkg = require(${JSON.stringify(repo)}); ` +
    `console.log(Object.keys(pkg).join(','), pkg.KytAddon === KytAddon);`);
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(child.lines, ['KytAddon true']);
});

test('a method called on a foreign receiver is refused by the host before it runs', () => {
  for (const receiver of [{}, Object.create(KytAddon.prototype)]) {
    assert.throws(() => KytAddon.prototype.setDefaultBdf.call(receiver, '0000:01:00.0'), TypeError);
    assert.throws(() => KytAddon.prototype.startTaskScheduler.call(receiver, 0, 1, 0), TypeError);
  }
});

test('every symbol the addon needs resolves when it loads (no function is missing behind lazy binding)', () => {
  const child = runChild(`
    const os = require('node:os');
    const m = { exports: {} };
    process.dlopen(m, ${JSON.stringify(addonPath)}, os.constants.dlopen.RTLD_NOW);
    console.log(typeof m.exports.KytAddon);`, { load: false });
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(child.lines, ['function']);
});

// The complete method table of the class, in registration order. Methods are registered as they start working, so
// the prototype holds a subsequence of this list, in this order.
const METHOD_TABLE = [
  'startWorkloadGenerator', 'createQueuePair', 'deleteQueuePair', 'sendGenericCommand', 'getDeviceInfo',
  'getNamespaceInfo', 'formatNvm', 'read', 'write', 'datasetManagement', 'enableDataValidator',
  'disableDataValidator', 'enableCommandTracker', 'disableCommandTracker', 'setCommandTrackerLog', 'scanAttachment',
  'scanRemoval', 'resetController', 'shutdown', 'setDefaultBdf', 'startTaskScheduler', 'nvmeSetErrorInjection',
  'ftdiGetDeviceList', 'ftdiGetErrorCode', 'ftdiOpen', 'ftdiClose', 'ftdiSetBaudRate', 'ftdiSetParity', 'ftdiRead',
  'ftdiWrite', 'ftdiPipe', 'ftdiUnpipe', 'ftdiPipeText', 'ftdiUseBinaryMode', 'ftdiUseTextMode', 'ftdiFlushBuffer',
  'ftdiSetBitmode', 'serialportGetDeviceList', 'serialportGetErrorCode', 'serialportOpen', 'serialportClose',
  'serialportSetBaudRate', 'serialportRead', 'serialportWrite', 'serialportPipe', 'serialportUnpipe',
  'serialportPipeText', 'serialportUseBinaryMode', 'serialportUseTextMode', 'serialportFlushBuffer',
  'powerControllerInit', 'powerControllerPowerOff', 'powerControllerPowerOn', 'powerControllerUninit',
  'powerControllerEnablePowerMonitor', 'powerControllerDisablePowerMonitor', 'kytrixPmuOpenController',
  'kytrixPmuCloseController', 'kytrixPmuGetVersion', 'kytrixPmuMeasurePower', 'kytrixPmuGetPmuInfo',
  'kytrixPmuGetAdapterInfo', 'kytrixPmuGetDebugBoardInfo', 'kytrixPmuSetFanSpeed', 'kytrixPmuGetFanSpeed',
  'kytrixPmuChangePower', 'kytrixPmuSendSmbusBlockWrite', 'kytrixPmuGetReceivedSmbusBlockWrite', 'kytrixPmuReset',
  'kytrixPmuUpdateFirmware', 'hookManagerSetCallback', 'hookManagerSetError', 'hookManagerSetStatus',
];

test('the prototype holds only methods of the table, in table order, named, of length 0, not on instances', () => {
  assert.equal(METHOD_TABLE.length, 73);
  const registered = Object.getOwnPropertyNames(KytAddon.prototype).filter((name) => name !== 'constructor');
  const unknown = registered.filter((name) => !METHOD_TABLE.includes(name));
  assert.deepEqual(unknown, [], 'every registered method is a method of the table');
  const positions = registered.map((name) => METHOD_TABLE.indexOf(name));
  assert.deepEqual(positions, [...positions].sort((x, y) => x - y), 'registration follows the table order');
  for (const name of registered) {
    const descriptor = Object.getOwnPropertyDescriptor(KytAddon.prototype, name);
    assert.equal(typeof descriptor.value, 'function', name);
    assert.equal(descriptor.value.name, name);
    assert.equal(descriptor.value.length, 0, name);
    assert.ok(descriptor.writable && descriptor.enumerable && descriptor.configurable, name);
  }
  assert.ok(registered.includes('setDefaultBdf') && registered.includes('startTaskScheduler'));
  assert.deepEqual(Object.keys(quietOne), [], 'methods are not own properties of an instance');
});
