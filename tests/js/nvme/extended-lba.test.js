'use strict';
// Data validation on namespaces whose blocks carry their metadata in the data buffer (extended LBA): the stamps land
// at the start of every block on the drive, reads of one block or of many agree with writes of any size, a workload
// that writes eight blocks at a time reads back one block at a time, and a corrupted block among eight is caught.
const test = require('node:test');
const assert = require('node:assert/strict');
const { ok, fails, driveSetup } = require('./helpers');

const formats = [
  { nsid: 1, lbaFormat: 1, data: 512, meta: 8 },
  { nsid: 2, lbaFormat: 3, data: 4096, meta: 8 },
  { nsid: 3, lbaFormat: 4, data: 4096, meta: 64 },
];
const { addon, drive, start } = driveSetup({
  maxNamespaces: formats.length,
  namespaces: formats.map(({ nsid, lbaFormat }) => ({ nsid, blocks: 4096, lbaFormat, extendedLba: true })),
});
const stamp = (lba, tag) => (BigInt(lba) << 8n) | BigInt(tag);

test('attach and validate every namespace', async () => {
  assert.equal(start(), true);
  await ok(addon, 'scanAttachment', 5000);
  await ok(addon, 'enableDataValidator');
});

for (const { nsid, data, meta } of formats) {
  test(`${data}+${meta}: stamps at block starts, reads of any size agree, one corrupted block of eight is caught`,
    async () => {
      const qid = await ok(addon, 'createQueuePair');
      await ok(addon, 'write', 0, 8, { nsid, qid });
      for (let lba = 0; lba < 8; lba += 1) {
        const block = drive.readBlock(nsid, lba);
        assert.equal(block.length, data + meta);
        assert.equal(block.readBigUInt64LE(0), stamp(lba, 0), `LBA ${lba}`);
      }
      await ok(addon, 'read', 4, 4, { nsid, qid });
      await ok(addon, 'read', 1, 1, { nsid, qid });
      await ok(addon, 'read', 0, 8, { nsid, qid });

      // Written eight blocks at a time, read back one at a time.
      const range = { startLba: 64, size: 64 };
      await ok(addon, 'startWorkloadGenerator', { nsid, qid, range, readPercent: 0, xferSize: 8 * data });
      await ok(addon, 'startWorkloadGenerator', { nsid, qid, range, readPercent: 100, xferSize: data });
      assert.equal(drive.readBlock(nsid, 127).readBigUInt64LE(0), stamp(127, 0));

      drive.corruptBlock(nsid, 1);
      const err = await fails(addon, 'read', 0, 8, { nsid, qid });
      assert.equal(err.message, 'data mismatch');
      assert.deepEqual(err.data, { lba: 1, expected: 0, found: 0xff });
      await ok(addon, 'deleteQueuePair', qid);
    });
}

test('end', () => drive.keepAlive());
