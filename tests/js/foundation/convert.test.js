'use strict';
// Every conversion between script values and native values, with its exact error text, through a call object of
// the test-only module (named "test.convert", so every error reads "test.convert : <text>").
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadTestModule } = require('./helpers');

const { convert, fail } = loadTestModule();
const U64_MAX = 18446744073709551615n;

function refuses(args, text) {
  assert.throws(() => convert(...args), (err) => {
    assert.ok(err instanceof TypeError, `expected a TypeError, got ${err}`);
    assert.equal(err.message, `test.convert : ${text}`);
    return true;
  }, `convert(${args.map(String).join(', ')})`);
}

test('argument forms accept their type and name the argument when refusing', () => {
  const obj = { a: 1 };
  assert.equal(convert('argObject', obj), obj);
  for (const value of [[], () => 1, Buffer.alloc(1)]) assert.equal(convert('argObject', value), value);
  for (const value of [null, undefined, 1, 'text', true]) refuses(['argObject', value], 'argument "opts" must be an Object');

  assert.equal(convert('argBool', true), true);
  assert.equal(convert('argBool', false), false);
  for (const value of [0, 1, 'true', undefined, null]) refuses(['argBool', value], 'argument "flag" must be a Boolean');

  for (const value of ['1', undefined, null, {}, 1n]) {
    refuses(['argUint32', value], 'argument "count" must be a Number');
    refuses(['argInt32', value], 'argument "offset" must be a Number');
    refuses(['argUint64', value], 'argument "lba" must be a Number');
  }
  refuses(['argUint32'], 'argument "count" must be a Number');  // an omitted argument is a wrong type here
});

test('32-bit argument numbers follow the script\'s integer conversion', () => {
  const u32 = [[0, 0], [7, 7], [-1, 4294967295], [1.9, 1], [-1.9, 4294967295], [4294967295, 4294967295],
    [4294967296, 0], [4294967297, 1], [NaN, 0], [Infinity, 0], [-Infinity, 0]];
  for (const [input, expected] of u32) assert.equal(convert('argUint32', input), expected, `uint32 of ${input}`);
  const i32 = [[-1, -1], [2147483647, 2147483647], [2147483648, -2147483648], [-1.5, -1], [4294967295, -1],
    [NaN, 0], [Infinity, 0]];
  for (const [input, expected] of i32) assert.equal(convert('argInt32', input), expected, `int32 of ${input}`);
});

test('64-bit numbers take the integer part and keep its two\'s-complement bits, saturating beyond the range', () => {
  const cases = [[0, 0n], [-1, U64_MAX], [2.7, 2n], [-2.7, U64_MAX - 1n], [2 ** 53, 9007199254740992n],
    [2 ** 63, 9223372036854775808n], [2 ** 64, U64_MAX], [1e300, U64_MAX], [Infinity, U64_MAX],
    [-(2 ** 63), 9223372036854775808n], [-1e300, 9223372036854775808n], [-Infinity, 9223372036854775808n],
    [NaN, 0n]];
  for (const [input, expected] of cases) {
    assert.equal(convert('argUint64', input), expected, `argument ${input}`);
    assert.equal(convert('propUint64', { n: input }, 'n'), expected, `property ${input}`);
  }
});

test('buffers: the pointer form is the script\'s own memory, the vector form a copy', () => {
  const buf = Buffer.from([1, 2, 3]);
  assert.equal(convert('argBuffer', buf), 3);
  assert.equal(buf[0], 0xa5, 'written through the returned pointer');
  assert.equal(convert('argBuffer', Buffer.alloc(0)), 0);
  const other = Buffer.from([7, 8]);
  assert.deepEqual(convert('argBufferToVector', other), [0x5a, 8]);
  assert.equal(other[0], 7, 'the script\'s bytes are untouched');
  assert.deepEqual(convert('argBufferToVector', Buffer.alloc(0)), []);
  for (const value of ['abc', [1, 2], {}, undefined, new ArrayBuffer(4)]) {
    refuses(['argBuffer', value], 'argument "data" must be a Buffer');
    refuses(['argBufferToVector', value], 'argument "data" must be a Buffer');
  }
});

test('strings: UTF-8, cut at the first NUL, a missing one is required, others are the wrong type', () => {
  assert.equal(convert('argString', 'héllo ✓'), 'héllo ✓');
  assert.equal(convert('argString', 'ab\0cd'), 'ab');
  assert.equal(convert('argString', ''), '');
  refuses(['argString', undefined], 'argument "path" is required');
  refuses(['argString'], 'argument "path" is required');
  for (const value of [null, 5, {}, true]) refuses(['argString', value], 'argument "path" must be a String');
  refuses([], 'argument "kind" is required');
});

test('JSON text is parsed by the host\'s parser; bad text has its own message', () => {
  assert.deepEqual(convert('json', '{"a":[1,2],"b":"x"}'), { a: [1, 2], b: 'x' });
  assert.equal(convert('json', '3'), 3);
  refuses(['json', '{bad'], 'argument "params" must be a JSON string');
  refuses(['json', ''], 'argument "params" must be a JSON string');
  refuses(['json', 5], 'failed to convert value to String');
});

test('required property forms: absent is required, null and other types are the wrong type', () => {
  const forms = [['propBool', 'Boolean', true], ['propUint32', 'Number', 5], ['propInt32', 'Number', -5],
    ['propUint64', 'Number', 5], ['propString', 'String', 's']];
  for (const [kind, type, good] of forms) {
    refuses([kind, {}, 'n'], 'options.n is required');
    refuses([kind, { n: undefined }, 'n'], 'options.n is required');
    refuses([kind, { n: null }, 'n'], `options.n must be a ${type}`);
    const wrong = type === 'String' ? 5 : 'x';
    refuses([kind, { n: wrong }, 'n'], `options.n must be a ${type}`);
    const expected = kind === 'propUint64' ? BigInt(good) : good;
    assert.equal(convert(kind, { n: good }, 'n'), expected, kind);
  }
  assert.equal(convert('propValue', { n: null }, 'n'), null);
  assert.equal(convert('propValue', { n: 0 }, 'n'), 0);
  refuses(['propValue', {}, 'n'], 'options.n is required');
  assert.deepEqual(convert('propArray', { n: [1] }, 'n'), [1]);
  refuses(['propArray', {}, 'n'], 'options.n is required');
  refuses(['propArray', { n: {} }, 'n'], 'options.n must be an Array');
  refuses(['propArray', { n: null }, 'n'], 'options.n must be an Array');
});

// [kind, object, expected]: run with property name 'n'.
function expectAll(cases) {
  for (const [kind, obj, expected] of cases) assert.equal(convert(kind, obj, 'n'), expected, `${kind} ${JSON.stringify(obj)}`);
}

test('optional property forms give the default when absent and refuse null like a wrong type', () => {
  expectAll([['propBoolDefault', {}, true], ['propUint32Default', {}, 77], ['propInt32Default', {}, -7],
    ['propUint64Default', {}, 1234567890123n], ['propStringDefault', {}, 'fallback'],
    ['propStringDefault', { n: 'given' }, 'given'], ['propBoolDefault', { n: false }, false]]);
  refuses(['propUint32Default', { n: null }, 'n'], 'options.n must be a Number');
  refuses(['propBoolDefault', { n: 0 }, 'n'], 'options.n must be a Boolean');
  refuses(['propStringDefault', { n: null }, 'n'], 'options.n must be a String');
});

test('32-bit property numbers follow ToUint32 and ToInt32', () => {
  const u32 = [[-1, 4294967295], [2.7, 2], [NaN, 0], [Infinity, 0], [4294967297, 1], [-4294967297, 4294967295]];
  for (const [input, expected] of u32) {
    assert.equal(convert('propUint32', { n: input }, 'n'), expected, `${input}`);
    assert.equal(convert('propUint32Default', { n: input }, 'n'), expected, `${input}`);
  }
  assert.equal(convert('propInt32', { n: 2147483648 }, 'n'), -2147483648);
  assert.equal(convert('propInt32', { n: -2.9 }, 'n'), -2);
});

test('probes report the host\'s type tests; undefined is not null', () => {
  const cases = [['s', '100000'], [{}, '010000'], [[], '011000'], [1, '000100'], [NaN, '000100'],
    [true, '000010'], [undefined, '000001'], [null, '000000']];
  for (const [value, bits] of cases) assert.equal(convert('probe', { n: value }, 'n'), bits, String(value));
  assert.equal(convert('probe', {}, 'n'), '000001');
});

test('plain reads convert any value as the script would', () => {
  expectAll([['getUint32', {}, 0], ['getUint32', { n: '12' }, 12], ['getUint32', { n: -1 }, 4294967295],
    ['getInt32', { n: '0x10' }, 16], ['getInt32', { n: 4294967295 }, -1], ['getUint64', { n: -1 }, U64_MAX],
    ['getUint64', { n: '5' }, 5n], ['getUint64', {}, 0n], ['getString', { n: 12 }, '12'],
    ['getString', { n: null }, 'null'], ['getString', { n: 'x\0y' }, 'x']]);
  expectAll([[0, false], ['', false], [null, false], ['x', true], [{}, true], [1, true]]
    .map(([value, expected]) => ['getBool', { n: value }, expected]));
});

test('strict conversions of values', () => {
  const obj = {};
  assert.equal(convert('toObject', obj), obj);
  refuses(['toObject', 5], 'failed to convert value to Object');
  refuses(['toObject', null], 'failed to convert value to Object');
  assert.equal(convert('toString', 'x'), 'x');
  refuses(['toString', 5], 'failed to convert value to String');
});

test('result builders', () => {
  assert.deepEqual(convert('build'), {
    u32: 4294967295,
    u64: 2 ** 53,
    u64max: 2 ** 64,
    dbl: 0.5,
    flag: true,
    text: 'ab',
    list: [{ i: 0 }, 'second'],
  });
});

test('a property whose getter throws lets the script\'s own exception through', () => {
  const tricky = { get n() { throw new RangeError('boom'); } };
  for (const kind of ['propUint32', 'propUint32Default', 'getUint32', 'probe', 'propString']) {
    assert.throws(() => convert(kind, tricky, 'n'), (err) => err instanceof RangeError && err.message === 'boom', kind);
  }
});

test('a failing call raises "<name> : <text>" as a TypeError whatever it threw, and returns nothing', () => {
  const cases = [['runtime', 'test.fail : argument "type" must be a Number'],
    ['logic', 'test.fail : index 9 out of range'], ['other', 'test.fail : unknown error']];
  for (const [kind, message] of cases) {
    let returned = 'untouched';
    assert.throws(() => { returned = fail(kind); }, (err) => err instanceof TypeError && err.message === message);
    assert.equal(returned, 'untouched');
  }
});
