'use strict';
// Argument and index errors of every ftdi* and serialport* method, with their exact texts.
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadAddon, thrownMessage, sleep } = require('./support');

const KytAddon = loadAddon();
const addon = new KytAddon(true);

// Argument kinds: a good value, and wrong values with the message each one gives.
const kinds = {
  uint: { good: 0, wrong: [['1', 'must be a Number'], [undefined, 'must be a Number'], [true, 'must be a Number']] },
  int: { good: 9600, wrong: [['9600', 'must be a Number'], [null, 'must be a Number']] },
  string: { good: 'x', wrong: [[undefined, 'is required'], [5, 'must be a String'], [null, 'must be a String']] },
  bool: { good: false, wrong: [[0, 'must be a Boolean'], ['true', 'must be a Boolean']] },
  buffer: { good: Buffer.from('ab'), wrong: [['ab', 'must be a Buffer'], [[1, 2], 'must be a Buffer']] },
  callback: { good: () => {}, wrong: [[5, null], [undefined, null]] },
};

function portCalls(prefix, script) {
  const m = (name) => script + name;
  const rows = [
    { method: m('GetErrorCode'), name: `${prefix}.getErrorCode`, args: [['devIdx', 'uint']] },
    { method: m('Close'), name: `${prefix}.close`, args: [['devIdx', 'uint']] },
    { method: m('SetBaudRate'), name: `${prefix}.setBaudRate`, args: [['devIdx', 'uint'], ['baudRate', 'int']] },
    {
      method: m('Pipe'),
      name: `${prefix}.pipe`,
      args: [['devIdx', 'uint'], ['path', 'string'], ['useTimestamp', 'bool'], ['append', 'bool']],
    },
    { method: m('Unpipe'), name: `${prefix}.unpipe`, args: [['devIdx', 'uint']] },
    { method: m('PipeText'), name: `${prefix}.pipe`, args: [['devIdx', 'uint'], ['log', 'string']] },
    { method: m('UseBinaryMode'), name: `${prefix}.useBinaryMode`, args: [['devIdx', 'uint']] },
    { method: m('UseTextMode'), name: `${prefix}.useTextMode`, args: [['devIdx', 'uint']] },
    { method: m('FlushBuffer'), name: `${prefix}.flushBuffer`, args: [['devIdx', 'uint'], ['offset', 'uint']] },
    {
      method: m('Read'),
      name: `${prefix}.read`,
      args: [['devIdx', 'uint'], ['size', 'uint'], ['buffered', 'bool'], ['callback', 'callback']],
    },
    {
      method: m('Write'),
      name: `${prefix}.write`,
      args: [['devIdx', 'uint'], ['data', 'buffer'], ['callback', 'callback']],
    },
  ];
  return rows.map((row) => ({ ...row, indexed: true }));
}

const rows = [
  ...portCalls('ftdi', 'ftdi'),
  { method: 'ftdiSetParity', name: 'ftdi.setParity', args: [['devIdx', 'uint'], ['parity', 'string']], indexed: true,
    good: [0, 'none'] },
  { method: 'ftdiSetBitmode', name: 'ftdi.setBitmode', indexed: true,
    args: [['devIdx', 'uint'], ['bitmode.bitmask', 'uint'], ['bitmode.mode', 'uint']] },
  { method: 'ftdiGetDeviceList', name: 'ftdi.getDeviceList', args: [['options.vendor', 'uint'], ['options.product', 'uint']] },
  { method: 'ftdiOpen', name: 'ftdi.open', args: [['deviceInfo.vendor', 'uint'], ['deviceInfo.product', 'uint'],
    ['deviceInfo.interface', 'uint'], ['deviceInfo.description', 'string'], ['deviceInfo.serial', 'string'],
    ['deviceInfo.readInterval', 'uint']] },
  ...portCalls('serialport', 'serialport'),
  { method: 'serialportGetDeviceList', name: 'serialport.getDeviceList', args: [] },
  { method: 'serialportOpen', name: 'serialport.open',
    args: [['devicePath', 'string'], ['serial', 'string'], ['interfaceNumber', 'uint']] },
];

function goodArgs(row) {
  return row.good ? [...row.good, ...row.args.slice(row.good.length).map(([, kind]) => kinds[kind].good)]
                  : row.args.map(([, kind]) => kinds[kind].good);
}

test('the table covers the 28 port methods of the class', () => {
  const names = new Set(rows.map((r) => r.method));
  const onPrototype = Object.getOwnPropertyNames(KytAddon.prototype).filter((n) => /^(ftdi|serialport)/.test(n));
  assert.equal(names.size, 28);
  assert.deepEqual([...names].sort(), onPrototype.sort());
});

for (const row of rows) {
  test(`${row.method}: wrong argument counts`, () => {
    const args = goodArgs(row);
    for (const count of [args.length - 1, args.length + 1]) {
      if (count < 0) continue;
      const call = count < args.length ? args.slice(0, count) : [...args, undefined];
      assert.equal(thrownMessage(() => addon[row.method](...call)), `${row.name} : Wrong number of arguments`);
    }
  });

  test(`${row.method}: wrong argument types, in argument order`, async () => {
    let calledBack = false;
    for (let i = 0; i < row.args.length; i += 1) {
      const [argName, kind] = row.args[i];
      for (const [value, text] of kinds[kind].wrong) {
        const args = goodArgs(row).map((v) => (typeof v === 'function' ? () => { calledBack = true; } : v));
        args[i] = value;
        // A later wrong argument is never reached: make one wrong after this one too.
        if (i + 1 < row.args.length && row.args[i + 1][1] !== 'callback') args[i + 1] = Symbol('later');
        const expected = kind === 'callback' ? `${row.name} : callback must be a Function`
                                             : `${row.name} : argument "${argName}" ${text}`;
        assert.equal(thrownMessage(() => addon[row.method](...args)), expected, `argument ${argName} = ${String(value)}`);
      }
    }
    await sleep(20);
    assert.equal(calledBack, false, 'a refused call never calls back');
  });

  if (row.indexed) {
    test(`${row.method}: an index naming no open device`, async () => {
      let calledBack = false;
      for (const devIdx of [0, 5, -1, 4294967295]) {
        const args = goodArgs(row).map((v) => (typeof v === 'function' ? () => { calledBack = true; } : v));
        args[0] = devIdx;
        assert.equal(thrownMessage(() => addon[row.method](...args)), `${row.name} : invalid device index`);
      }
      await sleep(20);
      assert.equal(calledBack, false);
    });
  }
}

test('a parity text is checked exactly, before the index', () => {
  assert.equal(thrownMessage(() => addon.ftdiSetParity(3, 'NONE')),
    'ftdi.setParity : "NONE" is invalid value for argument "parity"');
  assert.equal(thrownMessage(() => addon.ftdiSetParity(3, '')),
    'ftdi.setParity : "" is invalid value for argument "parity"');
  assert.equal(thrownMessage(() => addon.ftdiSetParity(3, 'even')), 'ftdi.setParity : invalid device index');
});

test('serial-only and ftdi-only refusals of the managers', () => {
  assert.equal(thrownMessage(() => addon.serialportGetDeviceList(undefined)),
    'serialport.getDeviceList : Wrong number of arguments');
  assert.equal(thrownMessage(() => addon.serialportOpen('', '', 0)),
    'serialport.open : both devicePath and serialPort are empty');
  assert.equal(thrownMessage(() => addon.serialportOpen('', 'NO-SUCH-SERIAL', 0)),
    'serialport.open : Device not found for serial NO-SUCH-SERIAL');
  assert.equal(thrownMessage(() => addon.serialportOpen('/dev/kyt-no-such-tty', '', 0)),
    'serialport.open : Failed to open serial port device at /dev/kyt-no-such-tty. Error: No such file or directory');
  assert.equal(typeof KytAddon.prototype.serialportSetParity, 'undefined');
  assert.equal(typeof KytAddon.prototype.serialportSetBitmode, 'undefined');
});

test('methods only run on KytAddon objects', () => {
  assert.throws(() => KytAddon.prototype.ftdiClose.call({}, 0), TypeError);
});
