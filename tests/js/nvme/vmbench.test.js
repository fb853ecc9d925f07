'use strict';
// The real path: QEMU's emulated NVMe controller in the VM bench guest, bound to UIO and to VFIO, with hugepages.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { root, buildDir } = require('./helpers');

// The VM bench lives in shared/ beside the repository.
const vmbench = path.resolve(root, '..', 'shared', 'vmbench', 'vmbench');
const missing = !fs.existsSync('/usr/bin/qemu-system-x86_64') ? 'qemu-system-x86_64 is not installed'
  : !fs.existsSync(vmbench) ? `${vmbench} is missing` : false;

// The guest kernel skips its boot-time check that the timer interrupt ticks: emulated on a loaded machine the check
// can miss its ticks, and a kernel with the emulated IOMMU's interrupt remapping (VFIO) then panics.
const guestEnv = { ...process.env, VMBENCH_APPEND: 'no_timer_check' };

function runInGuest(bind, ...jobArgs) {
  const job = path.join(__dirname, 'vm_job.js');
  const args = ['--nvme', '64', '--bind', bind, '--hugepages', '540', '--timeout', '100', '-q',
    '-e', `KYT_BUILD_DIR=${path.relative(root, buildDir)}`, '--', process.execPath, job, ...jobArgs];
  const options = { cwd: root, encoding: 'utf8', timeout: 110000, env: guestEnv };
  let run = spawnSync(vmbench, args, options);
  // 125: the bench itself failed (the guest did not boot), before the job ran; that is no finding about the
  // product, so the guest is started once more.
  if (run.status === 125) run = spawnSync(vmbench, args, options);
  const line = (run.stdout || '').split('\n').find((l) => l.startsWith('RESULT ') || l.startsWith('FAILED '));
  assert.equal(run.status, 0, `vmbench ${bind} exited ${run.status}\n${line || ''}\n${(run.stdout || '').slice(-3000)}\n`
    + (run.stderr || '').slice(-3000));
  assert.ok(line && line.startsWith('RESULT '), `no result line:\n${run.stdout}`);
  return JSON.parse(line.slice('RESULT '.length));
}

for (const bind of ['uio', 'vfio']) {
  test(`QEMU NVMe through ${bind}: attach, information, validated I/O, reset, I/O again`, { skip: missing, timeout: 120000 },
    () => {
      const result = runInGuest(bind);
      assert.match(result.bdf, /^0000:00:0[0-9a-f]\.0$/);
      assert.match(result.model, /QEMU NVMe Ctrl/);
      assert.equal(result.device.maxXferSize, 128 * 4096);  // QEMU's default MDTS 7
      assert.deepEqual([result.ns1.isActive, result.ns1.lbaSize, result.ns1.size], [true, 512, 64 * 1024 * 1024 / 512]);
      assert.ok(result.qid === 1 && result.qidAfterReset >= 1 && result.qidAfterSecondReset >= 1);
      assert.ok(result.workloadAfterReset && result.workloadAfterReset.ios > 0,
        'a reset under a running workload ends it with an Error and what it did before');
    });
}

test('QEMU NVMe: another command\'s time-out lets a running workload end its I/O; its queue pair waits for the reset',
  { skip: missing, timeout: 120000 }, () => {
    const result = runInGuest('uio', 'foreign');
    assert.equal(result.other, 'Command Timed Out');
    assert.ok(result.workload, 'the workload ends with an Error');
    assert.equal(result.workload.message, 'Delete IO Queue Command Timeout');
    assert.ok(result.workload.ios > 0 && result.workload.errors === 0, JSON.stringify(result.workload));
    assert.equal(result.refused, 'Command Timed Out');
    assert.ok(result.qidAfterReset >= 1);
  });

test('QEMU NVMe: process.exit() with 1,000 I/Os in flight ends the process within 5 s; a new process attaches',
  { skip: missing, timeout: 120000 }, () => {
    const result = runInGuest('vfio', 'reattach');
    assert.ok(result.exitMs < 5000, `the process ended ${result.exitMs} ms after exit()`);
    assert.equal(result.callbacks, false);
    assert.ok(result.qid >= 1);
  });

test('QEMU NVMe with its doorbell buffer: rounds of 16 queue pairs, each with a read, created again under the same ids',
  { skip: missing, timeout: 120000 }, () => {
    const result = runInGuest('uio', 'reuse');
    assert.equal(result.doorbellBuffer, true);
    assert.equal(result.rounds.length, 3, JSON.stringify(result.rounds));
    for (const round of result.rounds) {
      assert.deepEqual(round.failed, []);
      assert.deepEqual(round.qids, result.rounds[0].qids);
    }
  });
