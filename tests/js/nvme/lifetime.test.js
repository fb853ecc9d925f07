'use strict';
// A pending call keeps what it needs: when the addon object is collected while commands are in flight, the driver
// stays until their callbacks have run, and each callback still comes with its result. process.exit() ends the
// process at once all the same, whatever is pending.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

test('dropping the addon object during pending calls', { timeout: 60000 }, () => {
  const run = spawnSync(process.execPath, [path.join(__dirname, 'lifetime_job.js')],
    { encoding: 'utf8', timeout: 55000, env: process.env });
  const lines = run.stdout.split('\n');
  const deleted = lines.indexOf('ADDON: Deleting Addon');
  const dropped = lines.indexOf('DROPPED');
  const callbacks = lines.findIndex((l) => l.startsWith('CALLBACKS '));
  assert.equal(run.status, 0, run.stdout.slice(-2000) + run.stderr.slice(-2000));
  assert.ok(deleted >= 0 && deleted < dropped, 'the addon object was collected while the commands were pending');
  assert.ok(callbacks > dropped);
  assert.deepEqual(JSON.parse(lines[callbacks].slice('CALLBACKS '.length)), [null, null, null, null]);
  const terminated = lines.indexOf('NVME: Terminated NVMe Driver');
  assert.ok(terminated === -1 || terminated > callbacks, 'the driver went only after the callbacks');
});

for (const mode of ['running', 'attaching', 'ending']) {
  test(`the process ends within 5 s of its exit while the drive misbehaves (${mode})`, { timeout: 60000 },
    () => {
      const run = spawnSync(process.execPath, [path.join(__dirname, 'exit_job.js'), mode],
        { encoding: 'utf8', timeout: 55000, env: process.env });
      const ended = Date.now();
      const exit = Number((run.stdout.match(/^EXIT (\d+)$/m) || [])[1]);
      assert.equal(run.status, 0, run.stdout.slice(-2000) + run.stderr.slice(-2000));
      assert.ok(ended - exit < 5000, `ended ${ended - exit} ms after its exit()`);
      assert.ok(!run.stdout.includes('CALLBACK'), 'no callback after the environment is gone');
    });
}
