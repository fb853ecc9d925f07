'use strict';
// Child of usb-serial.test.js, run in a private mount namespace whose /sys/bus holds a fake
// FTDI adapter and whose /dev/ttyUSB0 leads to a pseudo-terminal; file descriptor 3 is that
// terminal's master side. Prints one line "RESULT <json>" at the end.
const fs = require('node:fs');
const { KytAddon } = require(process.argv[2]);

const master = 3;
const result = {};
const addon = new KytAddon();

function drainMaster() {
  const buffer = Buffer.alloc(256);
  let text = '';
  for (;;) {
    try {
      const n = fs.readSync(master, buffer, 0, buffer.length, null);
      if (n <= 0) break;
      text += buffer.subarray(0, n).toString('latin1');
    } catch (e) {
      break;
    }
  }
  return text;
}

function read(idx) {
  return new Promise((resolve) => addon.serialportRead(idx, 0, false, (e, data) => resolve(Buffer.from(data).toString())));
}

(async () => {
  result.listBefore = addon.serialportGetDeviceList();
  result.idx = addon.serialportOpen('', 'KYT0001', 0);
  result.again = addon.serialportOpen('/dev/ttyUSB0', '', 0);
  result.bind = fs.readFileSync('/sys/bus/usb/drivers/ftdi_sio/bind', 'latin1');
  try {
    addon.serialportOpen('', 'KYT0001', 5);
  } catch (e) {
    result.missing = e.message;
  }
  result.baud = addon.serialportSetBaudRate(result.idx, 57600);
  result.written = await new Promise((resolve) =>
    addon.serialportWrite(result.idx, Buffer.from('ping'), (e, n) => resolve([e, n])));
  let fromPort = '';
  for (let i = 0; i < 200 && fromPort.length < 4; i += 1) {
    fromPort += drainMaster();
    await new Promise((r) => setTimeout(r, 5));
  }
  result.fromPort = fromPort;
  fs.writeSync(master, 'pong\r\n');
  let toPort = '';
  for (let i = 0; i < 200 && toPort.length < 5; i += 1) {
    toPort += await read(result.idx);
    await new Promise((r) => setTimeout(r, 5));
  }
  result.toPort = toPort;
  addon.serialportClose(result.idx);
  console.log('RESULT ' + JSON.stringify(result));
})();
