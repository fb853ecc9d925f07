'use strict';
// Naming the device and starting the NVMe worker: setDefaultBdf and startTaskScheduler.
// Each start runs in a child process of its own (the environment starts once per process).
const test = require('node:test');
const assert = require('node:assert/strict');
const os = require('node:os');
const { runChild, uniqueShmId } = require('./helpers');

const NO_DEVICE = '0000:7f:1f.7';  // nothing lives there; the environment may still start with it allowed

function run(body) {
  const child = runChild(`const a = new KytAddon(); global.keep = a;\n${body}`);
  assert.equal(child.status, 0, `child failed:\n${child.stdout}\n${child.stderr}`);
  return child.lines;
}

const linesWith = (lines, prefix) => lines.filter((l) => l.startsWith(prefix));

test('setDefaultBdf stores the first non-empty text of any value once; a throwing conversion stores nothing', () => {
  const bdf = (body) => linesWith(run(body), 'ADDON: Setting BDF');
  const lines = run(`a.setDefaultBdf('${NO_DEVICE}'); a.setDefaultBdf('0000:02:00.0'); console.log('r', a.setDefaultBdf('x'));`);
  assert.deepEqual(linesWith(lines, 'ADDON: Setting BDF'), [`ADDON: Setting BDF = ${NO_DEVICE}`]);
  assert.ok(lines.includes('r undefined'));
  assert.deepEqual(bdf(`a.setDefaultBdf(12);`), ['ADDON: Setting BDF = 12']);
  assert.deepEqual(bdf(`a.setDefaultBdf();`), ['ADDON: Setting BDF = undefined']);
  // An empty text counts as not set: the next call stores its address.
  assert.deepEqual(bdf(`a.setDefaultBdf(''); a.setDefaultBdf('${NO_DEVICE}');`),
    ['ADDON: Setting BDF = ', `ADDON: Setting BDF = ${NO_DEVICE}`]);
  const thrown = run(`
    try { a.setDefaultBdf(Symbol('s')); } catch (e) { console.log('threw', e.constructor.name); }
    try { a.setDefaultBdf({ toString() { throw new RangeError('no text'); } }); } catch (e) { console.log('threw', e.message); }
    a.setDefaultBdf('${NO_DEVICE}');`);
  assert.ok(thrown.includes('threw TypeError') && thrown.includes('threw no text'));
  assert.deepEqual(linesWith(thrown, 'ADDON: Setting BDF'), [`ADDON: Setting BDF = ${NO_DEVICE}`]);
});

test('startTaskScheduler starts the worker once and answers true on every later call with the same driver', () => {
  const shm = uniqueShmId();
  const lines = run(`a.setDefaultBdf('${NO_DEVICE}');
    console.log('first', a.startTaskScheduler(0, 1, ${shm}));
    console.log('second', a.startTaskScheduler(5, 6, 7));
    console.log('third', a.startTaskScheduler());`);
  assert.ok(lines.includes('first true'), lines.join('\n'));
  assert.ok(lines.includes('second true'));
  assert.ok(lines.includes('third true'));
  assert.deepEqual(linesWith(lines, 'ADDON: Created NvmeDriver instance').length, 1, 'one driver only');
  assert.equal(linesWith(lines, 'NVME: Initialized NvmeDriver instance').length, 1);
  assert.equal(linesWith(lines, 'NVME: Already Started Scheduler').length, 2);
  const init = lines.indexOf('NVME: Initializing SPDK');
  assert.ok(init >= 0 && init < lines.indexOf('NVME: Creating a Task Scheduler'));
  assert.ok(lines.indexOf('NVME: Creating a Task Scheduler') < lines.indexOf('NVME: Initialized NvmeDriver instance'));
  // At the end of the process the driver stops its worker and tears down, after the addon's own line.
  const del = lines.indexOf('ADDON: Deleting Addon');
  assert.ok(del > lines.indexOf('third true'));
  assert.ok(lines.indexOf('NVME: Terminated NVMe Driver') > del);
});

test('cores convert as unsigned 32-bit numbers; one of 64 or more is refused with a TypeError and nothing starts', () => {
  // "0" is core 0, 1.9 is core 1, -1 is core 4294967295.
  const shm = uniqueShmId();
  const lines = run(`a.setDefaultBdf('${NO_DEVICE}');
    for (const cores of [[64, 1], [0, 255], [256, 1], [0, 300], [0, -1]]) {
      try { console.log('returned', a.startTaskScheduler(cores[0], cores[1], 0)); }
      catch (e) { console.log('threw', e.constructor.name, e.message); }
    }
    console.log('start', a.startTaskScheduler('0', 1.9, '${shm}'));`);
  assert.deepEqual(lines.filter((l) => l.startsWith('threw') || l.startsWith('returned')), [
    'threw TypeError startTaskScheduler : core 64 does not fit the 64-bit core mask (cores 0 to 63)',
    'threw TypeError startTaskScheduler : core 255 does not fit the 64-bit core mask (cores 0 to 63)',
    'threw TypeError startTaskScheduler : core 256 is out of range (cores 0 to 255)',
    'threw TypeError startTaskScheduler : core 300 is out of range (cores 0 to 255)',
    'threw TypeError startTaskScheduler : core 4294967295 is out of range (cores 0 to 255)',
  ]);
  assert.ok(lines.indexOf('NVME: Creating a Task Scheduler') > lines.indexOf('threw TypeError startTaskScheduler : ' +
    'core 4294967295 is out of range (cores 0 to 255)'), 'nothing started before the good call');
  assert.ok(lines.includes('start true'), lines.join('\n'));
  assert.equal(linesWith(lines, 'ADDON: Created NvmeDriver instance').length, 1);
});

test('a start without an address, or with one that does not parse, fails with a clear line; a later good one works', () => {
  const shm = uniqueShmId();
  const lines = run(`
    console.log('none', a.startTaskScheduler(0, 1, ${shm}));
    a.setDefaultBdf('${NO_DEVICE}');
    console.log('retry', a.startTaskScheduler(0, 1, ${shm}));`);
  assert.ok(lines.includes('none false'), lines.join('\n'));
  assert.ok(lines.includes('NVME: No PCI address to start with: set the default BDF first'));
  assert.ok(lines.includes('retry true'), lines.join('\n'));
  assert.equal(linesWith(lines, 'ADDON: Created NvmeDriver instance').length, 1, 'the same driver is retried');
  assert.ok(lines.indexOf('NVME: Creating a Task Scheduler') > lines.indexOf('none false'));

  // NVMe methods keep refusing while the driver exists but its start failed.
  const bad = run(`a.setDefaultBdf('not-a-pci-address');
    console.log('bad', a.startTaskScheduler(0, 1, ${shm}));
    console.log('again', a.startTaskScheduler(0, 1, ${shm}));
    const cb = () => console.log('called back');
    for (const [name, args] of [['read', [0, 8, cb]], ['startWorkloadGenerator', [{}, cb]], ['getDeviceInfo', [cb]]]) {
      if (typeof a[name] !== 'function') { console.log('absent', name); continue; }
      try { a[name](...args); console.log('returned', name); }
      catch (e) { console.log('threw', e.constructor.name, e.message); }
    }`);
  assert.ok(bad.includes('bad false') && bad.includes('again false'), bad.join('\n'));
  assert.ok(bad.includes('threw TypeError NVMe driver is not loaded yet'), bad.join('\n'));
  assert.ok(bad.includes('threw TypeError nvme.getDeviceInfo : NVMe is not initialized yet'), bad.join('\n'));
  assert.ok(!bad.some((l) => l.startsWith('returned') || l === 'called back'));
  assert.equal(linesWith(bad, 'NVME: Invalid PCI address "not-a-pci-address"').length, 2);
  assert.equal(linesWith(bad, 'NVME: Initialized').length + linesWith(bad, 'NVME: Creating a Task Scheduler').length, 0);
  assert.ok(!bad.some((l) => l.includes('DPDK EAL parameters')), 'the environment was not started');
});

const missingCore = os.cpus().length;  // the first core number this machine does not have
test('a start on a core the machine lacks fails with the environment\'s error and false',
  { skip: missingCore >= 64 ? 'this machine has every core a mask can name' : false }, () => {
  const shm = uniqueShmId();
  const lines = run(`a.setDefaultBdf('${NO_DEVICE}');
    console.log('start', a.startTaskScheduler(0, ${missingCore}, ${shm}));`);
  assert.ok(lines.includes('start false'), lines.join('\n'));
  const failed = linesWith(lines, 'NVME: SPDK Initialization Failed. Error: ');
  assert.equal(failed.length, 1, lines.join('\n'));
  assert.match(failed[0], /^NVME: SPDK Initialization Failed\. Error: -\d+$/);
  assert.equal(linesWith(lines, 'NVME: Initialized').length, 0);
});

test('process.exit() with the worker running still stops it and tears the driver down', () => {
  const shm = uniqueShmId();
  const child = runChild(`const a = new KytAddon(); global.keep = a; a.setDefaultBdf('${NO_DEVICE}');
    console.log('start', a.startTaskScheduler(0, 1, ${shm})); process.exit(5);`);
  assert.equal(child.status, 5, child.stderr);
  const lines = child.lines;
  assert.ok(lines.includes('start true'), lines.join('\n'));
  const del = lines.indexOf('ADDON: Deleting Addon');
  assert.ok(del > lines.indexOf('start true'));
  assert.ok(lines.indexOf('NVME: Terminated NVMe Driver') > del, lines.join('\n'));
});

test('in quiet mode the start logs nothing of its own; only the environment\'s own start lines remain', () => {
  const shm = uniqueShmId();
  const child = runChild(`const a = new KytAddon(true); a.setDefaultBdf('${NO_DEVICE}');
    process.stdout.write('start ' + a.startTaskScheduler(0, 1, ${shm}) + '\\n');`);
  assert.equal(child.status, 0, child.stderr);
  assert.ok(child.lines.includes('start true'), child.stdout);
  assert.deepEqual(child.lines.filter((l) => /^(ADDON|NVME|SPDK): /.test(l)), []);
  assert.ok(child.lines.some((l) => l.includes('DPDK EAL parameters')), 'the environment prints its parameters');
});
