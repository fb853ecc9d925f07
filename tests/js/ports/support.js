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

const loadAddon = (file = addonPath) => require(file).KytAddon;
const loadFake = () => require(fakePath);

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

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(condition, timeoutMs = 3000) {
  const end = Date.now() + timeoutMs;
  while (Date.now() < end) {
    if (await condition()) return true;
    await sleep(2);
  }
  return condition();
}

// A pseudo-terminal whose master side this process holds (or the master descriptor given).
class Pty {
  constructor(fd) {
    Object.assign(this, fd === undefined ? loadFake().openPty() : { fd });
  }
  send(text) {
    fs.writeSync(this.fd, Buffer.from(text, 'latin1'));
  }
  // What the port side has written, once at least expectedLength characters arrived.
  async receive(expectedLength) {
    let text = '';
    const buffer = Buffer.alloc(4096);
    await waitFor(() => {
      for (let n = 1; n > 0;) {
        try {
          n = fs.readSync(this.fd, buffer, 0, buffer.length, null);
        } catch (e) {
          if (e.code !== 'EAGAIN' && e.code !== 'EIO') throw e;
          n = 0;
        }
        text += buffer.subarray(0, n).toString('latin1');
      }
      return text.length >= expectedLength;
    });
    return text;
  }
  close() {
    fs.closeSync(this.fd);
  }
}

// The asynchronous methods of port devIdx (prefix "ftdi" or "serialport") as promises:
// read(size, buffered) and write(buffer) give [error, text] and [error, result].
function port(addon, prefix, devIdx) {
  const read = (size = 0, buffered = false) => new Promise((resolve) => {
    addon[`${prefix}Read`](devIdx, size, buffered, (error, data) => {
      resolve([error, data instanceof ArrayBuffer ? Buffer.from(data).toString('latin1') : data]);
    });
  });
  const write = (buffer) => new Promise((resolve) => {
    addon[`${prefix}Write`](devIdx, buffer, (error, result) => resolve([error, result]));
  });
  // Reads until the collected text has at least length characters.
  async function readAtLeast(length, timeoutMs = 3000) {
    let text = '';
    await waitFor(async () => {
      const [error, data] = await read();
      if (error !== null) throw new Error(`read failed: ${error}`);
      text += data;
      return text.length >= length;
    }, timeoutMs);
    return text;
  }
  return { read, write, readAtLeast };
}

// The TypeError message of a call, or null when it does not throw.
function thrownMessage(fn) {
  try {
    fn();
  } catch (e) {
    return e instanceof TypeError ? e.message : `not a TypeError: ${e}`;
  }
  return null;
}

module.exports = { repo, addonPath, fakePath, loadAddon, loadFake, rerunWithFakeFtdi, Pty, sleep, waitFor, port,
  thrownMessage };
