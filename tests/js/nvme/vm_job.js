'use strict';
// Runs inside the VM bench guest against QEMU's emulated NVMe controller (see vmbench.test.js): start, attach,
// device information, a validated write and read, a controller reset, then I/O again. Prints one line
// "RESULT <json>" and exits 0 when every step succeeded.
const path = require('node:path');

const buildDir = path.resolve(__dirname, '..', '..', '..', process.env.KYT_BUILD_DIR || 'build');
const { KytAddon } = require(path.join(buildDir, 'lib', 'kyt.node'));

function call(addon, method, ...args) {
  return new Promise((resolve, reject) => {
    addon[method](...args, (err, result) => (err ? reject(new Error(`${method}: ${err.message}`)) : resolve(result)));
  });
}

async function main() {
  const bdf = (process.env.VMBENCH_NVME || '').split(/[\s,]+/).filter(Boolean)[0];
  if (!bdf) throw new Error('no NVMe controller in the guest');
  const addon = new KytAddon(true);
  addon.setDefaultBdf(bdf);
  if (!addon.startTaskScheduler(0, 1, 0)) throw new Error('startTaskScheduler failed');
  const result = { bdf };
  await call(addon, 'scanAttachment', 10000);
  result.device = await call(addon, 'getDeviceInfo');
  result.ns1 = await call(addon, 'getNamespaceInfo', 1);
  result.qid = await call(addon, 'createQueuePair');
  await call(addon, 'enableDataValidator', { nsid: 1 });
  await call(addon, 'write', 0, 64);
  await call(addon, 'read', 0, 64);
  await call(addon, 'resetController');
  result.qidAfterReset = await call(addon, 'createQueuePair');
  await call(addon, 'read', 0, 64);  // the data written before the reset still carries its tags
  await call(addon, 'write', 64, 8);
  await call(addon, 'read', 0, 72);
  const identify = Buffer.alloc(4096);
  await call(addon, 'sendGenericCommand', 0, { nsid: 0, opc: 6, cdw10: 1 }, identify, false);
  result.model = identify.toString('latin1', 24, 64).trim();
  process.stdout.write(`RESULT ${JSON.stringify(result)}\n`);
}

main().then(() => process.exit(0), (err) => {
  process.stdout.write(`FAILED ${err.message}\n`);
  process.exit(1);
});
