'use strict';
// Receive rate of an FTDI port against QEMU's emulated FT232 in the VM bench: a peer on the host side of the emulated
// serial line sends at 115200 baud's pace (11,520 bytes a second, 8N1) for a few seconds, then as fast as the line
// takes it; the guest reads with ftdiRead as a script would and reports how much arrived and how late. A port that
// keeps up receives the paced part with a lag of a poll or two and the burst far faster than the line rate.
//
//   node bench/ports/ftdi_rate.js [seconds]        (after npm run build; needs qemu-system-x86_64)
//
// The same file, started with the arguments "guest <addon> <bytes>", is the script run in the guest.
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');

const repo = path.resolve(__dirname, '..', '..');
const vmbench = path.resolve(repo, '..', 'shared', 'vmbench', 'vmbench');
const lineRate = 11520;  // bytes a second at 115200 baud, 8N1
const burst = 200000;

// In the guest: reads until `total` bytes came, noting when each arrived. Prints "RESULT <json>".
function guest(addonFile, total) {
  const addon = new (require(addonFile).KytAddon)(true);
  const idx = addon.ftdiOpen(0x403, 0x6001, 0, '', 'VMB00001', 10);
  addon.ftdiSetBaudRate(idx, 115200);
  addon.ftdiUseBinaryMode(idx);
  const arrivals = [];  // [ms since start, bytes so far]
  let received = 0;
  let start;
  const read = () => addon.ftdiRead(idx, 0, false, (error, data) => {
    received += data.byteLength;
    if (data.byteLength > 0) arrivals.push([Date.now() - start, received]);
    if (received >= total || Date.now() - start > 120000) {
      addon.ftdiClose(idx);
      console.log(`RESULT ${JSON.stringify({ received, arrivals })}`);
    } else {
      setTimeout(read, 5);
    }
  });
  addon.ftdiWrite(idx, Buffer.from('go\n'), () => {
    start = Date.now();
    read();
  });
}

async function main(seconds) {
  const paced = lineRate * seconds;
  const socketPath = path.join(os.tmpdir(), `kyt-ftdi-rate-${process.pid}.sock`);
  fs.rmSync(socketPath, { force: true });
  const sentAt = [];  // [ms since the peer started, bytes so far]
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    socket.once('data', () => {
      const start = Date.now();
      let sent = 0;
      const pattern = Buffer.alloc(paced + burst, 'kyt 115200 rate ');
      // Paced: every 10 ms the bytes that the line would have carried by then.
      const timer = setInterval(() => {
        const due = Math.min(paced, Math.floor(((Date.now() - start) * lineRate) / 1000));
        if (due > sent) socket.write(pattern.subarray(sent, due));
        sent = due;
        sentAt.push([Date.now() - start, sent]);
        if (sent >= paced) {
          clearInterval(timer);
          socket.write(pattern.subarray(paced));  // the burst, as fast as it goes
        }
      }, 10);
    });
  });
  await new Promise((resolve) => server.listen(socketPath, resolve));
  const child = spawn(vmbench, ['-q', '--usb-serial', `socket,path=${socketPath}`, '--timeout', '300', '--',
    process.execPath, __filename, 'guest', path.join(repo, 'build', 'lib', 'kyt.node'), String(paced + burst)],
  { cwd: repo });
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  const status = await new Promise((resolve) => child.on('close', resolve));
  server.close();
  fs.rmSync(socketPath, { force: true });
  const line = output.split('\n').find((l) => l.startsWith('RESULT '));
  if (status !== 0 || !line) {
    console.error(`vmbench failed (${status}):\n${output}`);
    process.exit(1);
  }
  const { received, arrivals } = JSON.parse(line.slice(7));
  // Lag: how long after the peer had sent a byte of the paced part the guest had it.
  const whenSent = (bytes) => (sentAt.find(([, n]) => n >= bytes) || [NaN])[0];
  let lag = 0;
  for (const [ms, n] of arrivals) if (n <= paced) lag = Math.max(lag, ms - whenSent(n));
  const pacedDone = (arrivals.find(([, n]) => n >= paced) || [NaN])[0];
  const burstMs = arrivals[arrivals.length - 1][0] - pacedDone;
  console.log(`paced: ${paced} bytes at 115200 baud (${lineRate} B/s) for ${seconds} s: all in after ${pacedDone} ms, ` +
    `${Math.round((paced * 1000) / pacedDone)} B/s, largest lag ${lag} ms`);
  console.log(`burst: ${burst} bytes in ${burstMs} ms: ${Math.round((burst * 1000) / burstMs)} B/s ` +
    `(${((burst * 1000) / burstMs / lineRate).toFixed(1)} x the 115200 line rate)`);
  console.log(`received ${received} of ${paced + burst} bytes`);
}

if (process.argv[2] === 'guest') {
  guest(process.argv[3], Number(process.argv[4]));
} else {
  main(Number(process.argv[2] || 5));
}
