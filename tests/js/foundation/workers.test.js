'use strict';
// The module in worker threads (worker_job.js, each case in a child process of its own): every thread that loads it
// gets a working class, the NVMe side runs for one object of the process at a time, and a thread that ends with calls
// pending (terminated, or calling process.exit()) drops them without their callbacks and never aborts the process.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { repo } = require('./helpers');

function job(mode) {
  const child = spawnSync(process.execPath, [path.join(__dirname, 'worker_job.js'), mode],
    { cwd: repo, encoding: 'utf8', timeout: 60000 });
  return { status: child.status, signal: child.signal, stderr: child.stderr,
    lines: child.stdout.split('\n').filter((line) => line !== '').sort() };
}

test('a worker that loads the module first, the main thread and a later worker each get a working class', () => {
  const { status, signal, stderr, lines } = job('load');
  assert.deepEqual([status, signal], [0, null], stderr);
  assert.deepEqual(lines.filter((l) => !l.startsWith('worker exit')), ['function', 'main function']);
});

test('a worker ended with a port write and read pending, terminated or by process.exit(), ends alone', () => {
  const { status, signal, stderr, lines } = job('ports');
  assert.deepEqual([status, signal], [0, null], stderr);
  assert.deepEqual(lines, ['worker exit 1', 'worker exit 3'], 'no callback came');
});

test('a worker runs the NVMe side; terminated with a workload and a read pending, it frees it for another object',
  () => {
    const { status, signal, stderr, lines } = job('nvme');
    assert.deepEqual([status, signal], [0, null], stderr);
    assert.deepEqual(lines, [
      'main start false Another KytAddon object of this process already runs the NVMe side',
      'main start true ""',
      'worker exit 1',
      'worker start true',
    ]);
  });

test('process.exit() in the main thread while a worker runs a workload and a port write ends the process', () => {
  const { status, signal, stderr, lines } = job('exit');
  assert.deepEqual([status, signal], [7, null], stderr);
  assert.deepEqual(lines, ['worker start true']);
});
