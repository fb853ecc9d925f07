'use strict';
// The power controller methods without any power device: argument checks with their exact texts, and the refusals
// of a controller that is not set up.
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadAddon, thrownMessage } = require('../ports/support');

const KytAddon = loadAddon();
const addon = new KytAddon(true);
const tmpLog = '/tmp/kyt-power-args-never.csv';

const plain = [
  ['powerControllerPowerOff', 'powerOff'], ['powerControllerPowerOn', 'powerOn'],
  ['powerControllerUninit', 'uninit'], ['powerControllerDisablePowerMonitor', 'disablePowerMonitor'],
];

test('every method but init refuses to run before a power controller is set up', () => {
  for (const [method, name] of plain) {
    assert.equal(thrownMessage(() => addon[method]()), `powerController.${name} : PowerController is not initialized yet`);
  }
  assert.equal(thrownMessage(() => addon.powerControllerEnablePowerMonitor(tmpLog)),
    'powerController.enablePowerMonitor : PowerController is not initialized yet');
});

test('argument counts are exact', () => {
  const wrong = (name) => `powerController.${name} : Wrong number of arguments`;
  for (const [method, name] of plain) {
    assert.equal(thrownMessage(() => addon[method](undefined)), wrong(name), method);
    assert.equal(thrownMessage(() => addon[method](1, 2)), wrong(name), method);
  }
  assert.equal(thrownMessage(() => addon.powerControllerEnablePowerMonitor()), wrong('enablePowerMonitor'));
  assert.equal(thrownMessage(() => addon.powerControllerEnablePowerMonitor(tmpLog, 50)), wrong('enablePowerMonitor'));
  assert.equal(thrownMessage(() => addon.powerControllerInit()), wrong('init'));
  assert.equal(thrownMessage(() => addon.powerControllerInit('dorvan')), wrong('init'));
  assert.equal(thrownMessage(() => addon.powerControllerInit('dorvan', {}, {})), wrong('init'));
});

test('the power-monitor file path must be a string', () => {
  const call = (value) => thrownMessage(() => addon.powerControllerEnablePowerMonitor(value));
  assert.equal(call(undefined), 'powerController.enablePowerMonitor : argument "filepath" is required');
  assert.equal(call(5), 'powerController.enablePowerMonitor : argument "filepath" must be a String');
});

test('init checks both arguments before it looks at the manufacturer', () => {
  const init = (...args) => thrownMessage(() => addon.powerControllerInit(...args));
  const prefix = 'powerController.init : ';
  assert.equal(init(undefined, {}), `${prefix}argument "manufacturer" is required`);
  assert.equal(init(7, {}), `${prefix}argument "manufacturer" must be a String`);
  assert.equal(init('tyrvane', 'options'), `${prefix}argument "options" must be an Object`);
  assert.equal(init('nobody', 5), `${prefix}argument "options" must be an Object`);
  // Case and spacing matter; arrays and functions are objects.
  assert.equal(init('Tyrvane', {}), `${prefix}Unsupported manufacturer: Tyrvane`);
  assert.equal(init('tyrvane ', []), `${prefix}Unsupported manufacturer: tyrvane `);
  assert.equal(init('DORVAN', () => {}), `${prefix}Unsupported manufacturer: DORVAN`);
});

test('init reads the options of the chosen manufacturer in order, all of them required', () => {
  const init = (manufacturer, options) => thrownMessage(() => addon.powerControllerInit(manufacturer, options));
  const prefix = 'powerController.init : options.';
  for (const manufacturer of ['tyrvane', 'dorvan']) {
    assert.equal(init(manufacturer, {}), `${prefix}serial is required`, manufacturer);
    assert.equal(init(manufacturer, { model: 'x' }), `${prefix}serial is required`, manufacturer);
    assert.equal(init(manufacturer, { serial: 1 }), `${prefix}serial must be a String`, manufacturer);
    assert.equal(init(manufacturer, { serial: 'S' }), `${prefix}interfaceNumber is required`, manufacturer);
    assert.equal(init(manufacturer, { serial: 'S', interfaceNumber: '0' }),
      `${prefix}interfaceNumber must be a Number`, manufacturer);
    assert.equal(init(manufacturer, { serial: 'S', interfaceNumber: 0 }), `${prefix}baudRate is required`, manufacturer);
    assert.equal(init(manufacturer, { serial: 'S', interfaceNumber: 0, baudRate: null }),
      `${prefix}baudRate must be a Number`, manufacturer);
  }
  const box = { serial: 'S', interfaceNumber: 0, baudRate: 9600 };
  assert.equal(init('dorvan', box), `${prefix}model is required`);
  assert.equal(init('dorvan', { ...box, model: 3 }), `${prefix}model must be a String`);
  assert.equal(init('dorvan', { ...box, model: 'PMU' }), 'powerController.init : Unsupported parameter options.model = PMU');
  assert.equal(init('dorvan', { ...box, model: 'pmu ' }),
    'powerController.init : Unsupported parameter options.model = pmu ');
});

test('a complete record reaches the device managers, which find no such adapter here', () => {
  const init = (manufacturer, options) => thrownMessage(() => addon.powerControllerInit(manufacturer, options));
  const missing = 'powerController.init : Device not found for serial KYT-NO-SUCH-ADAPTER';
  const options = { serial: 'KYT-NO-SUCH-ADAPTER', interfaceNumber: 0, baudRate: 115200 };
  // The PMU board ignores "model", whatever it holds.
  assert.equal(init('tyrvane', options), missing);
  assert.equal(init('tyrvane', { ...options, model: 'not a model' }), missing);
  for (const model of ['pmu', 'pmu-norvik', 'pmu-brask']) assert.equal(init('dorvan', { ...options, model }), missing);
  // Nothing was set up by the failed attempts.
  assert.equal(thrownMessage(() => addon.powerControllerPowerOn()),
    'powerController.powerOn : PowerController is not initialized yet');
});
