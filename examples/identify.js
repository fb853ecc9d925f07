'use strict';
// Identifies a drive and its namespaces.
//
//   node examples/identify.js [PCI address]
//
// Model, serial number and firmware revision come from the Identify Controller data, read with a raw admin command
// (sendGenericCommand fills the script's Buffer); the namespaces from getNamespaceInfo.
const { openDrive, activeNamespaces, run } = require('./open-drive');

// Identify Controller text fields: ASCII, padded with spaces (byte offsets from the NVMe base specification).
const text = (data, from, to) => data.toString('latin1', from, to).trim();

run(async () => {
  const { call, bdf } = await openDrive(process.argv[2]);
  const data = Buffer.alloc(4096);
  // Queue 0 is the admin queue; Identify is opcode 06h, CNS 1 (the controller) in dword 10. The last argument tells
  // the direction: false, the drive writes into the Buffer.
  await call('sendGenericCommand', 0, { opc: 0x06, nsid: 0, cdw10: 1 }, data, false);
  console.log(`drive ${bdf}`);
  console.log(`  model:    ${text(data, 24, 64)}`);
  console.log(`  serial:   ${text(data, 4, 24)}`);
  console.log(`  firmware: ${text(data, 64, 72)}`);
  const { maxXferSize, maxQueueDepth, maxNamespaceId } = await call('getDeviceInfo');
  console.log(`  largest transfer ${maxXferSize} bytes, deepest I/O queue ${maxQueueDepth} entries`);
  // maxNamespaceId is the highest identifier the controller supports; only active namespaces hold blocks.
  const active = await activeNamespaces(call);
  console.log(`  ${active.length} active namespace(s) of ${maxNamespaceId}`);
  for (const ns of active) {
    const bytes = BigInt(ns.size) * BigInt(ns.lbaSize);
    console.log(`  namespace ${ns.nsid}: ${ns.size} blocks of ${ns.lbaSize} bytes` +
      `${ns.metaSize ? ` + ${ns.metaSize} metadata` : ''} (${bytes} bytes)`);
  }
});
