// Compiled (never run) by types.test.js against the package's index.d.ts: one call of every KytAddon method with its
// options and a use of its result's keys, so that a method, option or result key renamed in the types breaks the build.
import {
  KytAddon, Completion, CommandError, ReadError, DataMismatch, DataMismatchError, WorkloadResult, WorkloadError,
  WorkloadDirectionStats, JsonValue,
} from '../../..';

declare const bytes: Uint8Array;

function useCompletion(c: Completion): number {
  return c.cdw + c.sqhd + c.sqid + c.cid + c.status.sc + c.status.sct + c.status.m + c.status.p + c.status.dnr;
}

function useError(err: CommandError): number {
  return err.data ? useCompletion(err.data) : err.message.length;
}

function useReadError(err: ReadError): number {
  if (err.message !== 'data mismatch') return useError(err as CommandError);
  const mismatch: DataMismatch = (err as DataMismatchError).data;
  return mismatch.lba + mismatch.expected + mismatch.found;
}

function useStats(s: WorkloadDirectionStats): number {
  let n = s.perf.bandwidth + s.perf.iops + s.perf.xfer + s.perf.io;
  if (s.latency) {
    const l = s.latency;
    n += l.first + l.perc50 + l.perc90 + l.perc99 + l.nines3 + l.nines4 + l.nines5 + l.nines6 + l.nines7 + l.nines8;
    const unit: 'us' = l.unit;
    n += unit.length;
  }
  for (const i of s.intervalData ?? []) {
    n += i.iops + i.throughput + i.maxLatencyUs + i.minLatencyUs + i.avgLatencyUs + i.totalIo + i.totalXfers +
      i.interval + i.sinceStart;
  }
  if (s.histogramRawData) {
    n += s.histogramRawData.start + s.histogramRawData.end + s.histogramRawData.precision;
    for (const b of s.histogramRawData.data) n += b.start + b.end + b.count;
  }
  return n;
}

function useWorkload(r: WorkloadResult | WorkloadError): number {
  let n = 0;
  if (r.info) {
    const i = r.info;
    n += i.queueDepth + i.duration + i.loops + (i.readPercent ?? 0) + (i.trimPercent ?? 0) + (i.xferSize ?? 0) +
      (i.startLba ?? 0) + (i.size ?? 0) + (i.workload ?? '').length;
    for (const range of i.ranges ?? []) {
      n += range.startLba + range.size + range.probability + range.workload.length + range.readPercent +
        range.trimPercent;
      for (const x of range.xfers) n += x.size + x.probability;
    }
  }
  for (const s of [r.read, r.write, r.trim]) if (s) n += useStats(s);
  for (const e of r.errorHistory ?? []) n += e.sct + e.sc + e.cmd.length + e.nsid + e.startLba + e.numBlocks;
  n += r.errorHistoryDropped ?? 0;
  return n;
}

function useJson(v: JsonValue): string {
  return JSON.stringify(v);
}

const addon = new KytAddon(true);
const loud: KytAddon = new KytAddon();
void loud;

// Set-up.
addon.setDefaultBdf('0000:01:00.0');
const started: boolean = addon.startTaskScheduler(0, 1, 0);
const why: string | undefined = addon.startError;
void why;
void started;

// Queue pairs and controller.
addon.scanAttachment(5000, (err, result) => { if (!err) void result.status; });
addon.createQueuePair((err, qid) => { if (!err) addon.deleteQueuePair(qid, (e, done) => { void e; void done; }); });
addon.createQueuePair({ bdf: '0000:01:00.0' }, (err, qid) => {
  if (err) return;
  addon.deleteQueuePair(qid, { bdf: '0000:01:00.0' }, (e, done) => { if (!e) { const t: true = done; void t; } });
});
addon.scanRemoval((err, r) => { void err; void r; });
addon.resetController((err, r) => { if (!err) { const ok: 'OK' = r.status; void ok; } });
addon.shutdown((err, r) => { void err; void r; });
addon.getDeviceInfo((err, info) => {
  if (!err) void (info.maxXferSize + info.maxQueueDepth + info.maxNamespaceId + info.ignoredCompletions);
});
addon.getNamespaceInfo(1, (err, ns) => {
  if (!err) void (ns.isActive ? ns.lbaSize + ns.metaSize + ns.size : 0);
});

// NVMe commands.
addon.read(0, 8, (err, c) => { if (err) useReadError(err); else useCompletion(c); });
addon.read(0, 8, { nsid: 1, qid: 1, bdf: '0000:01:00.0' }, (err, c) => {
  if (err) useReadError(err); else useCompletion(c);
});
addon.write(0, 8, (err, c) => { void err; void c; });
addon.write(0, 8, { nsid: 1, qid: 1, dataPattern: bytes }, (err, c) => {
  if (err) useError(err); else useCompletion(c);
});
addon.datasetManagement(bytes, 4, 1, 1, (err, c) => { void err; void c; });
addon.datasetManagement(bytes, 4, 1, 1, {}, (err, c) => { void err; void c; });
addon.sendGenericCommand(0, { nsid: 0, opc: 6, cdw10: 1 }, bytes, false, (err, c) => {
  if (err) useError(err); else useCompletion(c);
});
addon.sendGenericCommand(1, { nsid: 1, opc: 2, cdw10: 0, cdw11: 0, cdw12: 7, cdw13: 0, cdw14: 0, cdw15: 0 }, bytes,
  false, {}, (err, c) => { void err; void c; });
addon.formatNvm(1, 0, (err, c) => { void err; void c; });
addon.formatNvm(1, 0, { mset: 0, pi: 0, pil: 0, ses: 1 }, (err, c) => {
  if (err) useError(err); else useCompletion(c);
});

// Validation and the command tracker.
addon.enableDataValidator((err, r) => { void err; void r; });
addon.enableDataValidator({ nsid: 1 }, (err, r) => { void err; void r; });
addon.disableDataValidator((err, r) => { void err; void r; });
addon.disableDataValidator({ nsid: 1 }, (err, r) => { void err; void r; });
addon.setCommandTrackerLog('commands.log', (err, r) => { void err; void r; });
addon.enableCommandTracker((err, r) => { void err; void r; });
addon.disableCommandTracker((err, r) => { void err; void r; });

// Workloads.
addon.startWorkloadGenerator((err, r) => { useWorkload(err ?? r); });
addon.startWorkloadGenerator({
  type: 'basic', nsid: 1, workload: 'random', readPercent: 70, trimPercent: 0, xferSize: 4096, unaligned: false,
  duration: 10, loops: 1000, queueDepth: 32, qid: 0, dataPattern: bytes, ignoreError: [{ sct: 2, sc: 0x81 }],
  range: '10%',
  features: {
    histogram: { enabled: true, startUs: 1, endUs: 100000000, precisions: 4, rawData: true },
    intervalStats: { enabled: true, interval: 1, delay: 0 },
    powerControl: { enabled: true, detectionTimeoutMs: 5000, removalTimeoutMs: 5000, offHoldTimeMs: 1000,
      onHoldTimeMs: 1000 },
  },
}, (err, r) => { if (err) useWorkload(err); else useWorkload(r); });
addon.startWorkloadGenerator({ range: { startLba: 0, size: 1024 } }, (err, r) => { void err; void r; });
addon.startWorkloadGenerator({ range: [0, 64, 128], xferSize: 512 }, (err, r) => { void err; void r; });
addon.startWorkloadGenerator({
  type: 'multiRange', duration: 5, loops: 2,
  ranges: [{ nsid: 1, workload: 'sequential', readPercent: 50, trimPercent: 10, alignment: 8, startLba: 0, size: 4096,
    probability: 1, xfers: [{ size: 4096, probability: 3 }, { size: 8192, probability: 1 }] }],
}, (err, r) => { void err; void r; });

// Error injection.
addon.nvmeSetErrorInjection(1, 2, false, 1, 0, 2, 0x81, (err, r) => { void err; void r; });

// Hooks.
const taken: boolean = addon.hookManagerSetCallback(1, (type) => {
  addon.hookManagerSetStatus(type, 0);
  addon.hookManagerSetError(type, 'the supply did not switch');
});
void taken;

// FTDI ports.
for (const d of addon.ftdiGetDeviceList(0x0403, 0x6010)) {
  void (d.description + d.serial + d.vendor + d.vendorId + d.productId);
}
const ftdi: number = addon.ftdiOpen(0x0403, 0x6010, 1, '', 'FT1234', 10);
addon.ftdiSetBaudRate(ftdi, 115200);
addon.ftdiSetParity(ftdi, 'none');
addon.ftdiSetBitmode(ftdi, 0xff, 0);
addon.ftdiUseBinaryMode(ftdi);
addon.ftdiUseTextMode(ftdi);
addon.ftdiWrite(ftdi, bytes, (err, written) => {
  if (err === null) void (written + 1); else if (typeof err === 'number') void (err < 0); else void err.message;
});
addon.ftdiRead(ftdi, 0, false, (err, data) => { if (!err) void data.byteLength; });
addon.ftdiPipe(ftdi, 'ftdi.log', true, false);
addon.ftdiPipeText(ftdi, 'note');
addon.ftdiUnpipe(ftdi);
addon.ftdiFlushBuffer(ftdi, 0);
void (addon.ftdiGetErrorCode(ftdi) + 0);
addon.ftdiClose(ftdi);

// Serial ports.
for (const p of addon.serialportGetDeviceList()) void (p.devicePath + p.serial + p.interfaceNumber);
const port: number = addon.serialportOpen('/dev/ttyUSB0', '', 0);
addon.serialportSetBaudRate(port, 115200);
addon.serialportUseBinaryMode(port);
addon.serialportUseTextMode(port);
addon.serialportWrite(port, bytes, (err, written) => { void err; void written; });
addon.serialportRead(port, 16, true, (err, data) => { void err; void data; });
addon.serialportPipe(port, 'port.log', false, true);
addon.serialportPipeText(port, 'note');
addon.serialportUnpipe(port);
addon.serialportFlushBuffer(port, 0);
void (addon.serialportGetErrorCode(port) + 0);
addon.serialportClose(port);

// Power controller.
addon.powerControllerInit('tyrvane', { serial: 'PMU0001', interfaceNumber: 0, baudRate: 115200 });
addon.powerControllerInit('dorvan', { serial: 'BOX0001', interfaceNumber: 0, baudRate: 9600, model: 'pmu-brask' });
addon.powerControllerPowerOff();
addon.powerControllerPowerOn();
addon.powerControllerEnablePowerMonitor('power.csv');
addon.powerControllerDisablePowerMonitor();
addon.powerControllerUninit();

// kytrix PMU board.
const board: number = addon.kytrixPmuOpenController('PMU0001', false);
void board;
const version: string = addon.kytrixPmuGetVersion('PMU0001');
void version;
useJson(addon.kytrixPmuMeasurePower('PMU0001').voltage);
useJson(addon.kytrixPmuGetPmuInfo('PMU0001'));
useJson(addon.kytrixPmuGetAdapterInfo('PMU0001'));
useJson(addon.kytrixPmuGetDebugBoardInfo('PMU0001'));
addon.kytrixPmuSetFanSpeed('PMU0001', 50);
void (addon.kytrixPmuGetFanSpeed('PMU0001') + 0);
addon.kytrixPmuChangePower('PMU0001', '12V', 'ON');
addon.kytrixPmuSendSmbusBlockWrite('PMU0001', 0x50, 0x01, bytes);
useJson(addon.kytrixPmuGetReceivedSmbusBlockWrite('PMU0001'));
addon.kytrixPmuReset('PMU0001');
addon.kytrixPmuCloseController('PMU0001');
addon.kytrixPmuUpdateFirmware('PMU0001', bytes);
