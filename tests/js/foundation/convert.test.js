'use strict';
// The shared conversions between script values and native values, one row per distinct check, through a call object
// of the test-only module (named "test.convert", so every refusal reads "test.convert : <text>").
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadTestModule } = require('./helpers');

const { convert, fail } = loadTestModule();
const U64_MAX = 2n ** 64n - 1n;
const I64_MAX = 2n ** 63n - 1n;
const refused = (text) => ({ refused: text });

// [kind, value or object, expected]; property forms read property "n" of the object.
const rows = [
  ['argObject', [], []], ['argObject', null, refused('argument "opts" must be an Object')],
  ['argBool', false, false], ['argBool', 0, refused('argument "flag" must be a Boolean')],
  ['argUint32', -1, 4294967295], ['argUint32', 1.9, 1], ['argUint32', 4294967297, 1], ['argUint32', Infinity, 0],
  ['argUint32', '1', refused('argument "count" must be a Number')], ['argInt32', 2147483648, -2147483648],
  ['argInt32', -1.5, -1], ['argInt32', null, refused('argument "offset" must be a Number')],
  // 64 bits: a signed integer read as unsigned; beyond the signed range the value stays at its ends.
  ['argUint64', -2.7, U64_MAX - 1n], ['argUint64', 2 ** 63, I64_MAX], ['argUint64', 2 ** 64, I64_MAX],
  ['argUint64', -Infinity, 2n ** 63n], ['argUint64', NaN, 0n],
  ['argUint64', 1n, refused('argument "lba" must be a Number')],
  ['argBuffer', new ArrayBuffer(4), refused('argument "data" must be a Buffer')],
  ['argBufferToVector', 'ab', refused('argument "data" must be a Buffer')],
  // A NUL would end the C string a text becomes (a path "dir/a\0b" would name dir/a): refused.
  ['argString', 'héllo ✓', 'héllo ✓'],
  ['argString', 'ab\0cd', refused('argument "path" must not contain a NUL character')],
  ['argString', undefined, refused('argument "path" is required')],
  ['argString', null, refused('argument "path" must be a String')],
  ['json', '{"a":[1,2]}', { a: [1, 2] }], ['json', '{bad', refused('argument "params" must be a JSON string')],
  ['json', 5, refused('failed to convert value to String')],
  ['propUint64', { n: -1 }, U64_MAX], ['propUint32', { n: -4294967297 }, 4294967295],
  ['propInt32', { n: 2147483648 }, -2147483648],
  ['propBool', { n: true }, true], ['propBool', {}, refused('options.n is required')],
  ['propBool', { n: null }, refused('options.n must be a Boolean')], ['propString', { n: 's' }, 's'],
  ['propString', { n: undefined }, refused('options.n is required')],
  ['propString', { n: 5 }, refused('options.n must be a String')],
  ['propValue', { n: null }, null], ['propValue', {}, refused('options.n is required')],
  ['propArray', { n: [1] }, [1]], ['propArray', { n: null }, refused('options.n must be an Array')],
  ['propBoolDefault', {}, true], ['propUint32Default', {}, 77], ['propInt32Default', {}, -7],
  ['propUint64Default', {}, 1234567890123n], ['propStringDefault', {}, 'fallback'],
  ['propBoolDefault', { n: false }, false], ['propUint32Default', { n: -1 }, 4294967295],
  ['propUint32Default', { n: null }, refused('options.n must be a Number')],
  ['getUint32', { n: '12' }, 12], ['getUint32', {}, 0], ['getInt32', { n: '0x10' }, 16],
  ['getUint64', { n: -1 }, U64_MAX], ['getString', { n: null }, 'null'],
  ['getString', { n: 'x\0y' }, refused('n must not contain a NUL character')],
  ['propString', { n: 'dir/a\0b' }, refused('options.n must not contain a NUL character')],
  ['getBool', { n: '' }, false], ['getBool', { n: {} }, true],
  ['toObject', 5, refused('failed to convert value to Object')],
  ['toString', 5, refused('failed to convert value to String')],
  // Probes: string, object, array, number, boolean, undefined; null is none of them.
  ...[['s', '100000'], [{}, '010000'], [[], '011000'], [NaN, '000100'], [true, '000010'], [undefined, '000001'],
    [null, '000000']].map(([value, bits]) => ['probe', { n: value }, bits]),
];

test('conversions give their value or refuse with their text', () => {
  for (const [kind, input, expected] of rows) {
    const args = [kind, input, 'n'];
    if (expected && expected.refused) {
      assert.throws(() => convert(...args), { name: 'TypeError', message: `test.convert : ${expected.refused}` }, kind);
    } else {
      assert.deepEqual(convert(...args), expected, `${kind} ${String(input)}`);
    }
  }
  assert.throws(() => convert(), { message: 'test.convert : argument "kind" is required' });
});

test('buffers: the pointer form is the script\'s own memory, the vector form a copy', () => {
  const buf = Buffer.from([1, 2, 3]);
  assert.equal(convert('argBuffer', buf), 3);
  assert.equal(buf[0], 0xa5, 'written through the returned pointer');
  const other = Buffer.from([7, 8]);
  assert.deepEqual(convert('argBufferToVector', other), [0x5a, 8]);
  assert.equal(other[0], 7, 'the script\'s bytes are untouched');
});

test('result builders', () => {
  assert.deepEqual(convert('build'),
    { u32: 4294967295, u64: 2 ** 53, u64max: 2 ** 64, dbl: 0.5, flag: true, text: 'ab', list: [{ i: 0 }, 'second'] });
});

test('the script\'s exception passes through; a native failure becomes "<name> : <text>" and returns nothing', () => {
  const tricky = { get n() { throw new RangeError('boom'); } };
  assert.throws(() => convert('propUint32', tricky, 'n'), RangeError);
  assert.throws(() => convert('getUint32', { n: { valueOf() { throw new RangeError('valueOf'); } } }, 'n'), RangeError);
  for (const [kind, message] of [['runtime', 'test.fail : argument "type" must be a Number'],
    ['other', 'test.fail : unknown error']]) {
    let returned = 'untouched';
    assert.throws(() => { returned = fail(kind); }, { name: 'TypeError', message });
    assert.equal(returned, 'untouched');
  }
});
