'use strict';
// The ftdi* and serialport* methods without a device: each method's row shows its name in messages and that its whole
// argument list parses (the call reaches the index lookup); then one row per distinct check of the port calls.
const test = require('node:test');
const assert = require('node:assert/strict');
const os = require('node:os');
const path = require('node:path');
const { loadAddon, thrownMessage, peakGrowth } = require('./support');

const addon = new (loadAddon())(true);
const cb = () => assert.fail('a refused call never calls back');
const buf = Buffer.from('ab');

// [method, arguments after the index, its name in messages]
const indexed = (prefix) => [['GetErrorCode', []], ['Close', []], ['SetBaudRate', [9600]],
  ['Pipe', [path.join(os.tmpdir(), 'kyt-never-written'), false, false], 'pipe'], ['Unpipe', []], ['PipeText', ['x'], 'pipe'], ['UseBinaryMode', []],
  ['UseTextMode', []], ['FlushBuffer', [0]], ['Read', [0, false, cb]], ['Write', [buf, cb]]]
  .map(([m, args, name]) => [`${prefix}${m}`, args, `${prefix}.${name || m[0].toLowerCase() + m.slice(1)}`]);
const rows = [...indexed('ftdi'), ...indexed('serialport'),
  ['ftdiSetParity', ['none'], 'ftdi.setParity'], ['ftdiSetBitmode', [255, 2], 'ftdi.setBitmode']];

test('every port method with an index parses all its arguments and refuses an index naming no open device', () => {
  for (const [method, args, name] of rows) {
    assert.equal(thrownMessage(() => addon[method](0, ...args)), `${name} : invalid device index`, method);
  }
});

test('the distinct checks of the port calls', () => {
  const cases = [
    [() => addon.ftdiGetDeviceList(0), 'ftdi.getDeviceList : Wrong number of arguments'],
    [() => addon.ftdiOpen(0x403, 0x6010, 0, '', ''), 'ftdi.open : Wrong number of arguments'],
    [() => addon.ftdiOpen(0x403, 0x6010, 0, '', 5, 10), 'ftdi.open : argument "deviceInfo.serial" must be a String'],
    [() => addon.serialportGetDeviceList(0), 'serialport.getDeviceList : Wrong number of arguments'],
    [() => addon.serialportOpen('', '', 0), 'serialport.open : both devicePath and serialPort are empty'],
    [() => addon.serialportPipe(0, 5, 'later', false), 'serialport.pipe : argument "path" must be a String'],
    // A path is never cut at a NUL (the tty or file named up to it would be used).
    [() => addon.serialportPipe(0, 'dir/a\0b', false, false),
      'serialport.pipe : argument "path" must not contain a NUL character'],
    [() => addon.serialportOpen('/dev/ptmx\0junk', '', 0),
      'serialport.open : argument "devicePath" must not contain a NUL character'],
    [() => addon.ftdiRead(0, 0, false, 5), 'ftdi.read : callback must be a Function'],
    [() => addon.ftdiWrite(0, 'ab', cb), 'ftdi.write : argument "data" must be a Buffer'],
    [() => addon.ftdiSetParity(3, 'NONE'), 'ftdi.setParity : "NONE" is invalid value for argument "parity"'],
  ];
  for (const [call, message] of cases) assert.equal(thrownMessage(call), message);
});

test('a write to an index naming no open port is refused before its Buffer is copied', () => {
  const big = Buffer.allocUnsafeSlow(256 << 20);
  for (const method of ['ftdiWrite', 'serialportWrite']) {
    let message;
    const growth = peakGrowth(() => { message = thrownMessage(() => addon[method](7, big, cb)); });
    assert.match(message, /\.write : invalid device index$/);
    assert.ok(growth < 32 << 20, `${method} took ${growth} bytes`);
  }
});
