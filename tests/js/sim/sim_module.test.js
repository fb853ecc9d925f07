'use strict';
// The test-only module that creates and controls simulated NVMe controllers from a script.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');

// The build directory: build/ of the repository, or KYT_BUILD_DIR (relative to the repository root).
const buildDir = path.resolve(__dirname, '..', '..', '..', process.env.KYT_BUILD_DIR || 'build');
const sim = require(path.join(buildDir, 'lib', 'kyt_sim.node'));

test('create puts a controller on the bus with the chosen geometry', () => {
  const dev = sim.create('2:0.0', {
    mqes: 255,
    version: 0x00010400,
    namespaces: [
      { nsid: 1, blocks: 1000 },
      { nsid: 2, blocks: 2 ** 33, lbaFormat: 2 },
      { nsid: 3, blocks: 64n, lbaFormat: 1, extendedLba: true, active: false, piType: 1 },
    ],
  });
  try {
    assert.equal(dev.address, '0000:02:00.0');
    assert.equal(dev.state, 'on');
    assert.deepEqual(sim.list().includes('0000:02:00.0'), true);
    const regs = dev.registers();
    assert.equal(regs.cap & 0xffffn, 255n);
    assert.equal(regs.vs, 0x00010400);
    assert.equal(regs.csts, 0);
    const ns = dev.namespaces();
    assert.deepEqual(ns.map((n) => [n.nsid, n.blocks, n.dataSize, n.metadataSize, n.attached, n.piType]), [
      [1, 1000, 512, 0, true, 0],
      [2, 2 ** 33, 4096, 0, true, 0],
      [3, 64, 512, 8, false, 1],
    ]);
    assert.equal(ns[2].extendedLba, true);
    assert.deepEqual(dev.queues(), []);
    assert.deepEqual(dev.commandLog(), []);
  } finally {
    dev.destroy();
  }
});

test('argument errors name what is wrong', () => {
  assert.throws(() => sim.create(), /PCI address is required/);
  assert.throws(() => sim.create('nonsense'), /invalid PCI address "nonsense"/);
  assert.throws(() => sim.create('3:0.0', { mqes: -1 }), /option mqes must be a non-negative integer/);
  assert.throws(() => sim.create('3:0.0', { zeroLatency: 1 }), /option zeroLatency must be a boolean/);
  assert.throws(() => sim.create('3:0.0', { namespaces: {} }), /option namespaces must be an array/);
  assert.throws(() => sim.create('3:0.0', { namespaces: [{ lbaFormat: 9 }] }), /LBA format 9 does not exist/);
  assert.throws(() => sim.create('3:0.0', { namespaces: [{ nsid: 1 }, { nsid: 1 }] }), /namespace id 1 twice/);
  assert.throws(() => sim.create('3:0.0', { namespaces: [{ piType: 2 }] }), /needs a format with 8 bytes of metadata/);
  assert.equal(sim.get('3:0.0'), null);  // nothing half-made stays behind
  const dev = sim.create('3:0.0');
  try {
    assert.throws(() => sim.create('0000:03:00.0'), /already exists at 0000:03:00.0/);
    assert.throws(() => dev.injectStatus({ opcode: 2, count: 0 }), /count must be -1/);
    assert.throws(() => dev.injectStatus({ opcode: 300 }), /opcode must be an integer from -1 to 255/);
    assert.throws(() => dev.delayCompletion({ opcode: 2 }), /delayUs is required/);
    assert.throws(() => dev.corruptBlock(1), /corruptBlock\(nsid, lba/);
    assert.throws(() => dev.writeBlock(1, 0, Buffer.alloc(100)), /cannot write block 0 of namespace 1/);
    assert.throws(() => dev.readBlock(1, 2 ** 20), /no block 1048576 in namespace 1/);
  } finally {
    dev.destroy();
  }
});

test('faults, blocks and corruption', () => {
  const dev = sim.create('4:0.0', { namespaces: [{ nsid: 1, blocks: 100 }] });
  try {
    dev.injectStatus({ opcode: 2, sct: 2, sc: 0x81, count: 3 });
    dev.delayCompletion({ admin: true, opcode: 6, delayUs: 1000 });
    dev.dropCompletion({ qid: 1 });
    assert.equal(dev.pendingFaults(), 3);
    dev.clearFaults();
    assert.equal(dev.pendingFaults(), 0);

    const block = Buffer.alloc(512, 0x5a);
    dev.writeBlock(1, 7, block);
    assert.deepEqual(dev.readBlock(1, 7), block);
    assert.equal(dev.corruptBlock(1, 7, { offset: 3, mask: 0x0f }), true);
    const back = dev.readBlock(1, 7);
    assert.equal(back[3], 0x5a ^ 0x0f);
    assert.equal(back[4], 0x5a);
    assert.equal(dev.corruptBlock(1, 100), false);
    assert.equal(dev.markUncorrectable(1, 98, 2), true);
    assert.equal(dev.markUncorrectable(1, 99, 2), false);
    assert.equal(dev.namespaces()[0].allocatedBlocks, 1);
  } finally {
    dev.destroy();
  }
});

test('power cycles and removal', () => {
  const dev = sim.create('5:0.0', { startEnabled: true, startReady: true });
  try {
    assert.equal(dev.registers().csts & 1, 1);
    dev.powerOff();
    assert.equal(dev.state, 'off');
    dev.powerOff();  // no-op
    dev.powerOn();
    assert.equal(dev.state, 'on');
    assert.equal(dev.registers().csts, 0);  // reset state, not the start state
    assert.equal(dev.registers().cc, 0);
    const c = dev.counters();
    assert.equal(c.powerCycles, 1);
    assert.equal(c.unsafeShutdowns, 1);  // it was enabled when the power went
    dev.setFatal(true);
    assert.equal(dev.registers().csts & 2, 2);
    dev.setFatal(false);
    dev.remove({ sigbus: false });
    assert.equal(dev.state, 'removed');
    assert.equal(dev.registers().csts, 0xffffffff);
    assert.throws(() => dev.powerOn(), /was removed/);
  } finally {
    assert.equal(dev.destroy(), true);
  }
  assert.throws(() => dev.state, /the simulated controller at 0000:05:00.0 was destroyed/);
  assert.equal(dev.destroy(), false);
  assert.equal(sim.get('5:0.0'), null);
  // The address is free again.
  sim.create('5:0.0').destroy();
});
