'use strict';
// The main job (npm start) runs to success on the simulated drive and reports what it found.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { repo, buildDir } = require('./helpers');

const packageBuild = buildDir === path.join(repo, 'build');

test('the main job starts the worker on a simulated drive and reports it',
  { skip: packageBuild ? false : 'the main job loads build/, these tests run on another build' }, () => {
    const job = spawnSync(process.execPath, [path.join(repo, 'examples', 'main-job.js')],
      { cwd: repo, encoding: 'utf8', timeout: 60000, stdio: ['ignore', 'pipe', 'pipe'] });
    assert.equal(job.status, 0, `${job.stdout}\n${job.stderr}`);
    assert.match(job.stdout, /^main-job: device: max transfer \d+ bytes, max queue depth \d+, 1 namespace\(s\)$/m);
    assert.match(job.stdout, /^main-job: namespace: 1: \d+ blocks of \d+ bytes$/m);
    assert.ok(!job.stdout.includes('ADDON: '), 'the addon is quiet unless --verbose');
  });
