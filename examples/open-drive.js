'use strict';
// What the examples share: the drive to work on and an addon attached to it.
//
// A script names a real drive by its PCI address (bound to uio_pci_generic or vfio-pci). Without an address it gets
// the simulated drive, the test-only module build/lib/kyt_sim.node of a repository build (not part of an installed
// package): it completes commands at once and keeps the first 8 bytes of each block, which is what data validation
// stamps and checks.
const path = require('node:path');
const fs = require('node:fs');
const { promisify } = require('node:util');
const { KytAddon } = require('..');

// A PCI address of a process's own for the simulated drive: claims of an address are machine-wide, so two scripts (or
// a script and a test run) side by side must not share one. It holds the whole process id, which no other live
// process has: the id's low 5 bits are the device number, the next 6 the bus above 3fh, the bits above those the
// domain.
function simulatedBdf(pid = process.pid) {
  const hex = (value, digits) => value.toString(16).padStart(digits, '0');
  return `${hex(pid >> 11, 4)}:${hex(0x40 + ((pid >> 5) & 0x3f), 2)}:${hex(pid & 0x1f, 2)}.0`;
}
const SIMULATED_BDF = simulatedBdf();

// Creates the simulated drive at `bdf` (null when the module is not built). Drives are created before the addon's
// worker starts; the returned object is a handle for power off/on, fault injection and the like.
function simulatedDrive(bdf, options = {}) {
  const modulePath = path.join(__dirname, '..', 'build', 'lib', 'kyt_sim.node');
  if (!fs.existsSync(modulePath)) return null;
  const drive = require(modulePath).create(bdf,
    { zeroLatency: true, storeFirst8Bytes: true, commandLogCapacity: 0, ...options });
  // Kept until the process ends, so that the addon detaches its controller before the drive goes.
  global.simulatedDrive = drive;
  return drive;
}

// Starts the NVMe worker on the drive at `address` (the simulated drive when it is undefined) and attaches the
// controller. `commandTimeoutMs` is every command's deadline (scanAttachment's argument; each attachment also waits
// a fixed 2 s). Resolves with { addon, call, bdf, sim }: `call(name, ...args)` is the promise form of a callback
// method; `sim` is the simulated drive, or null on a real one. Quiet by default: nothing of the addon is printed.
async function openDrive(address, { quiet = true, commandTimeoutMs = 5000, simOptions = {} } = {}) {
  let bdf = address;
  let sim = null;
  if (!bdf) {
    bdf = SIMULATED_BDF;
    sim = simulatedDrive(bdf, simOptions);
    if (!sim) throw new Error('no PCI address given and no simulated drive (build/lib/kyt_sim.node is missing)');
  }
  const addon = new KytAddon(quiet);
  addon.setDefaultBdf(bdf);
  // Main core 0, worker core 1 (busy-polling from now on), a shared-memory id of this process's own.
  if (!addon.startTaskScheduler(0, 1, process.pid % 65536)) {
    throw new Error(`the NVMe worker did not start: ${addon.startError}`);
  }
  const call = (name, ...args) => promisify(addon[name].bind(addon))(...args);
  await call('scanAttachment', commandTimeoutMs);
  return { addon, call, bdf, sim };
}

// The active namespaces: [{ nsid, isActive, lbaSize, metaSize, size }] (size in blocks).
async function activeNamespaces(call) {
  const { maxNamespaceId } = await call('getDeviceInfo');
  const active = [];
  for (let nsid = 1; nsid <= maxNamespaceId; nsid += 1) {
    const ns = await call('getNamespaceInfo', nsid);
    if (ns.isActive) active.push({ nsid, ...ns });
  }
  return active;
}

// Runs `main` and sets the exit status: its own result, or 1 with the message when it throws.
function run(main) {
  main().then((status) => { process.exitCode = status || 0; }, (err) => {
    process.stderr.write(`${path.basename(process.argv[1])}: ${err.message}\n`);
    process.exitCode = 1;
  });
}

module.exports = { openDrive, simulatedDrive, activeNamespaces, run, SIMULATED_BDF, simulatedBdf };
