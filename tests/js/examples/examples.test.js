'use strict';
// The examples run on the simulated drive and say what they claim; the addon itself prints nothing (they are quiet).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const repo = path.resolve(__dirname, '..', '..', '..');
const buildDir = path.resolve(repo, process.env.KYT_BUILD_DIR || 'build');
const skip = buildDir === path.join(repo, 'build') ? false
  : 'the examples load build/, these tests run on another build';

function example(name, ...args) {
  const child = spawnSync(process.execPath, [path.join(repo, 'examples', name), ...args],
    { cwd: repo, encoding: 'utf8', timeout: 120000, stdio: ['ignore', 'pipe', 'pipe'] });
  assert.equal(child.status, 0, `${child.stdout}\n${child.stderr}`);
  assert.equal(child.stderr, '');
  return child.stdout;
}

// Every process id the kernel can give (below 2^22), sampled with a prime step, and the test processes' own address
// the same: neither two examples nor an example and a test file side by side share one.
test('the simulated drive\'s address is a process\'s own for every process id, the same as a test file\'s', { skip }, () => {
  const { simulatedBdf } = require(path.join(repo, 'examples', 'open-drive.js'));
  const { freeBdf } = require('../nvme/helpers');
  const ids = Array.from({ length: Math.ceil((1 << 22) / 97) }, (_, i) => i * 97);
  const addresses = ids.map((pid) => simulatedBdf(pid));
  assert.equal(new Set(addresses).size, ids.length);
  assert.deepEqual(ids.map((pid) => freeBdf(pid)), addresses);
});

test('identify: model, serial, firmware and the active namespaces', { skip }, () => {
  const out = example('identify.js');
  assert.match(out, /^ {2}model: +KYT Simulated NVMe Controller$/m);
  assert.match(out, /^ {2}serial: +\S+$/m);
  assert.match(out, /^ {2}firmware: +\S+$/m);
  assert.match(out, /^ {2}1 active namespace\(s\) of 32$/m);
  assert.match(out, /^ {2}namespace 1: 1048576 blocks of 512 bytes \(536870912 bytes\)$/m);
});

test('verified-workload: a 70/30 run without failures, a percentile table and its JSON result', { skip }, () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kyt-examples-'));
  try {
    const file = path.join(dir, 'result.json');
    const out = example('verified-workload.js', '--seconds', '1', '--json', file);
    assert.match(out, /^ {2}p99\.9 +\d+ +\d+$/m);
    const result = JSON.parse(fs.readFileSync(file, 'utf8'));
    assert.deepEqual([result.info.readPercent, result.errorHistory], [70, []]);
    const share = result.read.perf.io / (result.read.perf.io + result.write.perf.io);
    assert.ok(share > 0.65 && share < 0.75, `read share ${share}`);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('power-loss-check: the data written across power cycles reads back', { skip }, () => {
  const out = example('power-loss-check.js', '--cycles', '2');
  assert.match(out, /^power-loss check: [2-9] power cycles, 8192 reads over the range: data check passed$/m);
});

test('error-handling: a command error with its completion, a time-out, a reset and a new queue pair', { skip }, () => {
  const out = example('error-handling.js');
  assert.match(out, /^read failed: "command error", status type 2, code 129$/m);
  assert.match(out, /^swallowed read failed: "Command Timed Out"\nnext read failed: "Command Timed Out"$/m);
  assert.match(out, /^after the reset the old queue pair is gone: "Invalid Queue ID"\nrecovered: /m);
});
