'use strict';
// The kytrix PMU methods without a board: each method's row shows its name in messages and that its whole argument
// list parses (the call reaches the board look-up); then one row per distinct check.
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadAddon, thrownMessage, peakGrowth } = require('../ports/support');

const addon = new (loadAddon())(true);
const S = 'NO-SUCH-PMU';

test('every PMU method parses its arguments, then finds no controller or no board', () => {
  const rows = [['CloseController', 'closeController', []], ['GetVersion', 'getVersion', []],
    ['MeasurePower', 'measurePower', []], ['GetPmuInfo', 'getPmuInfo', []], ['GetAdapterInfo', 'getAdapterInfo', []],
    ['GetDebugBoardInfo', 'getDebugBoard', []], ['SetFanSpeed', 'setFanSpeed', [50]], ['GetFanSpeed', 'getFanSpeed', []],
    ['ChangePower', 'changePower', ['12V', 'ON']], ['SendSmbusBlockWrite', 'sendSmbusBlockWrite', [0x16, 1, Buffer.alloc(1)]],
    ['GetReceivedSmbusBlockWrite', 'getReceivedSmbusBlockWrite', []], ['Reset', 'reset', []]];
  for (const [method, name, args] of rows) {
    assert.equal(thrownMessage(() => addon[`kytrixPmu${method}`](S, ...args)), `kytrixPmu.${name} : PPC is not initialized`);
  }
  assert.match(thrownMessage(() => addon.kytrixPmuOpenController(S, true)), /^kytrixPmu\.openController : .*NO-SUCH-PMU/);
  assert.equal(thrownMessage(() => addon.kytrixPmuUpdateFirmware(S, Buffer.from([1]))),
    'kytrixPmu.UpdateFirmware : USB device not found for serial NO-SUCH-PMU');
});

test('the distinct checks of the PMU calls come before the board is looked for', () => {
  const cases = [
    [() => addon.kytrixPmuGetVersion(S, 'extra'), 'kytrixPmu.getVersion : Wrong number of arguments'],
    [() => addon.kytrixPmuMeasurePower(7), 'kytrixPmu.measurePower : argument "serial" must be a String'],
    [() => addon.kytrixPmuSetFanSpeed(S, 101), 'kytrixPmu.setFanSpeed : argument "speed" must be from 0 to 100'],
    [() => addon.kytrixPmuSendSmbusBlockWrite(S, 0x80, 1, Buffer.alloc(1)),
      'kytrixPmu.sendSmbusBlockWrite : argument "address" must be from 0 to 127'],
    [() => addon.kytrixPmuSendSmbusBlockWrite(S, 1, 256, Buffer.alloc(1)),
      'kytrixPmu.sendSmbusBlockWrite : argument "command" must be from 0 to 255'],
    [() => addon.kytrixPmuSendSmbusBlockWrite(S, 1, 1, Buffer.alloc(256)),
      'kytrixPmu.sendSmbusBlockWrite : argument "payload" must hold at most 255 bytes'],
    [() => addon.kytrixPmuUpdateFirmware(S, Buffer.alloc(0)), 'kytrixPmu.UpdateFirmware : The firmware image is empty'],
  ];
  for (const [call, message] of cases) assert.equal(thrownMessage(call), message);
});

test('a Buffer too large for the board is refused before it is copied', () => {
  const big = Buffer.allocUnsafeSlow(256 << 20);
  for (const [call, message] of [
    [() => addon.kytrixPmuSendSmbusBlockWrite(S, 1, 1, big),
      'kytrixPmu.sendSmbusBlockWrite : argument "payload" must hold at most 255 bytes'],
    // No STM32 flash the update writes is larger than 1 MiB; the board's own chip is checked by the update.
    [() => addon.kytrixPmuUpdateFirmware(S, big),
      'kytrixPmu.UpdateFirmware : argument "firmware" must hold at most 1048576 bytes'],
  ]) {
    let thrown;
    const growth = peakGrowth(() => { thrown = thrownMessage(call); });
    assert.equal(thrown, message);
    assert.ok(growth < 32 << 20, `${message}: ${growth} bytes`);
  }
});
