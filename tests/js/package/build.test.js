'use strict';
// The build script's number of compile jobs, seen through a stand-in cmake that records its arguments: nothing is
// configured or compiled.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const repo = path.resolve(__dirname, '..', '..', '..');

function build(parallelLevel, t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kyt-build-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const log = path.join(dir, 'cmake.log');
  fs.writeFileSync(path.join(dir, 'cmake'), `#!/bin/sh\necho "$*" >> '${log}'\n`, { mode: 0o755 });
  const env = { ...process.env, PATH: `${dir}:${process.env.PATH}`, KYT_BUILD_DIR: path.join(dir, 'build') };
  if (parallelLevel === undefined) delete env.CMAKE_BUILD_PARALLEL_LEVEL;
  else env.CMAKE_BUILD_PARALLEL_LEVEL = parallelLevel;
  const run = spawnSync('bash', [path.join(repo, 'scripts', 'build.sh'), '--main-job'], { env, encoding: 'utf8' });
  const calls = fs.existsSync(log) ? fs.readFileSync(log, 'utf8').trim().split('\n') : [];
  return { ...run, builds: calls.filter((c) => c.startsWith('--build')) };
}

test('CMAKE_BUILD_PARALLEL_LEVEL caps the compile jobs; by default there is one per core; a bad value is refused',
  (t) => {
    const capped = build('3', t);
    assert.equal(capped.status, 0, capped.stderr);
    assert.match(capped.stdout, /3 parallel jobs/);
    assert.deepEqual(capped.builds.map((c) => c.split(' ').find((a) => a.startsWith('-j'))), ['-j3']);

    const cores = spawnSync('nproc', { encoding: 'utf8' }).stdout.trim();
    for (const unset of [undefined, '']) {
      const free = build(unset, t);
      assert.equal(free.status, 0, free.stderr);
      assert.deepEqual(free.builds.map((c) => c.split(' ').find((a) => a.startsWith('-j'))), [`-j${cores}`]);
    }

    for (const bad of ['0', 'x', '2 -j8']) {
      const refused = build(bad, t);
      assert.equal(refused.status, 2);
      assert.equal(refused.stderr,
        `build: CMAKE_BUILD_PARALLEL_LEVEL must be a whole number of jobs, 1 or more (it is "${bad}")\n`);
      assert.deepEqual(refused.builds, [], 'nothing is built');
    }
  });
