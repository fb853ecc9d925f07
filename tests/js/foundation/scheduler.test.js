'use strict';
// Naming the device and starting the NVMe worker: setDefaultBdf and startTaskScheduler.
// Each start runs in a child process of its own (the environment starts once per process).
const test = require('node:test');
const assert = require('node:assert/strict');
const { runChild, uniqueShmId } = require('./helpers');

const NO_DEVICE = '0000:7f:1f.7';  // nothing lives there; the environment may still start with it allowed

function run(body) {
  const child = runChild(`const a = new KytAddon(); global.keep = a;\n${body}`);
  assert.equal(child.status, 0, `child failed:\n${child.stdout}\n${child.stderr}`);
  return child.lines;
}

const threw = `catch (e) { console.log('threw', e.constructor.name, e.message); }`;

// The worker starts once: every later call answers true with the same driver.
test('setDefaultBdf keeps the first non-empty text, not one that throws; the worker starts once', () => {
  const lines = run(`
    try { a.setDefaultBdf(Symbol('s')); } ${threw}
    a.setDefaultBdf('');
    console.log('returned', a.setDefaultBdf('${NO_DEVICE}'));
    a.setDefaultBdf('not-a-pci-address');
    console.log('start', a.startTaskScheduler(0, 1, ${uniqueShmId()}), a.startTaskScheduler(5, 6, 7),
      a.startTaskScheduler());`);
  assert.ok(lines.some((l) => l.startsWith('threw TypeError')), lines.join('\n'));
  assert.ok(lines.includes('returned undefined') && lines.includes('start true true true'), lines.join('\n'));
});

test('cores convert as unsigned 32-bit numbers; one of 64 or more is refused with a TypeError', () => {
  const lines = run(`a.setDefaultBdf('${NO_DEVICE}');
    for (const cores of [[64, 1], [0, 255], [256, 1], [0, -1]]) {
      try { console.log('returned', a.startTaskScheduler(cores[0], cores[1], 0)); } ${threw}
    }
    console.log('start', a.startTaskScheduler('0', 1.9, '${uniqueShmId()}'));`);
  assert.deepEqual(lines.filter((l) => /^(threw|returned|start) /.test(l)), [
    'threw TypeError startTaskScheduler : core 64 does not fit the 64-bit core mask (cores 0 to 63)',
    'threw TypeError startTaskScheduler : core 255 does not fit the 64-bit core mask (cores 0 to 63)',
    'threw TypeError startTaskScheduler : core 256 is out of range (cores 0 to 255)',
    'threw TypeError startTaskScheduler : core 4294967295 is out of range (cores 0 to 255)',
    'start true',
  ]);
});

test('a start without a usable address answers false and may be retried; meanwhile the NVMe methods refuse', () => {
  const shm = uniqueShmId();
  const retry = run(`console.log('none', a.startTaskScheduler(0, 1, ${shm}));
    a.setDefaultBdf('${NO_DEVICE}');
    console.log('retry', a.startTaskScheduler(0, 1, ${shm}));`);
  assert.ok(retry.includes('none false') && retry.includes('retry true'), retry.join('\n'));
  const bad = run(`a.setDefaultBdf('not-a-pci-address');
    console.log('bad', a.startTaskScheduler(0, 1, ${shm}), a.startTaskScheduler(0, 1, ${shm}));
    const cb = () => console.log('called back');
    for (const [name, args] of [['read', [0, 8, cb]], ['startWorkloadGenerator', [{}, cb]], ['getDeviceInfo', [cb]]]) {
      try { a[name](...args); console.log('returned', name); } ${threw}
    }`);
  assert.deepEqual(bad.filter((l) => /^(bad|threw|returned) |^called/.test(l)), [
    'bad false false',
    'threw TypeError NVMe driver is not loaded yet',
    'threw TypeError NVMe driver is not loaded yet',
    'threw TypeError nvme.getDeviceInfo : NVMe is not initialized yet',
  ]);
});

test('process.exit() with the worker running ends the process; in quiet mode the start logs nothing of its own', () => {
  const child = runChild(`const a = new KytAddon(true); a.setDefaultBdf('${NO_DEVICE}');
    process.stdout.write('start ' + a.startTaskScheduler(0, 1, ${uniqueShmId()}) + '\\n'); process.exit(5);`);
  assert.equal(child.status, 5, child.stderr);
  assert.ok(child.lines.includes('start true'), child.stdout);
  assert.deepEqual(child.lines.filter((l) => /^(ADDON|NVME|SPDK): /.test(l)), []);
});
