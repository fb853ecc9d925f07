'use strict';
// The kytrix PMU methods without a board: argument checks, and the refusals of methods that
// need an open controller.
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadAddon, thrownMessage } = require('../ports/support');

const addon = new (loadAddon())();
const serial = 'NO-SUCH-PMU';

// script method, call name, a valid argument list
const methods = [
  ['kytrixPmuOpenController', 'kytrixPmu.openController', [serial, true]],
  ['kytrixPmuCloseController', 'kytrixPmu.closeController', [serial]],
  ['kytrixPmuGetVersion', 'kytrixPmu.getVersion', [serial]],
  ['kytrixPmuMeasurePower', 'kytrixPmu.measurePower', [serial]],
  ['kytrixPmuGetPmuInfo', 'kytrixPmu.getPmuInfo', [serial]],
  ['kytrixPmuGetAdapterInfo', 'kytrixPmu.getAdapterInfo', [serial]],
  ['kytrixPmuGetDebugBoardInfo', 'kytrixPmu.getDebugBoard', [serial]],
  ['kytrixPmuSetFanSpeed', 'kytrixPmu.setFanSpeed', [serial, 50]],
  ['kytrixPmuGetFanSpeed', 'kytrixPmu.getFanSpeed', [serial]],
  ['kytrixPmuChangePower', 'kytrixPmu.changePower', [serial, '12V', 'ON']],
  ['kytrixPmuSendSmbusBlockWrite', 'kytrixPmu.sendSmbusBlockWrite', [serial, 0x16, 1, Buffer.from([1])]],
  ['kytrixPmuGetReceivedSmbusBlockWrite', 'kytrixPmu.getReceivedSmbusBlockWrite', [serial]],
  ['kytrixPmuReset', 'kytrixPmu.reset', [serial]],
  ['kytrixPmuUpdateFirmware', 'kytrixPmu.UpdateFirmware', [serial, Buffer.from([1, 2])]],
];

test('every PMU method refuses a wrong argument count before anything else', () => {
  for (const [method, name, args] of methods) {
    assert.equal(thrownMessage(() => addon[method](...args, 'extra')), `${name} : Wrong number of arguments`, method);
    assert.equal(thrownMessage(() => addon[method](...args.slice(1))), `${name} : Wrong number of arguments`, method);
  }
});

test('arguments of the wrong kind are named in the message, before the board is looked for', () => {
  for (const [method, name, args] of methods) {
    assert.equal(thrownMessage(() => addon[method](7, ...args.slice(1))), `${name} : argument "serial" must be a String`);
  }
  const cases = [
    ['kytrixPmuOpenController', [serial, 1], 'kytrixPmu.openController : argument "bypassInit" must be a Boolean'],
    ['kytrixPmuSetFanSpeed', [serial, '50'], 'kytrixPmu.setFanSpeed : argument "speed" must be a Number'],
    ['kytrixPmuChangePower', [serial, 12, 'ON'], 'kytrixPmu.changePower : argument "power" must be a String'],
    ['kytrixPmuChangePower', [serial, '12V', true], 'kytrixPmu.changePower : argument "state" must be a String'],
    ['kytrixPmuSendSmbusBlockWrite', [serial, 'a', 1, Buffer.alloc(0)],
      'kytrixPmu.sendSmbusBlockWrite : argument "address" must be a Number'],
    ['kytrixPmuSendSmbusBlockWrite', [serial, 1, null, Buffer.alloc(0)],
      'kytrixPmu.sendSmbusBlockWrite : argument "command" must be a Number'],
    ['kytrixPmuSendSmbusBlockWrite', [serial, 1, 1, [1, 2]],
      'kytrixPmu.sendSmbusBlockWrite : argument "payload" must be a Buffer'],
    ['kytrixPmuUpdateFirmware', [serial, 'image'], 'kytrixPmu.UpdateFirmware : argument "firmware" must be a Buffer'],
  ];
  for (const [method, args, message] of cases) assert.equal(thrownMessage(() => addon[method](...args)), message);
});

test('methods on a board without a controller fail with "PPC is not initialized"', () => {
  for (const [method, name, args] of methods.slice(1, 13)) {
    assert.equal(thrownMessage(() => addon[method](...args)), `${name} : PPC is not initialized`, method);
  }
});

test('opening or updating a board that is not attached reports the missing device', () => {
  const open = thrownMessage(() => addon.kytrixPmuOpenController(serial, true));
  assert.match(open, /^kytrixPmu\.openController : .*NO-SUCH-PMU/);
  assert.equal(thrownMessage(() => addon.kytrixPmuUpdateFirmware(serial, Buffer.from([1]))),
    'kytrixPmu.UpdateFirmware : USB device not found for serial NO-SUCH-PMU');
});
