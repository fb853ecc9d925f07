'use strict';
// Shared pieces of the NVMe script tests: the product addon, the simulated drive and promise forms of the
// callback methods.
const path = require('node:path');
const fs = require('node:fs');

const root = path.resolve(__dirname, '..', '..', '..');
const buildDir = path.resolve(root, process.env.KYT_BUILD_DIR || 'build');

function loadAddon() {
  return require(path.join(buildDir, 'lib', 'kyt.node'));
}

function loadSim() {
  return require(path.join(buildDir, 'lib', 'kyt_sim.node'));
}

// Each test file runs in its own process, but a claimed PCI address is locked for the whole machine: the address is
// made from the whole process id, which no other live process has, so that processes side by side (test files,
// examples, other checkouts) never share one. As examples/open-drive.js does: the id's low 5 bits are the device
// number, the next 6 the bus above 3fh, the bits above those the domain (below 800h for every id the kernel gives,
// away from the domains and buses the C++ tests take).
function freeBdf(pid = process.pid) {
  const hex = (value, digits) => value.toString(16).padStart(digits, '0');
  return `${hex(pid >> 11, 4)}:${hex(0x40 + ((pid >> 5) & 0x3f), 2)}:${hex(pid & 0x1f, 2)}.0`;
}

// Arguments of startTaskScheduler for this process: files run side by side, so each takes its own shared-memory id
// and, where the machine has the cores, its own worker core.
function startArgs() {
  const cores = require('node:os').availableParallelism();
  const worker = cores > 2 ? 1 + (process.pid % (cores - 1)) : 1;
  return [0, worker, process.pid % 65536];
}

// The standard simulated drive: namespace 1 active (1 Mi blocks of 512 bytes), 2 inactive, 3 active with more than
// 2^32 blocks, 4 active with 4096-byte blocks; NN 4.
const standardNamespaces = [
  { nsid: 1, blocks: 1048576, lbaFormat: 0 },
  { nsid: 2, blocks: 4096, lbaFormat: 0, active: false },
  { nsid: 3, blocks: 5000000000, lbaFormat: 0 },
  { nsid: 4, blocks: 8192, lbaFormat: 2 },
];

// The same drive with a small namespace 3, for tests that enable validation of every namespace (a validator keeps
// one tag byte per block).
const smallNamespaces = standardNamespaces.map((ns) => (ns.nsid === 3 ? { ...ns, blocks: 4096 } : ns));

function createDrive(bdf, options = {}) {
  const sim = loadSim();
  const drive = sim.create(bdf, { maxNamespaces: 4, namespaces: standardNamespaces, ...options });
  // Keeps the drive object referenced until the end of the file's tests.
  drive.keepAlive = () => drive;
  return drive;
}

// A file's usual set-up: an addon object, this process's address with the simulated drive on it, and start(), which
// points the addon at the drive and starts its worker (its answer: whether the start succeeded).
function driveSetup(options) {
  const addon = new (loadAddon().KytAddon)(true);
  const bdf = freeBdf();
  const drive = createDrive(bdf, options);
  const start = () => { addon.setDefaultBdf(bdf); return addon.startTaskScheduler(...startArgs()); };
  return { addon, bdf, drive, start };
}

// Calls a callback method and resolves with {err, result}; the callback must be called exactly once, with exactly
// two arguments.
function call(addon, method, ...args) {
  return new Promise((resolve, reject) => {
    let calls = 0;
    addon[method](...args, function (...cbArgs) {
      calls += 1;
      if (calls > 1) return reject(new Error(`${method} called back twice`));
      if (cbArgs.length !== 2) return reject(new Error(`${method} called back with ${cbArgs.length} arguments`));
      resolve({ err: cbArgs[0], result: cbArgs[1] });
    });
  });
}

// Like call, but the call must succeed; resolves with the result.
async function ok(addon, method, ...args) {
  const { err, result } = await call(addon, method, ...args);
  if (err) throw new Error(`${method} failed: ${err.message}`);
  return result;
}

// Like call, but the call must fail; resolves with the Error.
async function fails(addon, method, ...args) {
  const { err, result } = await call(addon, method, ...args);
  if (!err) throw new Error(`${method} succeeded with ${JSON.stringify(result)}`);
  if (result !== null) throw new Error(`${method} failed with a result ${JSON.stringify(result)}`);
  return err;
}

function haveQemu() {
  return fs.existsSync('/usr/bin/qemu-system-x86_64');
}

module.exports = { startArgs, standardNamespaces, smallNamespaces, root, buildDir, loadAddon, loadSim, freeBdf, createDrive, driveSetup, call, ok, fails, haveQemu };
