'use strict';
// The module loads with every symbol bound, exports the class (the main job loads it through the package folder),
// and every method of the class refuses a receiver that is not one of its objects (the method's own tests show what
// each one does).
const test = require('node:test');
const assert = require('node:assert/strict');
const { addonPath, loadAddon, runChild } = require('./helpers');

const exported = loadAddon();
const { KytAddon } = exported;

test('the module, loaded with every symbol bound at once, exports exactly the class KytAddon', () => {
  assert.deepEqual(Object.keys(exported), ['KytAddon']);
  const child = runChild(`const m = { exports: {} };
    process.dlopen(m, ${JSON.stringify(addonPath)}, require('node:os').constants.dlopen.RTLD_NOW);
    console.log(typeof m.exports.KytAddon);`, { load: false });
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(child.lines, ['function']);
});

test('every method is a named function of the prototype that refuses a foreign receiver before it runs', () => {
  const names = Object.getOwnPropertyNames(KytAddon.prototype).filter((name) => name !== 'constructor');
  assert.ok(names.includes('read') && names.includes('hookManagerSetStatus'), names.join());
  for (const name of names) {
    const method = KytAddon.prototype[name];
    assert.equal(method.name, name);
    for (const receiver of [{}, Object.create(KytAddon.prototype)]) {
      assert.throws(() => method.call(receiver, 0, 0, 0), TypeError, name);
    }
  }
  assert.deepEqual(Object.keys(new KytAddon(true)), [], 'methods are not own properties of an instance');
});
