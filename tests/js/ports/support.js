'use strict';
// Shared helpers of the port script tests: where the build is, the FTDI stand-in module,
// pseudo-terminals, and promise forms of the asynchronous port methods.
const path = require('node:path');
const fs = require('node:fs');
const { spawn, spawnSync } = require('node:child_process');

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
// Returns only in the preloaded process. What is preloaded already (a sanitizer's runtime, which must come first)
// stays, before the stand-in.
function rerunWithFakeFtdi(file) {
  if ((process.env.LD_PRELOAD || '').includes('kyt_fake_ftdi')) return;
  const child = spawnSync(process.execPath, [...process.execArgv, file], {
    env: { ...process.env, LD_PRELOAD: [process.env.LD_PRELOAD, fakePath].filter(Boolean).join(':') },
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
  send(text, encoding = 'latin1') {
    fs.writeSync(this.fd, Buffer.from(text, encoding));
  }
  // What the port side has written and this side has not taken yet (reading stops once `limit` characters came).
  take(limit = Infinity) {
    let text = '';
    const buffer = Buffer.alloc(4096);
    for (let n = 1; n > 0 && text.length < limit;) {
      try {
        n = fs.readSync(this.fd, buffer, 0, buffer.length, null);
      } catch (e) {
        if (e.code !== 'EAGAIN' && e.code !== 'EIO') throw e;
        n = 0;
      }
      text += buffer.subarray(0, n).toString('latin1');
    }
    return text;
  }
  // What the port side has written, once at least expectedLength characters arrived. A writer that keeps writing is
  // not drained to its end.
  async receive(expectedLength) {
    let text = '';
    await waitFor(() => (text += this.take(expectedLength - text.length)).length >= expectedLength);
    return text;
  }
  // Collects what the port side writes from now on into this.received, passing each chunk to onText; stop() ends it.
  collect(onText = () => {}) {
    this.received = '';
    const timer = setInterval(() => {
      const text = this.take();
      this.received += text;
      if (text) onText(text);
    }, 2);
    this.stop = () => clearInterval(timer);
    return this;
  }
  // Plays a board that answers newline-framed JSON-RPC requests: results maps a method to a function of the
  // params giving its result; other methods get "Method not found". The requests are noted in this.requests.
  serveJsonRpc(results) {
    this.requests = [];
    let pending = '';
    return this.collect((text) => {
      pending += text;
      for (let end; (end = pending.indexOf('\n')) >= 0; pending = pending.slice(end + 1)) {
        if (pending.slice(0, end).trim() === '') continue;
        const request = JSON.parse(pending.slice(0, end));
        this.requests.push(request);
        const make = results[request.method];
        this.send(`${JSON.stringify(make ? { id: request.id, result: make(request.params) }
          : { id: request.id, error: { code: -32601, message: 'Method not found' } })}\n`, 'utf8');
      }
    });
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

// How many bytes the process's peak memory grew while fn ran. A call that copies a Buffer shows its whole length here;
// one that only looks at it does not: the pages of Buffer.allocUnsafeSlow that nothing touched cost nothing.
function peakGrowth(fn) {
  const peak = () => Number(/VmHWM:\s+(\d+)/.exec(fs.readFileSync('/proc/self/status', 'utf8'))[1]) * 1024;
  fs.writeFileSync('/proc/self/clear_refs', '5');  // the peak starts again from what the process holds now
  const before = peak();
  fn();
  return peak() - before;
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

// { value } of a call (awaited), or { error } with its TypeError message.
async function attempt(fn) {
  try {
    return { value: await fn() };
  } catch (e) {
    return { error: e instanceof TypeError ? e.message : `not a TypeError: ${e}` };
  }
}

// Private mount namespaces (unshare -m, as root) give the script the system's fixed USB and device paths.
const namespacesAvailable = () => spawnSync('unshare', ['-m', 'sh', '-c', 'mount -t tmpfs tmpfs /sys/bus']).status === 0;

// Runs `node <file> child` in a private mount namespace whose /sys/bus holds the FTDI adapters given as
// { device, serial, interfaces: [{ tty, bound, description, pty }] } (interface i numbered i; a tty with a pty path
// appears in /dev and leads to that pseudo-terminal). Extra descriptors are passed on from 3 up. Resolves to
// { status, output, result } with the object the child printed as "RESULT <json>".
async function runInNamespace(file, adapters, fds = []) {
  const lines = ['set -e', 'mount -t tmpfs tmpfs /sys/bus', 'mkdir -p /sys/bus/usb/drivers/ftdi_sio',
    ': > /sys/bus/usb/drivers/ftdi_sio/bind', 'T=/sys/bus/.dev', 'mkdir "$T"', 'mount -t tmpfs tmpfs "$T"'];
  for (const { device, serial, interfaces } of adapters) {
    const d = `/sys/bus/usb/devices/${device}`;
    lines.push(`mkdir -p ${d}`, `echo FTDI > ${d}/manufacturer`, `echo ${serial} > ${d}/serial`,
      `echo 0403 > ${d}/idVendor`, `echo 6010 > ${d}/idProduct`);
    interfaces.forEach(({ tty, bound, description, pty }, n) => {
      const i = `${d}/${device}:1.${n}`;
      lines.push(`mkdir -p ${i}/${tty || ''}`, `echo 0${n} > ${i}/bInterfaceNumber`);
      if (bound) lines.push(`ln -s ../../../../bus/usb/drivers/ftdi_sio ${i}/driver`);
      if (description) lines.push(`echo "${description}" > ${i}/interface`);
      if (pty) lines.push(`ln -s ${pty} "$T/${tty}"`);
    });
  }
  lines.push('mkdir "$T/pts"', 'mount --bind /dev/pts "$T/pts"',
    'for n in null zero random urandom tty; do touch "$T/$n"; mount --bind "/dev/$n" "$T/$n"; done',
    'ln -s pts/ptmx "$T/ptmx"', 'ln -s /proc/self/fd "$T/fd"', 'mount --move "$T" /dev',
    `exec ${JSON.stringify(process.execPath)} ${JSON.stringify(file)} child`);
  const run = spawn('unshare', ['-m', 'sh', '-c', lines.join('\n')], { stdio: ['ignore', 'pipe', 'pipe', ...fds] });
  let output = '';
  run.stdout.on('data', (d) => { output += d; });
  run.stderr.on('data', (d) => { output += d; });
  const killer = setTimeout(() => run.kill('SIGKILL'), 30000);
  const status = await new Promise((resolve) => run.on('close', resolve));
  clearTimeout(killer);
  const line = output.split('\n').find((l) => l.startsWith('RESULT '));
  return { status, output, result: line && JSON.parse(line.slice(7)) };
}

module.exports = { repo, addonPath, fakePath, loadAddon, loadFake, rerunWithFakeFtdi, Pty, port,
  thrownMessage, peakGrowth, waitFor, attempt, namespacesAvailable, runInNamespace };
