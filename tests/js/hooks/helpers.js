'use strict';
// Shared pieces of the hook script tests: the product addon, the test-only module that plays the NVMe worker's side
// of the hooks (tests/hooks/hook_driver_module.cc), and child processes for what only standard output shows.
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const repo = path.resolve(__dirname, '..', '..', '..');
const buildDir = path.resolve(repo, process.env.KYT_BUILD_DIR || 'build');
const addonPath = path.join(buildDir, 'lib', 'kyt.node');
const workerPath = path.join(buildDir, 'lib', 'kyt_hooks_test.node');

function loadAddon() {
  return require(addonPath);
}

function loadWorker() {
  return require(workerPath);
}

// Runs `body` in a fresh node process with `KytAddon` and `worker` (the test module) defined; returns the exit
// status, stderr and the stdout lines.
function runChild(body, { timeout = 20000 } = {}) {
  const prelude = `'use strict';
const { KytAddon } = require(${JSON.stringify(addonPath)});
const worker = require(${JSON.stringify(workerPath)});
`;
  const result = spawnSync(process.execPath, ['-e', prelude + body], {
    cwd: repo,
    encoding: 'utf8',
    timeout,
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const lines = result.stdout.split('\n');
  if (lines[lines.length - 1] === '') lines.pop();
  return { status: result.status, signal: result.signal, stderr: result.stderr, lines };
}

// A hook callback that records its calls ({self, args}) and runs `then` (if given) inside the call.
function recorder(then) {
  const calls = [];
  let wake = null;
  const fn = function (...args) {
    calls.push({ self: this, args });
    if (then) then(...args);
    if (wake) {
      const w = wake;
      wake = null;
      w();
    }
  };
  // Resolves once the callback has been called `count` times in all. The hooks do not keep the event loop alive: an
  // idle timer does until then (a call that never comes hangs the test until its runner's time-out).
  fn.calledTimes = (count) =>
    new Promise((resolve) => {
      const alive = setInterval(() => {}, 1000);
      const check = () => {
        if (calls.length < count) return void (wake = check);
        clearInterval(alive);
        resolve(calls);
      };
      check();
    });
  fn.calls = calls;
  return fn;
}

// Lets the event loop run a turn: a hook signal that was (wrongly) sent is delivered in the turn's poll phase.
const settle = () => new Promise(setImmediate);

// Runs one worker-like cycle (start, then poll until not busy) and resolves with its outcome.
function cycle(worker, addon, type, timeoutMs = 60000) {
  return new Promise((resolve) => worker.cycle(addon, type, timeoutMs, resolve));
}

module.exports = { loadAddon, loadWorker, runChild, recorder, settle, cycle };
