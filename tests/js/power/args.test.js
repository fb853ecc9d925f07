'use strict';
// The power controller methods without any power device: each method's row shows its name in messages and its
// argument count; init's checks come one row each, in the order init makes them.
const test = require('node:test');
const assert = require('node:assert/strict');
const os = require('node:os');
const path = require('node:path');
const { loadAddon, thrownMessage } = require('../ports/support');

const addon = new (loadAddon())(true);
const uninitialised = 'PowerController is not initialized yet';

test('every method but init refuses to run before a power controller is set up, after counting its arguments', () => {
  const rows = [['PowerOff', []], ['PowerOn', []], ['Uninit', []], ['DisablePowerMonitor', []],
    ['EnablePowerMonitor', [path.join(os.tmpdir(), 'kyt-power-args-never.csv')]]];
  for (const [method, args] of rows) {
    const name = `powerController.${method[0].toLowerCase()}${method.slice(1)}`;
    assert.equal(thrownMessage(() => addon[`powerController${method}`](...args)), `${name} : ${uninitialised}`);
    assert.equal(thrownMessage(() => addon[`powerController${method}`](...args, 1)), `${name} : Wrong number of arguments`);
  }
  assert.equal(thrownMessage(() => addon.powerControllerEnablePowerMonitor(5)),
    'powerController.enablePowerMonitor : argument "filepath" must be a String');
});

test('init checks its arguments, the manufacturer and then its options in order', () => {
  const box = { serial: 'KYT-NO-SUCH-ADAPTER', interfaceNumber: 0, baudRate: 115200 };
  const cases = [
    [['dorvan'], 'Wrong number of arguments'],
    [[7, {}], 'argument "manufacturer" must be a String'],
    [['tyrvane', 'options'], 'argument "options" must be an Object'],
    [['Tyrvane', {}], 'Unsupported manufacturer: Tyrvane'],
    [['dorvan', { model: 'x' }], 'options.serial is required'],
    [['tyrvane', { serial: 'S', interfaceNumber: 0, baudRate: null }], 'options.baudRate must be a Number'],
    [['dorvan', { ...box, model: 3 }], 'options.model must be a String'],
    [['dorvan', { ...box, model: 'PMU' }], 'Unsupported parameter options.model = PMU'],
    // A complete record reaches the device managers; the PMU board ignores "model", whatever it holds.
    [['dorvan', { ...box, model: 'pmu-brask' }], 'Device not found for serial KYT-NO-SUCH-ADAPTER'],
    [['tyrvane', { ...box, model: 'not a model' }], 'Device not found for serial KYT-NO-SUCH-ADAPTER'],
  ];
  for (const [args, text] of cases) {
    assert.equal(thrownMessage(() => addon.powerControllerInit(...args)), `powerController.init : ${text}`);
  }
  assert.equal(thrownMessage(() => addon.powerControllerPowerOn()), `powerController.powerOn : ${uninitialised}`);
});
