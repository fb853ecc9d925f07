'use strict';
// The package as a user gets it: packed, installed from the tarball into a project of its own, required by name and
// run against the simulated drive. The install copies the addon of this build (KYT_INSTALL_FROM) instead of compiling
// it again; that the shipped sources configure without the tests and benchmarks is checked apart.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const { freeBdf } = require('../nvme/helpers');

const repo = path.resolve(__dirname, '..', '..', '..');
const buildDir = path.resolve(repo, process.env.KYT_BUILD_DIR || 'build');
const npm = (args, cwd, env = {}) => execFileSync('npm', args,
  { cwd, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], timeout: 120000, env: { ...process.env, ...env } });

test('the packed package installs, loads by name and drives the simulated drive', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kyt-pack-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const env = { npm_config_cache: path.join(dir, 'npm-cache'), KYT_INSTALL_FROM: buildDir };

  const [packed] = JSON.parse(npm(['pack', '--json', '--pack-destination', dir], repo, env));
  const files = packed.files.map((f) => f.path);
  for (const needed of ['CMakeLists.txt', 'index.js', 'scripts/install.sh', 'scripts/setup.sh',
    'src/addon/CMakeLists.txt', 'lib/env/CMakeLists.txt', 'examples/identify.js', 'README.md']) {
    assert.ok(files.includes(needed), `${needed} is shipped`);
  }
  assert.deepEqual(files.filter((f) => /^(tests|bench|build)\//.test(f)), [], 'no tests, benchmarks or build output');

  const project = path.join(dir, 'project');
  fs.mkdirSync(project);
  fs.writeFileSync(path.join(project, 'package.json'), '{ "name": "project", "version": "1.0.0", "private": true }\n');
  npm(['install', '--offline', '--no-audit', '--no-fund', path.join(dir, packed.filename)], project, env);
  const installed = path.join(project, 'node_modules', 'kyt');
  assert.match(npm(['rebuild', 'kyt', '--foreground-scripts'], project, env), /kyt: copied the addon/,
    'npm rebuild runs the build step again');

  // A user's script: the simulated drive comes from this build (it is test code, not part of the package).
  const bdf = freeBdf();  // this process's, which only the script claims
  const script = `
    const sim = require(${JSON.stringify(path.join(buildDir, 'lib', 'kyt_sim.node'))});
    global.drive = sim.create('${bdf}', {});
    const { KytAddon } = require('kyt');
    const addon = new KytAddon(true);
    addon.setDefaultBdf('${bdf}');
    if (!addon.startTaskScheduler(0, 1, ${process.pid % 65536})) throw new Error(addon.startError);
    addon.scanAttachment(5000, (err) => {
      if (err) throw err;
      addon.getNamespaceInfo(1, (err, ns) => {
        if (err) throw err;
        const loaded = Object.keys(require.cache).filter((f) => f.endsWith('kyt.node'));
        console.log(JSON.stringify({ resolved: require.resolve('kyt'), loaded, ns }));
      });
    });`;
  const child = spawnSync(process.execPath, ['-e', script], { cwd: project, encoding: 'utf8', timeout: 60000 });
  assert.equal(child.status, 0, child.stderr);
  const out = JSON.parse(child.stdout);
  assert.deepEqual(out, { resolved: path.join(fs.realpathSync(installed), 'index.js'),
    loaded: [path.join(fs.realpathSync(installed), 'build', 'lib', 'kyt.node')],
    ns: { isActive: true, lbaSize: 512, metaSize: 0, size: 1048576 } });

  // The shipped sources configure on their own (no tests/, no bench/, so no GoogleTest or Google Benchmark).
  const configure = spawnSync('cmake', ['-S', installed, '-B', path.join(dir, 'configure')],
    { encoding: 'utf8', timeout: 120000 });
  assert.equal(configure.status, 0, configure.stderr);
});
