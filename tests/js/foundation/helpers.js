'use strict';
// Shared helpers of the foundation script tests: where the build is, and running a short script in a child process
// (construction, quiet mode and the environment start are process-wide, so they are observed from outside).
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const repo = path.resolve(__dirname, '..', '..', '..');
// The build directory: KYT_BUILD_DIR (absolute or relative to the repository) or build/.
const buildDir = path.resolve(repo, process.env.KYT_BUILD_DIR || 'build');
const addonPath = path.join(buildDir, 'lib', 'kyt.node');
const testModulePath = path.join(buildDir, 'lib', 'kyt_test_js.node');

function loadAddon() {
  return require(addonPath);
}

function loadTestModule() {
  return require(testModulePath);
}

// Runs `body` (JavaScript text) in a fresh node process in which `KytAddon` is already defined (unless load is false).
// Returns { status, signal, stdout, stderr, lines } with the stdout lines (without the trailing empty one).
function runChild(body, { args = [], timeout = 30000, load = true } = {}) {
  const prelude = load ? `'use strict'; const { KytAddon } = require(${JSON.stringify(addonPath)});\n` : `'use strict';\n`;
  const result = spawnSync(process.execPath, [...args, '-e', prelude + body], {
    cwd: repo,
    encoding: 'utf8',
    timeout,
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const lines = result.stdout.split('\n');
  if (lines[lines.length - 1] === '') lines.pop();
  return { status: result.status, signal: result.signal, stdout: result.stdout, stderr: result.stderr, lines };
}

// A shared-memory id of its own for every environment start, so that concurrent test processes never share DPDK's
// runtime files.
let shmCounter = 0;
function uniqueShmId() {
  shmCounter += 1;
  return 10000 + ((process.pid * 8 + shmCounter) % 50000);
}

module.exports = { repo, buildDir, addonPath, testModulePath, loadAddon, loadTestModule, runChild, uniqueShmId };
