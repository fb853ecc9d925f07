'use strict';
// Shared helpers of the port script tests: where the build is, the FTDI stand-in module,
// pseudo-terminals, and promise forms of the asynchronous port methods.
const path = require('node:path');
const fs = require('node:fs');
const { spawnSync } = require('node:child_process');

const repo = path.resolve(__dirname, '..', '..', '..');
// The build directory: KYT_BUILD_DIR (absolute or relative to the repository) or build/.
const buildDir = path.resolve(repo, process.env.KYT_BUILD_DIR || 'build');
const addonPath = path.join(buildDir, 'lib', 'kyt.node');
// The libftdi1/libusb stand-in; preloaded into Node it replaces the real FTDI entry points.
const fakePath = path.join(buildDir, 'lib', 'kyt_fake_ftdi.node');

function loadAddon() {
  return require(addonPath).KytAddon;
}

function loadFake() {
  return require(fakePath);
}

// When this process does not run with the stand-in preloaded, runs the calling test file
// again in a child process that does, passes its output through and ends with its status.
// Returns only in the preloaded process.
function rerunWithFakeFtdi(file) {
  if ((process.env.LD_PRELOAD || '').includes('kyt_fake_ftdi')) return;
  const child = spawnSync(process.execPath, [...process.execArgv, file], {
    env: { ...process.env, LD_PRELOAD: fakePath },
    stdio: 'inherit',
  });
  process.exit(child.status === null ? 1 : child.status);
}

// A pseudo-terminal whose master side this process holds.
class Pty {
  constructor() {
    const { fd, path: slave } = loadFake().openPty();
    this.fd = fd;
    this.path = slave;
  }
  send(text) {
    fs.writeSync(this.fd, Buffer.from(text, 'latin1'));
  }
  // Whatever the port side has written so far.
  drain() {
    const chunks = [];
    const buffer = Buffer.alloc(4096);
    for (;;) {
      let n = 0;
      try {
        n = fs.readSync(this.fd, buffer, 0, buffer.length, null);
      } catch (e) {
        if (e.code === 'EAGAIN' || e.code === 'EIO') break;
        throw e;
      }
      if (n <= 0) break;
      chunks.push(Buffer.from(buffer.subarray(0, n)));
    }
    return Buffer.concat(chunks).toString('latin1');
  }
  async receive(expectedLength, timeoutMs = 3000) {
    let text = '';
    await waitFor(() => {
      text += this.drain();
      return text.length >= expectedLength;
    }, timeoutMs);
    return text;
  }
  close() {
    fs.closeSync(this.fd);
  }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(condition, timeoutMs = 3000) {
  const end = Date.now() + timeoutMs;
  while (Date.now() < end) {
    if (await condition()) return true;
    await sleep(2);
  }
  return condition();
}

// addon[<prefix>Read](devIdx, size, buffered) as a promise of [error, text].
function readPort(addon, method, devIdx, size, buffered) {
  return new Promise((resolve) => {
    addon[method](devIdx, size, buffered, (error, data) => {
      resolve([error, data instanceof ArrayBuffer ? Buffer.from(data).toString('latin1') : data]);
    });
  });
}

// Reads until the collected text has at least length characters.
async function readAtLeast(addon, method, devIdx, length, timeoutMs = 3000) {
  let text = '';
  await waitFor(async () => {
    const [error, data] = await readPort(addon, method, devIdx, 0, false);
    if (error !== null) throw new Error(`read failed: ${error}`);
    text += data;
    return text.length >= length;
  }, timeoutMs);
  return text;
}

// addon[<prefix>Write](devIdx, buffer) as a promise of [error, result].
function writePort(addon, method, devIdx, buffer) {
  return new Promise((resolve) => {
    addon[method](devIdx, buffer, (error, result) => resolve([error, result]));
  });
}

// The TypeError message of a call, or null when it does not throw.
function thrownMessage(fn) {
  try {
    fn();
  } catch (e) {
    if (!(e instanceof TypeError)) return `not a TypeError: ${e}`;
    return e.message;
  }
  return null;
}

module.exports = {
  repo,
  buildDir,
  addonPath,
  fakePath,
  loadAddon,
  loadFake,
  rerunWithFakeFtdi,
  Pty,
  sleep,
  waitFor,
  readPort,
  readAtLeast,
  writePort,
  thrownMessage,
};
