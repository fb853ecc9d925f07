'use strict';
// Hostile script values against every method of the addon: each kind below goes into every argument position and
// every option key a method reads (found by reading the options through a recording Proxy), the rest of the call
// valid. Each call must end in a TypeError of the method (or the script's own exception from its getter), or in the
// ordinary result (a return value, or one callback with (Error or null, result)), and never crash the process.
// The calls run in child processes, a few groups side by side; a child that dies is reported with the call it was
// making, and its group goes on from the next call. KYT_BUILD_DIR picks the addon (the sanitizer build too).
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawn } = require('node:child_process');

const CHILD = process.argv[2] === '--hostile-child';

// ---- the child: makes the calls of one group from call number `from` on, one line per call on stdout ----

// Valid calls, per method (a list when a method has more than one form); `c` holds what the calls share.
const calls = {
  startWorkloadGenerator: [
    (c) => [{ queueDepth: 4, qid: c.qid, dataPattern: Buffer.alloc(8, 1), ignoreError: [{ sct: 0, sc: 2 }],
      features: { powerControl: { enabled: false }, histogram: { enabled: true, precisions: 2 },
        intervalStats: { enabled: true, interval: 1 } },
      type: 'basic', nsid: 1, workload: 'random', readPercent: 50, xferSize: 4096, duration: 1, loops: 1,
      range: '8k' }, c.cb],
    (c) => [{ type: 'multirange', qid: c.qid, duration: 1, loops: 1, ranges: [{ nsid: 1, workload: 'random',
      readPercent: 100, trimPercent: 0, alignment: 8, startLba: 0, size: 16, probability: 1,
      xfers: [{ size: 4096, probability: 1 }] }] }, c.cb],
    (c) => [{ qid: c.qid, range: [0, 8] }, c.cb],
  ],
  createQueuePair: (c) => [{}, c.cb],
  deleteQueuePair: (c) => [65000, {}, c.cb],
  sendGenericCommand: (c) => [0, { nsid: 0, opc: 6, cdw10: 1 }, Buffer.alloc(4096), false, {}, c.cb],
  getDeviceInfo: (c) => [c.cb],
  getNamespaceInfo: (c) => [1, c.cb],
  formatNvm: (c) => [4, 2, { ses: 0 }, c.cb],
  read: (c) => [0, 8, { nsid: 1, qid: c.qid }, c.cb],
  write: (c) => [0, 8, { nsid: 1, qid: c.qid, dataPattern: Buffer.alloc(8, 7) }, c.cb],
  datasetManagement: (c) => [Buffer.from([0, 0, 0, 0, 8, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 0]), 4, 1, c.qid, {}, c.cb],
  enableDataValidator: (c) => [{ nsid: 4 }, c.cb],
  disableDataValidator: (c) => [{ nsid: 4 }, c.cb],
  enableCommandTracker: (c) => [c.cb],
  disableCommandTracker: (c) => [c.cb],
  setCommandTrackerLog: (c) => [path.join(c.tmp, 'tracker.log'), c.cb],
  scanAttachment: (c) => [5000, c.cb],
  scanRemoval: (c) => [c.cb],
  setDefaultBdf: (c) => [c.bdf],
  startTaskScheduler: (c) => c.startArgs,
  nvmeSetErrorInjection: (c) => [c.qid, 0xff, false, 1, 0, 0, 0, c.cb],
  resetController: (c) => [c.cb],
  shutdown: (c) => [c.cb],
  ftdiGetDeviceList: () => [0x0403, 0x6010],
  ftdiOpen: () => [0x0403, 0x6010, 1, 'none', 'none', 10],
  ftdiSetBitmode: () => [0, 0xff, 1],
  ftdiSetParity: () => [0, 'none'],
  serialportGetDeviceList: () => [],
  serialportOpen: () => ['/nonexistent/tty', 'none', 0],
  // The port methods of both kinds share their call objects; the board and power methods need no board to parse.
  ...Object.fromEntries(['ftdi', 'serialport'].flatMap((p) => [
    [`${p}GetErrorCode`, () => [0]], [`${p}Close`, () => [0]], [`${p}SetBaudRate`, () => [0, 9600]],
    [`${p}Read`, (c) => [0, 16, false, c.cb]],
    [`${p}Write`, (c) => [0, Buffer.from('ab'), c.cb]], [`${p}Pipe`, (c) => [0, path.join(c.tmp, 'p.log'), true, false]],
    [`${p}Unpipe`, () => [0]], [`${p}PipeText`, () => [0, 'text']], [`${p}UseBinaryMode`, () => [0]],
    [`${p}UseTextMode`, () => [0]], [`${p}FlushBuffer`, () => [0, 0]]])),
  powerControllerInit: () => ['dorvan', { serial: 'none', interfaceNumber: 0, baudRate: 9600, model: 'pmu' }],
  powerControllerPowerOff: () => [], powerControllerPowerOn: () => [], powerControllerUninit: () => [],
  powerControllerEnablePowerMonitor: (c) => [path.join(c.tmp, 'power.csv')], powerControllerDisablePowerMonitor: () => [],
  kytrixPmuOpenController: () => ['none', true],
  ...Object.fromEntries(['CloseController', 'GetVersion', 'MeasurePower', 'GetPmuInfo', 'GetAdapterInfo',
    'GetDebugBoardInfo', 'GetFanSpeed', 'GetReceivedSmbusBlockWrite', 'Reset'].map((m) => [`kytrixPmu${m}`, () => ['none']])),
  kytrixPmuSetFanSpeed: () => ['none', 50],
  kytrixPmuChangePower: () => ['none', '12v', 'on'],
  kytrixPmuSendSmbusBlockWrite: () => ['none', 0x10, 0x20, Buffer.from([1, 2])],
  kytrixPmuUpdateFirmware: () => ['none', Buffer.alloc(64)],
  hookManagerSetCallback: () => [0, () => {}],
  hookManagerSetError: () => [0, 'message'],
  hookManagerSetStatus: () => [0, 0],
};

// Groups that run side by side; the drive-changing methods come last in theirs.
const groups = [
  ['startWorkloadGenerator'],
  ['createQueuePair', 'deleteQueuePair', 'sendGenericCommand', 'getDeviceInfo', 'getNamespaceInfo', 'read', 'write',
    'datasetManagement', 'enableDataValidator', 'disableDataValidator', 'enableCommandTracker', 'disableCommandTracker',
    'setCommandTrackerLog', 'scanAttachment', 'scanRemoval', 'setDefaultBdf', 'startTaskScheduler',
    'nvmeSetErrorInjection', 'formatNvm', 'resetController', 'shutdown'],
  Object.keys(calls).filter((m) => /^(ftdi|serialport|power|kytrix|hook)/.test(m)),
];

class HostileError extends Error {}
// A value and what to do with it right after the call returned (the command may still run).
class After { constructor(value, after) { this.value = value; this.after = after; } }

// Each kind: (valid value of the slot, how it is put) → the value, and what to do right after the call returned.
function kinds() {
  const bytes = (v) => (ArrayBuffer.isView(v) ? v.byteLength : 8);
  const fill = (view, v) => { if (ArrayBuffer.isView(v)) view.set(new Uint8Array(v.buffer, v.byteOffset, v.byteLength)); return view; };
  const million = new Array(1e6).fill({});
  return {
    'throwing getter': { getter: () => () => { throw new HostileError('getter'); },
      value: () => new Proxy({}, { get() { throw new HostileError('trap'); }, has() { throw new HostileError('trap'); } }) },
    // Every other read answers another type, starting with the valid value or with the other one.
    ...Object.fromEntries([0, 1].map((first) => [`getter of changing type (${first ? 'other' : 'valid'} first)`, {
      getter: (v) => { let n = first; return () => (n++ % 2 ? (typeof v === 'number' ? 'x' : 7) : v); },
      value: (v) => { let n = first; return { [Symbol.toPrimitive]: () => (n++ % 2 ? 'x' : v) }; } }])),
    Proxy: { value: (v) => new Proxy(typeof v === 'object' && v !== null ? v : {}, {}) },
    Symbol: { value: () => Symbol('hostile') },
    BigInt: { value: () => 12n },
    'resizable buffer shrunk during the call': { value: (v) => {
      const rab = new ArrayBuffer(bytes(v), { maxByteLength: 2 * bytes(v) + 8 });
      return new After(fill(new Uint8Array(rab), v), () => rab.resize(0));
    } },
    'detached buffer': { value: (v) => {
      const ab = new ArrayBuffer(bytes(v));
      const view = fill(Buffer.from(ab), v);
      structuredClone(ab, { transfer: [ab] });
      return view;
    } },
    SharedArrayBuffer: { value: (v) => fill(new Uint8Array(new SharedArrayBuffer(bytes(v))), v) },
    'Buffer at an odd offset': { value: (v) => fill(Buffer.from(new ArrayBuffer(bytes(v) + 1), 1, bytes(v)), v) },
    '-0': { value: () => -0 },
    NaN: { value: () => NaN },
    Infinity: { value: () => Infinity },
    '2^53+1': { value: () => 2 ** 53 + 1 },
    'array of 10^6 entries': { value: () => million },
  };
}

const isPlain = (v) => v !== null && typeof v === 'object' && !Array.isArray(v) && !ArrayBuffer.isView(v);

// A copy of the valid value in which every plain object records the keys read from it (as paths).
function recorder(value, prefix, seen) {
  if (Array.isArray(value)) return value.map((e, i) => recorder(e, `${prefix}${i}.`, seen));
  if (!isPlain(value)) return value;
  const copy = Object.fromEntries(Object.entries(value).map(([k, v]) => [k, recorder(v, `${prefix}${k}.`, seen)]));
  return new Proxy(copy, { get(t, k, r) { if (typeof k === 'string') seen.add(prefix + k); return Reflect.get(t, k, r); } });
}

function clone(value) {
  if (Array.isArray(value)) return value.map(clone);
  return isPlain(value) ? Object.fromEntries(Object.entries(value).map(([k, v]) => [k, clone(v)])) : value;
}

// The call with the hostile kind at argument `index` or at the option path `keys` inside it.
function substitute(args, index, keys, kind) {
  const copy = args.map(clone);
  let holder = copy;
  let key = index;
  for (const k of keys) { holder = holder[key]; key = k; }
  const valid = holder[key];
  let after = () => {};
  if (keys.length > 0 && kind.getter) {
    Object.defineProperty(holder, key, { get: kind.getter(valid), enumerable: true, configurable: true });
  } else if (kind.value) {
    let v = kind.value(valid);
    if (v instanceof After) { after = v.after; v = v.value; }
    holder[key] = v;
  } else {
    return null;
  }
  return { args: copy, after };
}

async function child(groupIndex, from) {
  const fs = require('node:fs');
  const os = require('node:os');
  const { loadAddon, createDrive, freeBdf, startArgs, ok } = require('../nvme/helpers');
  // Written at once (a crash right after must not lose the line); the pipe may be full for a moment.
  const say = (text) => {
    const bytes = Buffer.from(`${text}\n`);
    for (let done = 0; done < bytes.length;) {
      try { done += fs.writeSync(1, bytes, done); } catch (e) { if (e.code !== 'EAGAIN') throw e; }
    }
  };
  const { KytAddon } = loadAddon();
  const addon = new KytAddon(true);
  const c = { tmp: fs.mkdtempSync(path.join(os.tmpdir(), 'kyt-hostile-')), qid: 0, bdf: freeBdf(), startArgs: startArgs() };
  const names = groups[groupIndex];
  if (names.some((m) => !/^(ftdi|serialport|power|kytrix|hook)/.test(m))) {
    c.drive = createDrive(c.bdf);
    addon.setDefaultBdf(c.bdf);
    addon.startTaskScheduler(...c.startArgs);
    await ok(addon, 'scanAttachment', 5000);
    c.qid = await ok(addon, 'createQueuePair');
  }
  let callbacks = 0;
  let pending = null;
  c.cb = (...cbArgs) => {
    callbacks += 1;
    const bad = cbArgs.length !== 2 || !(cbArgs[0] === null || cbArgs[0] instanceof Error);
    if (pending) pending(bad ? `called back with ${cbArgs.length} arguments` : null);
  };
  const all = kinds();
  let n = 0;
  // Makes one call unless it comes before `from` (the valid ones always run: they record the option keys).
  const one = async (method, label, args, after, always) => {
    n += 1;
    if (n <= from && !always) return;
    const shown = n > from;
    if (shown) say(`CALL ${n} ${label}`);
    const before = callbacks;
    let outcome = 'returned';
    const wait = new Promise((resolve) => { pending = resolve; });
    try {
      addon[method](...args);
    } catch (err) {
      outcome = err instanceof TypeError || err instanceof HostileError ? 'threw' : `threw ${err}`;
    }
    after();
    if (outcome === 'returned' && args.includes(c.cb)) {
      const bound = new Promise((resolve) => setTimeout(resolve, 20000, 'no callback within 20 s').unref());
      outcome = (await Promise.race([wait, bound])) || 'returned';
    } else if (outcome === 'threw' && callbacks !== before) {
      outcome = 'threw and called back';
    }
    pending = null;
    if (shown) say(`${outcome === 'returned' || outcome === 'threw' ? 'DONE' : 'FAIL'} ${n} ${label}: ${outcome}`);
  };
  for (const method of names) {
    for (const make of [calls[method]].flat()) {
      const seen = new Set();
      const valid = make(c).map((v, i) => (isPlain(v) ? recorder(v, `${i}.`, seen) : v));
      await one(method, `${method} valid`, valid, () => {}, true);
      const slots = [...valid.keys()].map((i) => [i, []])
        .concat([...seen].sort().map((p) => p.split('.')).map(([i, ...keys]) => [Number(i), keys]));
      for (const [i, keys] of slots) {
        for (const [name, kind] of Object.entries(all)) {
          const made = substitute(make(c), i, keys, kind);
          const where = keys.length ? `option ${keys.join('.')}` : `argument ${i}`;
          if (made) await one(method, `${method} ${where}: ${name}`, made.args, made.after, false);
        }
      }
    }
  }
  await new Promise((resolve) => setImmediate(resolve));
  fs.rmSync(c.tmp, { recursive: true, force: true });
  say('END');
  process.exit(0);
}

// ---- the runner ----

function runGroup(groupIndex, from) {
  return new Promise((resolve) => {
    const proc = spawn(process.execPath, [__filename, '--hostile-child', String(groupIndex), String(from)],
      { stdio: ['ignore', 'pipe', 'pipe'], env: process.env });
    let out = '';
    let err = '';
    proc.stdout.on('data', (d) => { out += d; });
    proc.stderr.on('data', (d) => { err += d; });
    const timer = setTimeout(() => proc.kill('SIGKILL'), 240000);
    proc.on('close', (code, signal) => { clearTimeout(timer); resolve({ code, signal, out, err }); });
  });
}

async function sweep(groupIndex) {
  const problems = [];
  let from = 0;
  let made = 0;
  for (let restart = 0; restart < 20; restart += 1) {
    const { code, signal, out, err } = await runGroup(groupIndex, from);
    const lines = out.split('\n');
    made += lines.filter((l) => l.startsWith('CALL ')).length;
    problems.push(...lines.filter((l) => l.startsWith('FAIL ')).map((l) => l.slice(5)));
    if (/AddressSanitizer|runtime error:|LeakSanitizer/.test(err)) problems.push(`sanitizer report: ${err.slice(0, 2000)}`);
    if (lines.includes('END') && code === 0) return { problems, calls: made };
    const last = lines.filter((l) => l.startsWith('CALL ')).pop();
    if (!last) return { problems: [...problems, `group ${groupIndex} died before its first call (${code ?? signal}): ${err.slice(-1500)}`] };
    problems.push(`${last.slice(5)}: the process ended (${signal ?? `exit ${code}`}) ${err.slice(0, 300)}`);
    from = Number(last.split(' ')[1]);
  }
  return { problems: [...problems, 'too many crashes'] };
}

if (CHILD) {
  child(Number(process.argv[3]), Number(process.argv[4])).catch((e) => {
    require('node:fs').writeSync(1, `FAIL 0 setup: ${e && e.stack}\n`);
    process.exit(3);
  });
} else {
  test('every method of the prototype has a valid call here', () => {
    const { KytAddon } = require('../nvme/helpers').loadAddon();
    const methods = Object.getOwnPropertyNames(KytAddon.prototype).filter((m) => m !== 'constructor');
    assert.deepEqual(methods.filter((m) => !calls[m]), []);
    assert.deepEqual(groups.flat().sort(), methods.slice().sort());
  });

  test('hostile values in every argument and option: a TypeError or the ordinary result, never a crash', async () => {
    const results = await Promise.all(groups.map((_, i) => sweep(i)));
    const problems = results.flatMap((r) => r.problems);
    assert.deepEqual(problems, []);
    // The sweep reached every group's calls (a group that stops early reports it above).
    for (const r of results) assert.ok(r.calls > 50, `only ${r.calls} calls made`);
  });
}
