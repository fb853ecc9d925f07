// Types of the kyt package: `require('kyt')` gives `{ KytAddon }`.
//
// Every method of KytAddon is declared here with its arguments, its result and, for the methods that answer through a
// callback, the callback's arguments. docs/api.md describes each method in words (units, defaults, errors, state).
// Buffers are typed as Uint8Array, which Node's Buffer extends: any Buffer (or Uint8Array) may be passed.

/**
 * Node-style callback: `(null, result)` on success, `(error, null)` on failure. `util.promisify` cannot infer a
 * promise's type from it; docs/api.md (Conventions, Types) shows the typed promise form of a call.
 */
export type Callback<T, E = Error> = (...args: [err: null, result: T] | [err: E, result: null]) => void;

/** A status callback of the controller functions: the result is always `{ status: 'OK' }`. */
export interface StatusResult {
  status: 'OK';
}

// ---------------------------------------------------------------------------------------------------------------
// NVMe commands

/** The status field of a completion entry, split into its parts. */
export interface CompletionStatus {
  /** Status code. */
  sc: number;
  /** Status code type. */
  sct: number;
  /** More (a log page has more on this error). */
  m: number;
  /** Phase tag. */
  p: number;
  /** Do not retry. */
  dnr: number;
}

/** A completion queue entry as the script sees it. */
export interface Completion {
  /** Command specific dword 0. */
  cdw: number;
  /** Submission queue head pointer. */
  sqhd: number;
  /** Submission queue the command was on (0: admin). */
  sqid: number;
  /** Command identifier. */
  cid: number;
  status: CompletionStatus;
}

/**
 * The Error of a command that completed with an error status ("command error") or that was ended by its time-out
 * ("Command Timed Out"): `data` is the command's completion entry.
 */
export interface CommandError extends Error {
  data?: Completion;
}

/**
 * The Error of a validated read that found other data than was last written (message "data mismatch"): its `data`
 * is a DataMismatch instead of a completion entry. A read's callback error with that message has this shape.
 */
export interface DataMismatchError extends Error {
  data: DataMismatch;
}

/** `data` of an Error whose text names its case only: what happened, and what to do about it. */
export interface ErrorDetail {
  cause: string;
  action: string;
}

/**
 * The Error of a call whose text names the case only ("Controller init failed", "Command Timed Out" of a queue-pair
 * creation or deletion, "device not initialized" of a reset a removal scan cut short, ...): `data` says more.
 */
export interface DetailedError extends Error {
  data?: ErrorDetail;
}

/** A read's callback error: a command error (data: the completion entry) or a data mismatch (data: DataMismatch). */
export type ReadError = CommandError | DataMismatchError;

/** `data` of a "data mismatch" Error (read, workload): the block, the validator's tag expected and the tag found. */
export interface DataMismatch {
  lba: number;
  /** 0-252: the generation of the last validated write; 254: deallocated (reads as zeros). */
  expected: number;
  found: number;
}

/** Options every NVMe command method accepts. `bdf` is read but has no effect: a process works on one drive. */
export interface CommandOptions {
  bdf?: string;
}

/** Options of read and write. */
export interface ReadOptions extends CommandOptions {
  /** Namespace id; 0 or absent: the first active namespace. */
  nsid?: number;
  /** I/O queue pair id from createQueuePair; 0 or absent: the lowest-numbered existing I/O queue pair. */
  qid?: number;
}

export interface WriteOptions extends ReadOptions {
  /**
   * Bytes whose 64-bit words are repeated over every block of the write (length a multiple of 8). Not used while the
   * namespace's data validator is on (the write then carries the validator's stamps). Without it the blocks are zeros.
   */
  dataPattern?: Uint8Array;
}

/** Options of formatNvm: fields of command dword 10. */
export interface FormatOptions extends CommandOptions {
  /** Metadata settings, 0-1 (default 0). */
  mset?: number;
  /** Protection information type, 0-7 (default 0). */
  pi?: number;
  /** Protection information location, 0-1 (default 0). */
  pil?: number;
  /** Secure erase settings, 0-7 (default 0). */
  ses?: number;
}

/** A raw NVMe command for sendGenericCommand. */
export interface GenericCommand {
  /** Namespace id (required; 0 where the command takes none). */
  nsid: number;
  /** Opcode (required; its low 8 bits are used). */
  opc: number;
  cdw10?: number;
  cdw11?: number;
  cdw12?: number;
  cdw13?: number;
  cdw14?: number;
  cdw15?: number;
}

// ---------------------------------------------------------------------------------------------------------------
// Device information

export interface DeviceInfo {
  /** Largest transfer of one command, in bytes. */
  maxXferSize: number;
  /** Largest queue depth of an I/O queue. */
  maxQueueDepth: number;
  /** Number of namespaces the controller supports (NN): ids 1 to maxNamespaceId. */
  maxNamespaceId: number;
  /** Completion entries ignored since attachment: they matched no command outstanding under their identifier. */
  ignoredCompletions: number;
}

export interface NamespaceInfo {
  isActive: boolean;
  /** Bytes of data per block (0 when inactive). */
  lbaSize: number;
  /** Bytes of metadata per block (0 when inactive). */
  metaSize: number;
  /** Number of blocks (0 when inactive). */
  size: number;
}

export interface ValidatorOptions {
  /** Namespace id; absent: every active namespace. */
  nsid?: number;
}

// ---------------------------------------------------------------------------------------------------------------
// Workloads

/** An NVMe status a workload does not treat as fatal. */
export interface IgnoredStatus {
  sct: number;
  sc: number;
}

export interface PowerControlFeature {
  enabled?: boolean;
  /** Longest wait for the drive to attach after the power-on hook, ms (0 or absent: 5000). */
  detectionTimeoutMs?: number;
  /** Longest wait for the drive to leave after the power-off hook, ms (0 or absent: 5000). */
  removalTimeoutMs?: number;
  /** Time the drive stays off, ms, from the end of the power-off hook (0 or absent: 5000). */
  offHoldTimeMs?: number;
  /** Time the drive stays on, ms, from the end of the power-on hook, before the next cycle (0 or absent: 5000). */
  onHoldTimeMs?: number;
}

export interface HistogramFeature {
  enabled?: boolean;
  /** Lowest latency bucket bound, µs: a power of ten (default 1). */
  startUs?: number;
  /** Highest latency bucket bound, µs: a power of ten above startUs (default 100000000). */
  endUs?: number;
  /**
   * Each latency is counted in whole µs (truncated), rounded to `precisions` significant digits, 1-7 (default 4).
   * 8 bytes per bucket and direction, 9 * 10^(precisions - 1) buckets per decade; more than 10,000,000 buckets (or
   * 1,000,000 with rawData) are refused before the run.
   */
  precisions?: number;
  /** Adds `histogramRawData` (the buckets) to each direction's statistics (default false). */
  rawData?: boolean;
}

export interface IntervalStatsFeature {
  enabled?: boolean;
  /** Seconds per sample (default 1). */
  interval?: number;
  /** Seconds of warm-up before the first sample (default 0). */
  delay?: number;
}

export interface WorkloadFeatures {
  powerControl?: PowerControlFeature;
  histogram?: HistogramFeature;
  intervalStats?: IntervalStatsFeature;
}

/** A transfer size of a multi-range range and its weight. */
export interface MultiRangeXfer {
  /** Bytes: a multiple of the namespace's block size (data plus interleaved metadata). */
  size: number;
  /** Relative weight, > 0. */
  probability: number;
}

export interface MultiRange {
  /** Namespace id; 0 or absent: the first active namespace. */
  nsid?: number;
  /** 'sequential' (default) or 'random' (any case). */
  workload?: string;
  /** Percent of reads, 0-100 (default 100). */
  readPercent?: number;
  /** Percent of deallocations, 0-100 (default 0); readPercent + trimPercent <= 100. */
  trimPercent?: number;
  /** Alignment of random positions, blocks; 0 or absent: the range's largest transfer. */
  alignment?: number;
  /** First block of the range. */
  startLba: number;
  /** Blocks of the range, > 0. */
  size: number;
  /** Relative weight of the range, > 0; the weights of all ranges add up to at most 4294967295. */
  probability: number;
  xfers: MultiRangeXfer[];
}

/** The options both pattern types share. */
export interface WorkloadCommonOptions extends CommandOptions {
  /** I/Os in flight; 0 or absent: the controller's maximum (larger values are cut to it). */
  queueDepth?: number;
  /** I/O queue pair to use; 0 or absent: the workload makes its own and deletes it at the end. */
  qid?: number;
  /** Bytes whose 64-bit words fill every written block (length a multiple of 8); not used under validation. */
  dataPattern?: Uint8Array;
  /** Statuses that are counted in errorHistory but do not end the run. */
  ignoreError?: IgnoredStatus[];
  features?: WorkloadFeatures;
  /** Whole seconds the run lasts at most (0 to 2147483647; a fraction is refused); 0 or absent: no time limit. */
  duration?: number;
  /** Whole passes over the range, 1 to 2147483647 (default 1); the run ends after them even when `duration` has not
   * passed. */
  loops?: number;
}

export interface BasicWorkloadOptions extends WorkloadCommonOptions {
  /** 'basic' (default, any case). */
  type?: string;
  /** Namespace id; 0 or absent: the first active namespace. */
  nsid?: number;
  /** 'sequential' (default) or 'random' (any case); ignored with an LBA list range. */
  workload?: string;
  /** Percent of reads, 0-100 (default 100). */
  readPercent?: number;
  /** Percent of deallocations, 0-100 (default 0); readPercent + trimPercent <= 100. */
  trimPercent?: number;
  /** Bytes per I/O, a multiple of 512 and of the block size (default 4096). */
  xferSize?: number;
  /** Random positions at any block instead of multiples of the transfer (default false). */
  unaligned?: boolean;
  /**
   * The blocks the run covers (default '100%'): a text '<n>%' (1-100 percent of the namespace) or '<n>k', '<n>m',
   * '<n>g', '<n>t' (bytes, binary units), each placed at a random aligned start; an object {startLba, size} (blocks);
   * or an Array of 1 to 16,777,216 start LBAs, each used in turn for one transfer.
   */
  range?: string | { startLba: number; size: number } | number[];
}

export interface MultiRangeWorkloadOptions extends WorkloadCommonOptions {
  /** 'multiRange' (any case). */
  type: string;
  /** 1 to 1,000,000 ranges. */
  ranges: MultiRange[];
}

export type WorkloadOptions = BasicWorkloadOptions | MultiRangeWorkloadOptions;

export interface WorkloadPerf {
  /** Bytes per second over the run's duration. */
  bandwidth: number;
  /** I/Os per second over the run's duration. */
  iops: number;
  /** Bytes moved. */
  xfer: number;
  /**
   * I/Os completed, also those that failed with a status that did not end the run (in `ignoreError`, or unknown),
   * which are in `errorHistory` too.
   */
  io: number;
}

/**
 * Latency percentiles in whole µs, to the histogram's precision (latencies are truncated to whole µs, then rounded
 * to `precisions` significant digits). A percentile needs enough I/Os to be defined and is 0
 * otherwise: perc50, perc90 and perc99 100 I/Os, nines3 1000, nines4 10^4, and so on up to nines8 10^8.
 */
export interface WorkloadLatency {
  /** The lowest latency seen; at least the histogram's startUs. */
  first: number;
  perc50: number;
  perc90: number;
  perc99: number;
  /** 99.9th percentile. */
  nines3: number;
  /** 99.99th percentile. */
  nines4: number;
  nines5: number;
  nines6: number;
  nines7: number;
  /** 99.999999th percentile. */
  nines8: number;
  unit: 'us';
}

export interface WorkloadIntervalSample {
  iops: number;
  /** Bytes per second. */
  throughput: number;
  /** The sample's latencies in µs, with their fractions (not truncated or rounded). */
  maxLatencyUs: number;
  minLatencyUs: number;
  avgLatencyUs: number;
  totalIo: number;
  /** Bytes. */
  totalXfers: number;
  /** Seconds the sample really covers. */
  interval: number;
  /**
   * Seconds to the end of the sample from the start of the run's current stretch of I/O: the run's first I/Os, or
   * its first I/Os after the latest power cycle (the warm-up `delay` counts from there too).
   */
  sinceStart: number;
}

/**
 * One bucket; its bounds are in units of the histogram's startUs (µs when startUs is 1), doubles that may show
 * rounding noise (1.0090000000000001).
 */
export interface HistogramBucket {
  /** Lower bound. */
  start: number;
  /** Upper end: nine tenths of a step above the lower bound. */
  end: number;
  /** I/Os counted in it. */
  count: number;
}

export interface HistogramRawData {
  /** The histogram's startUs, µs. */
  start: number;
  /** The histogram's endUs, µs. */
  end: number;
  /** precisions - 1. */
  precision: number;
  /** Every bucket, lowest first. */
  data: HistogramBucket[];
}

/** Statistics of one direction (read, write or trim). */
export interface WorkloadDirectionStats {
  perf: WorkloadPerf;
  /** With features.intervalStats enabled. */
  intervalData?: WorkloadIntervalSample[];
  /** With features.histogram enabled. */
  latency?: WorkloadLatency;
  /** With features.histogram.rawData. */
  histogramRawData?: HistogramRawData;
}

export interface WorkloadRangeInfo {
  startLba: number;
  size: number;
  probability: number;
  workload: 'sequential' | 'random';
  readPercent: number;
  trimPercent: number;
  xfers: { size: number; probability: number }[];
}

/** The settings in force. Basic patterns fill the basic keys, multi-range patterns `ranges`. */
export interface WorkloadInfo {
  queueDepth: number;
  /** Seconds the run ran (its power cycles' off time not counted). */
  duration: number;
  loops: number;
  readPercent?: number;
  trimPercent?: number;
  /** Bytes per I/O: the range's size when the range is smaller than the xferSize asked. */
  xferSize?: number;
  startLba?: number;
  size?: number;
  /** 'random' also for an LBA list range. */
  workload?: 'sequential' | 'random';
  ranges?: WorkloadRangeInfo[];
}

/** One failed I/O. */
export interface WorkloadErrorEntry {
  sct: number;
  sc: number;
  cmd: 'Read' | 'Write' | 'Trim';
  nsid: number;
  startLba: number;
  numBlocks: number;
}

export interface WorkloadResult {
  info: WorkloadInfo;
  read: WorkloadDirectionStats;
  write: WorkloadDirectionStats;
  trim: WorkloadDirectionStats;
  /** The first 1,000 failed I/Os. */
  errorHistory: WorkloadErrorEntry[];
  /** Failed I/Os after the first 1,000: counted, not listed. */
  errorHistoryDropped: number;
}

/**
 * The Error a workload ends with: its message says why; the statistics gathered until then are properties of the
 * Error itself (absent when the run never started, e.g. a range the namespace cannot hold).
 */
export interface WorkloadError extends Error {
  info?: WorkloadInfo;
  read?: WorkloadDirectionStats;
  write?: WorkloadDirectionStats;
  trim?: WorkloadDirectionStats;
  errorHistory?: WorkloadErrorEntry[];
  errorHistoryDropped?: number;
  /** After "data mismatch": the block; after "IO Command Timeout", "Create/Delete IO Queue Command Timeout": what
   * happened and what to do. */
  data?: DataMismatch | ErrorDetail;
}

// ---------------------------------------------------------------------------------------------------------------
// Ports

export interface FtdiDeviceInfo {
  description: string;
  serial: string;
  /** The manufacturer text. */
  vendor: string;
  vendorId: number;
  productId: number;
}

export interface SerialPortInfo {
  devicePath: string;
  serial: string;
  interfaceNumber: number;
}

/** 'none', 'odd' or 'even'. */
export type Parity = 'none' | 'odd' | 'even';

/**
 * Callback of the port writes: the number of bytes written (all of them), a negative number (not an Error) when the
 * device refused the write, or an Error saying how many bytes went out when the port took only part of them (the
 * port's error code then says why it stopped).
 */
export type PortWriteCallback = Callback<number, number | Error>;

// ---------------------------------------------------------------------------------------------------------------
// Bench power

export interface PmuPowerControllerOptions {
  serial: string;
  interfaceNumber: number;
  baudRate: number;
}

export interface RelayBoxPowerControllerOptions extends PmuPowerControllerOptions {
  model: 'pmu-norvik' | 'pmu-brask' | 'pmu';
}

/** A JSON value as the PMU board sent it. */
export type JsonValue = null | boolean | number | string | JsonValue[] | { [key: string]: JsonValue };

// ---------------------------------------------------------------------------------------------------------------
// Hooks

/** 0: power on, 1: power off (the hooks a power-controlled workload starts); 2 and 3 exist but nothing starts them. */
export type HookType = 0 | 1 | 2 | 3;

/** 0: idle / done (the answer to a hook), 2: error. 1 (busy) is refused. */
export type HookStatus = number;

// ---------------------------------------------------------------------------------------------------------------

/**
 * One object of the addon. Any thread (the main thread or a worker thread) may load the module and make objects; the
 * NVMe side runs for one object of the process at a time.
 */
export declare class KytAddon {
  /** quiet = true: nothing of this system on stdout or stderr for the rest of the process. */
  constructor(quiet?: boolean);
  /** Why the last startTaskScheduler answered false; "" after one that answered true (absent before any call). */
  readonly startError?: string;

  // ---- Set-up ----
  /**
   * The PCI address of the one drive this process works on, in full ("0000:01:00.0"; a short form such as "0000:01"
   * makes startTaskScheduler answer false); only the first call takes effect.
   */
  setDefaultBdf(bdf: string): void;
  /** Starts the environment and the NVMe worker; true once it runs (also when it already ran); false: startError. */
  startTaskScheduler(mainCore: number, workerCore: number, shmId: number): boolean;

  // ---- NVMe commands ----
  read(startLba: number, numBlocks: number, callback: Callback<Completion, ReadError>): void;
  read(startLba: number, numBlocks: number, options: ReadOptions, callback: Callback<Completion, ReadError>): void;
  write(startLba: number, numBlocks: number, callback: Callback<Completion, CommandError>): void;
  write(startLba: number, numBlocks: number, options: WriteOptions, callback: Callback<Completion, CommandError>): void;
  datasetManagement(ranges: Uint8Array, attributes: number, nsid: number, qid: number,
                    callback: Callback<Completion, CommandError>): void;
  datasetManagement(ranges: Uint8Array, attributes: number, nsid: number, qid: number, options: CommandOptions,
                    callback: Callback<Completion, CommandError>): void;
  /**
   * One raw command; `buffer` may be longer than the command moves (only what it moves is used); one command moves at
   * most 2,072,576 bytes.
   */
  sendGenericCommand(qid: number, command: GenericCommand, buffer: Uint8Array, isHostToDevice: boolean,
                     callback: Callback<Completion, CommandError>): void;
  sendGenericCommand(qid: number, command: GenericCommand, buffer: Uint8Array, isHostToDevice: boolean,
                     options: CommandOptions, callback: Callback<Completion, CommandError>): void;
  formatNvm(nsid: number, lbaFormat: number, callback: Callback<Completion, CommandError>): void;
  formatNvm(nsid: number, lbaFormat: number, options: FormatOptions,
            callback: Callback<Completion, CommandError>): void;
  getDeviceInfo(callback: Callback<DeviceInfo>): void;
  getNamespaceInfo(nsid: number, callback: Callback<NamespaceInfo>): void;

  // ---- Queue pairs and controller ----
  createQueuePair(callback: Callback<number, DetailedError>): void;
  createQueuePair(options: CommandOptions, callback: Callback<number, DetailedError>): void;
  deleteQueuePair(qid: number, callback: Callback<true, DetailedError>): void;
  deleteQueuePair(qid: number, options: CommandOptions, callback: Callback<true, DetailedError>): void;
  /** Attaches the controller; timeout: the command time-out in ms (0: keep the current one, first 300000). */
  scanAttachment(timeout: number, callback: Callback<StatusResult>): void;
  scanRemoval(callback: Callback<StatusResult>): void;
  resetController(callback: Callback<StatusResult, DetailedError>): void;
  shutdown(callback: Callback<StatusResult, DetailedError>): void;

  // ---- Validation and the command tracker ----
  enableDataValidator(callback: Callback<StatusResult>): void;
  enableDataValidator(options: ValidatorOptions, callback: Callback<StatusResult>): void;
  disableDataValidator(callback: Callback<StatusResult>): void;
  disableDataValidator(options: ValidatorOptions, callback: Callback<StatusResult>): void;
  enableCommandTracker(callback: Callback<StatusResult>): void;
  disableCommandTracker(callback: Callback<StatusResult>): void;
  setCommandTrackerLog(logPath: string, callback: Callback<StatusResult>): void;

  // ---- Workloads ----
  startWorkloadGenerator(callback: Callback<WorkloadResult, WorkloadError>): void;
  startWorkloadGenerator(options: WorkloadOptions, callback: Callback<WorkloadResult, WorkloadError>): void;

  // ---- Error injection ----
  /** timeoutInUs: how long a held-back command (doNotSubmit) waits before it completes with the status, µs; past the
   * controller's command time-out the command ends at its deadline instead ("Command Timed Out"). */
  nvmeSetErrorInjection(qid: number, opc: number, doNotSubmit: boolean, counts: number, timeoutInUs: number,
                        sct: number, sc: number, callback: Callback<StatusResult>): void;

  // ---- Hooks ----
  hookManagerSetCallback(type: HookType, callback: (type: HookType) => void): boolean;
  hookManagerSetError(type: HookType, message: string): void;
  hookManagerSetStatus(type: HookType, status: HookStatus): boolean;

  // ---- FTDI ports ----
  ftdiGetDeviceList(vendor: number, product: number): FtdiDeviceInfo[];
  ftdiOpen(vendor: number, product: number, interfaceNumber: number, description: string, serial: string,
           readInterval: number): number;
  ftdiClose(devIdx: number): void;
  /** The last operation's code: libftdi's or libusb's (-4: the chip is gone), 0 for none. */
  ftdiGetErrorCode(devIdx: number): number;
  ftdiSetBaudRate(devIdx: number, baudRate: number): boolean;
  ftdiSetParity(devIdx: number, parity: Parity): void;
  ftdiSetBitmode(devIdx: number, bitmask: number, mode: number): boolean;
  ftdiRead(devIdx: number, size: number, buffered: boolean, callback: Callback<ArrayBuffer>): void;
  ftdiWrite(devIdx: number, data: Uint8Array, callback: PortWriteCallback): void;
  ftdiPipe(devIdx: number, path: string, useTimestamp: boolean, append: boolean): boolean;
  ftdiUnpipe(devIdx: number): void;
  ftdiPipeText(devIdx: number, log: string): void;
  ftdiUseBinaryMode(devIdx: number): void;
  ftdiUseTextMode(devIdx: number): void;
  ftdiFlushBuffer(devIdx: number, offset: number): void;

  // ---- Serial ports ----
  serialportGetDeviceList(): SerialPortInfo[];
  serialportOpen(devicePath: string, serial: string, interfaceNumber: number): number;
  serialportClose(devIdx: number): void;
  /** The last operation's errno (EIO after a read of a line that hung up), 0 for none. */
  serialportGetErrorCode(devIdx: number): number;
  serialportSetBaudRate(devIdx: number, baudRate: number): boolean;
  serialportRead(devIdx: number, size: number, buffered: boolean, callback: Callback<ArrayBuffer>): void;
  serialportWrite(devIdx: number, data: Uint8Array, callback: PortWriteCallback): void;
  serialportPipe(devIdx: number, path: string, useTimestamp: boolean, append: boolean): boolean;
  serialportUnpipe(devIdx: number): void;
  serialportPipeText(devIdx: number, log: string): void;
  serialportUseBinaryMode(devIdx: number): void;
  serialportUseTextMode(devIdx: number): void;
  serialportFlushBuffer(devIdx: number, offset: number): void;

  // ---- Power controller ----
  powerControllerInit(manufacturer: 'tyrvane', options: PmuPowerControllerOptions): void;
  powerControllerInit(manufacturer: 'dorvan', options: RelayBoxPowerControllerOptions): void;
  powerControllerPowerOff(): void;
  powerControllerPowerOn(): void;
  powerControllerUninit(): void;
  powerControllerEnablePowerMonitor(filepath: string): void;
  powerControllerDisablePowerMonitor(): void;

  // ---- kytrix PMU board ----
  kytrixPmuOpenController(serial: string, bypassInit: boolean): number;
  kytrixPmuCloseController(serial: string): void;
  kytrixPmuGetVersion(serial: string): string;
  /** The board's measurement, always an object (with voltage, current, power); any other answer throws. */
  kytrixPmuMeasurePower(serial: string): { [key: string]: JsonValue };
  kytrixPmuGetPmuInfo(serial: string): JsonValue;
  kytrixPmuGetAdapterInfo(serial: string): JsonValue;
  kytrixPmuGetDebugBoardInfo(serial: string): JsonValue;
  kytrixPmuSetFanSpeed(serial: string, speed: number): void;
  kytrixPmuGetFanSpeed(serial: string): number;
  kytrixPmuChangePower(serial: string, power: string, state: string): void;
  kytrixPmuSendSmbusBlockWrite(serial: string, address: number, command: number, payload: Uint8Array): void;
  kytrixPmuGetReceivedSmbusBlockWrite(serial: string): JsonValue;
  kytrixPmuReset(serial: string): void;
  /** `firmware`: the image, at most 1,048,576 bytes (the largest flash an update writes). */
  kytrixPmuUpdateFirmware(serial: string, firmware: Uint8Array): void;
}
