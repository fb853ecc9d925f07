'use strict';
// Argument and index errors of every ftdi* and serialport* method, with their exact texts.
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadAddon, thrownMessage, sleep } = require('./support');

const KytAddon = loadAddon();
const addon = new KytAddon(true);

// Argument kinds: a good value, and wrong values with the message each one gives.
const mustBe = (type, ...values) => values.map((v) => [v, `must be a ${type}`]);
const kinds = {
  uint: { good: 0, wrong: mustBe('Number', '1', undefined, true) },
  int: { good: 9600, wrong: mustBe('Number', '9600', null) },
  string: { good: 'x', wrong: [[undefined, 'is required'], ...mustBe('String', 5, null)] },
  bool: { good: false, wrong: mustBe('Boolean', 0, 'true') },
  buffer: { good: Buffer.from('ab'), wrong: mustBe('Buffer', 'ab', [1, 2]) },
  callback: { good: () => {}, wrong: [[5], [undefined]] },
};
kinds.parity = { ...kinds.string, good: 'none' };

// "<method> <name in messages> <argument>:<kind> ...", the byte-stream methods once per prefix.
const portMethods = (p) => [
  'GetErrorCode getErrorCode devIdx:uint', 'Close close devIdx:uint', 'SetBaudRate setBaudRate devIdx:uint baudRate:int',
  'Pipe pipe devIdx:uint path:string useTimestamp:bool append:bool', 'Unpipe unpipe devIdx:uint',
  'PipeText pipe devIdx:uint log:string', 'UseBinaryMode useBinaryMode devIdx:uint',
  'UseTextMode useTextMode devIdx:uint', 'FlushBuffer flushBuffer devIdx:uint offset:uint',
  'Read read devIdx:uint size:uint buffered:bool callback:callback',
  'Write write devIdx:uint data:buffer callback:callback',
].map((row) => `${p}${row.replace(' ', ` ${p}.`)}`);
const rows = [
  ...portMethods('ftdi'),
  'ftdiSetParity ftdi.setParity devIdx:uint parity:parity',
  'ftdiSetBitmode ftdi.setBitmode devIdx:uint bitmode.bitmask:uint bitmode.mode:uint',
  'ftdiGetDeviceList ftdi.getDeviceList options.vendor:uint options.product:uint',
  'ftdiOpen ftdi.open deviceInfo.vendor:uint deviceInfo.product:uint deviceInfo.interface:uint ' +
    'deviceInfo.description:string deviceInfo.serial:string deviceInfo.readInterval:uint',
  ...portMethods('serialport'),
  'serialportGetDeviceList serialport.getDeviceList',
  'serialportOpen serialport.open devicePath:string serial:string interfaceNumber:uint',
].map((row) => {
  const [method, name, ...args] = row.split(' ');
  return { method, name, args: args.map((a) => a.split(':')), indexed: args[0] === 'devIdx:uint' };
});

// Good arguments; a callback among them notes that it was called.
function goodArgs(row, onCall = () => {}) {
  return row.args.map(([, kind]) => (kind === 'callback' ? onCall : kinds[kind].good));
}

test('the table covers the 28 port methods of the class', () => {
  const onPrototype = Object.getOwnPropertyNames(KytAddon.prototype).filter((n) => /^(ftdi|serialport)/.test(n));
  assert.equal(rows.length, 28);
  assert.deepEqual(rows.map((r) => r.method).sort(), onPrototype.sort());
});

for (const row of rows) {
  test(`${row.method}: argument counts, types in argument order, and indexes naming no open device`, async () => {
    const good = goodArgs(row);
    for (const call of [good.slice(0, -1), [...good, undefined]].filter((c) => c.length !== good.length)) {
      assert.equal(thrownMessage(() => addon[row.method](...call)), `${row.name} : Wrong number of arguments`);
    }
    let calledBack = false;
    const refused = (args, expected, what) => {
      assert.equal(thrownMessage(() => addon[row.method](...args)), `${row.name} : ${expected}`, what);
    };
    row.args.forEach(([argName, kind], i) => {
      for (const [value, text] of kinds[kind].wrong) {
        const args = goodArgs(row, () => { calledBack = true; });
        args[i] = value;
        // A later wrong argument is never reached: make one wrong after this one too.
        if (i + 1 < row.args.length && row.args[i + 1][1] !== 'callback') args[i + 1] = Symbol('later');
        refused(args, kind === 'callback' ? 'callback must be a Function' : `argument "${argName}" ${text}`,
          `argument ${argName} = ${String(value)}`);
      }
    });
    for (const devIdx of row.indexed ? [0, 5, -1, 4294967295] : []) {
      refused([devIdx, ...goodArgs(row, () => { calledBack = true; }).slice(1)], 'invalid device index', `${devIdx}`);
    }
    await sleep(20);
    assert.equal(calledBack, false, 'a refused call never calls back');
  });
}

test('a parity text is checked exactly, before the index', () => {
  for (const text of ['NONE', '']) {
    assert.equal(thrownMessage(() => addon.ftdiSetParity(3, text)),
      `ftdi.setParity : "${text}" is invalid value for argument "parity"`);
  }
  assert.equal(thrownMessage(() => addon.ftdiSetParity(3, 'even')), 'ftdi.setParity : invalid device index');
});

test('the serial manager refuses opens with its texts; serial ports have no parity or bit-mode methods', () => {
  const refusals = {
    '|': 'both devicePath and serialPort are empty',
    '|NO-SUCH-SERIAL': 'Device not found for serial NO-SUCH-SERIAL',
    '/dev/kyt-no-such-tty|': 'Failed to open serial port device at /dev/kyt-no-such-tty. Error: No such file or directory',
  };
  for (const [args, text] of Object.entries(refusals)) {
    assert.equal(thrownMessage(() => addon.serialportOpen(...args.split('|'), 0)), `serialport.open : ${text}`);
  }
  assert.equal(KytAddon.prototype.serialportSetParity, undefined);
  assert.equal(KytAddon.prototype.serialportSetBitmode, undefined);
});

test('methods only run on KytAddon objects', () => {
  assert.throws(() => KytAddon.prototype.ftdiClose.call({}, 0), TypeError);
});
