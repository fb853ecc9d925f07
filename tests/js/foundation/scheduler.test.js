'use strict';
// Naming the device and starting the NVMe worker: setDefaultBdf and startTaskScheduler.
// Each start runs in a child process of its own (the environment starts once per process).
const test = require('node:test');
const assert = require('node:assert/strict');
const os = require('node:os');
const path = require('node:path');
const { runChild, uniqueShmId, buildDir } = require('./helpers');
const { freeBdf } = require('../nvme/helpers');

const NO_DEVICE = '0000:7f:1f.7';  // nothing lives there; the environment may still start with it allowed
const threw = `catch (e) { console.log('threw', e.constructor.name, e.message); }`;

function run(body, { quiet = false, status = 0 } = {}) {
  const child = runChild(`const a = new KytAddon(${quiet}); global.keep = a;\n${body}`);
  assert.equal(child.status, status, `child failed:\n${child.stdout}\n${child.stderr}`);
  return child.lines;
}

// The worker starts once: every later call answers true with the same driver. An address with a NUL in it is refused,
// not cut at the NUL. Quiet, the start logs nothing of its
// own, and process.exit() with the worker running ends the process.
test('setDefaultBdf keeps the first non-empty text; cores are checked; a failed start may be retried', () => {
  const shm = uniqueShmId();
  const lines = run(`console.log('none', a.startTaskScheduler(0, 1, ${shm}));
    try { a.setDefaultBdf(Symbol('s')); } ${threw}
    try { a.setDefaultBdf('not-a-pci-address\\0junk'); } ${threw}
    a.setDefaultBdf('');
    console.log('returned', a.setDefaultBdf('${NO_DEVICE}'));
    a.setDefaultBdf('not-a-pci-address');
    for (const cores of [[64, 1], [0, 255], [256, 1], [0, -1]]) {
      try { a.startTaskScheduler(cores[0], cores[1], 0); } ${threw}
    }
    console.log('start', a.startTaskScheduler('0', 1.9, '${shm}'), a.startTaskScheduler(5, 6, 7),
      a.startTaskScheduler());
    process.exit(5);`, { quiet: true, status: 5 });
  const ours = lines.filter((l) => /^(none|threw|returned|start|ADDON|NVME|SPDK)\b/.test(l));
  assert.match(ours[1], /^threw TypeError /);
  assert.deepEqual(ours.filter((l, i) => i !== 1), ['none false',
    'threw TypeError setDefaultBdf : argument "bdf" must not contain a NUL character', 'returned undefined',
    'threw TypeError startTaskScheduler : core 64 does not fit the 64-bit core mask (cores 0 to 63)',
    'threw TypeError startTaskScheduler : core 255 does not fit the 64-bit core mask (cores 0 to 63)',
    'threw TypeError startTaskScheduler : core 256 is out of range (cores 0 to 255)',
    'threw TypeError startTaskScheduler : core 4294967295 is out of range (cores 0 to 255)',
    'start true true true',
  ]);
});

test('a start with an address that is not one answers false; meanwhile the NVMe methods refuse', () => {
  const shm = uniqueShmId();
  const lines = run(`a.setDefaultBdf('not-a-pci-address');
    console.log('bad', a.startTaskScheduler(0, 1, ${shm}), a.startTaskScheduler(0, 1, ${shm}));
    const cb = () => console.log('called back');
    for (const [name, args] of [['read', [0, 8, cb]], ['startWorkloadGenerator', [{}, cb]], ['getDeviceInfo', [cb]]]) {
      try { a[name](...args); console.log('returned', name); } ${threw}
    }`);
  assert.deepEqual(lines.filter((l) => /^(bad|threw|returned) |^called/.test(l)), [
    'bad false false',
    'threw TypeError NVMe driver is not loaded yet',
    'threw TypeError NVMe driver is not loaded yet',
    'threw TypeError nvme.getDeviceInfo : NVMe is not initialized yet',
  ]);
});

// Every start of a running driver answers true again and keeps nothing: a script may ask as often as it likes.
test('starting a running driver again holds no more memory however often it is asked', {
  skip: (process.env.LD_PRELOAD || '').includes('libasan') ? 'the sanitizer keeps freed memory, which this counts' : false,
}, () => {
  const calls = 2000000;
  const child = runChild(`const a = new KytAddon(true);
    a.setDefaultBdf('${NO_DEVICE}');
    if (!a.startTaskScheduler(0, 1, ${uniqueShmId()})) throw new Error(a.startError);
    for (let i = 0; i < 1000; i++) a.startTaskScheduler();
    const before = process.memoryUsage().rss;
    for (let i = 0; i < ${calls}; i++) a.startTaskScheduler();
    console.log('grew', process.memoryUsage().rss - before);
    process.exit(0);`, { args: ['--max-semi-space-size=1'] });
  assert.equal(child.status, 0, child.stderr);
  const grew = Number(/^grew (\d+)/m.exec(child.stdout)[1]);
  assert.ok(grew < calls * 8, `${grew} bytes for ${calls} starts`);
});

// The address is converted before it is tested: a toString that sets one itself is the first, and stays.
test('setDefaultBdf whose argument sets the address while it is converted keeps that address', () => {
  const lines = run(`a.setDefaultBdf({ toString() { a.setDefaultBdf('0000:00:00.1'); return '0000:00:00.2'; } });`);
  assert.deepEqual(lines.filter((l) => l.startsWith('ADDON: Setting BDF')), ['ADDON: Setting BDF = 0000:00:00.1']);
});

// Quiet means quiet: nothing of the system reaches either stream, the environment's start and DPDK's messages
// included, and a start that answers false still says why on the object, also when another object runs the NVMe side.
test('a quiet process prints nothing while it starts on a drive; startError tells why a start failed',
  { skip: os.cpus().length > 63 ? 'the machine has a core 63' : false }, () => {
  const shm = uniqueShmId();
  const bdf = freeBdf();  // this process's, which only its child claims
  const child = runChild(`const sim = require(${JSON.stringify(path.join(buildDir, 'lib', 'kyt_sim.node'))});
    global.drive = sim.create('${bdf}', {});
    const bad = new KytAddon(true);
    bad.setDefaultBdf('not-a-pci-address');
    const badStart = bad.startTaskScheduler(0, 1, ${shm});
    // A core the machine does not have fails before the environment's one start, which a later start still makes.
    const far = new KytAddon(true);
    far.setDefaultBdf('${bdf}');
    const farStart = far.startTaskScheduler(0, 63, ${shm});
    const a = new KytAddon(true); global.keep = a;
    a.setDefaultBdf('${bdf}');
    const started = a.startTaskScheduler(0, 1, ${shm});
    // The NVMe side runs once per process: a second object is told who runs it.
    const second = new KytAddon(true);
    second.setDefaultBdf('${bdf}');
    const secondStart = second.startTaskScheduler(0, 1, ${shm});
    a.scanAttachment(5000, (err) => {
      process.stdout.write(JSON.stringify([badStart, bad.startError, farStart, far.startError, started, a.startError,
        err && err.message, secondStart, second.startError]));
    });`);
  assert.equal(child.status, 0, child.stderr);
  assert.equal(child.stderr, '');
  assert.deepEqual(JSON.parse(child.stdout), [false, 'Invalid PCI address "not-a-pci-address"', false,
    'SPDK Initialization Failed. Error: -22 (Invalid argument): core 63 is not present on this machine',
    true, '', null, false, 'Another KytAddon object of this process already runs the NVMe side']);
});
