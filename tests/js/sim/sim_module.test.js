'use strict';
// The test-only module that creates and controls simulated NVMe controllers from a script: what the other script
// tests rely on beyond the I/O they do through the driver.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');

const buildDir = path.resolve(__dirname, '..', '..', '..', process.env.KYT_BUILD_DIR || 'build');
const sim = require(path.join(buildDir, 'lib', 'kyt_sim.node'));

test('a controller with the chosen geometry; its blocks, power cycles, removal and destruction', () => {
  const dev = sim.create('2:0.0', { startEnabled: true, startReady: true, namespaces: [{ nsid: 1, blocks: 100 },
    { nsid: 2, blocks: 2 ** 33, lbaFormat: 2 }, { nsid: 3, blocks: 64n, lbaFormat: 1, active: false, piType: 1 }] });
  assert.deepEqual(dev.namespaces().map((n) => [n.nsid, n.blocks, n.dataSize, n.metadataSize, n.attached, n.piType]),
    [[1, 100, 512, 0, true, 0], [2, 2 ** 33, 4096, 0, true, 0], [3, 64, 512, 8, false, 1]]);
  assert.throws(() => sim.create('0000:02:00.0'), /already exists at 0000:02:00.0/);
  dev.writeBlock(1, 7, Buffer.alloc(512, 0x5a));
  assert.equal(dev.corruptBlock(1, 7, { offset: 3, mask: 0x0f }), true);
  assert.equal(dev.corruptBlock(1, 100), false);
  dev.powerOff();
  dev.powerOn();
  assert.deepEqual([dev.state, dev.registers().csts], ['on', 0]);
  assert.deepEqual([...dev.readBlock(1, 7).subarray(2, 5)], [0x5a, 0x55, 0x5a], 'the media is kept');
  assert.deepEqual([dev.counters().powerCycles, dev.counters().unsafeShutdowns], [1, 1]);
  dev.remove({ sigbus: false });
  assert.deepEqual([dev.state, dev.registers().csts], ['removed', 0xffffffff]);
  assert.equal(dev.destroy(), true);
  assert.throws(() => dev.state, /was destroyed/);
  sim.create('2:0.0').destroy();  // the address is free again
});
