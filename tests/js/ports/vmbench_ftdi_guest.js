'use strict';
// Runs inside the VM bench with QEMU's emulated FT232 (its other end is a peer on the host
// that echoes what it receives in upper case). Prints one line "RESULT <json>".
const { KytAddon } = require(process.argv[2]);

const addon = new KytAddon(true);
const result = {};

function write(idx, text) {
  return new Promise((resolve) => addon.ftdiWrite(idx, Buffer.from(text), (e, n) => resolve([e, n])));
}
function read(idx) {
  return new Promise((resolve) => addon.ftdiRead(idx, 0, false, (e, d) => resolve(Buffer.from(d).toString('latin1'))));
}

(async () => {
  result.list = addon.ftdiGetDeviceList(0, 0);
  result.idx = addon.ftdiOpen(0x403, 0x6001, 0, '', 'VMB00001', 10);
  result.baud = addon.ftdiSetBaudRate(result.idx, 115200);
  result.parity = addon.ftdiSetParity(result.idx, 'none') === undefined;
  result.written = await write(result.idx, 'hello kyt\n');
  let echo = '';
  const end = Date.now() + 30000;
  while (Date.now() < end && echo.length < 10) {
    echo += await read(result.idx);
    await new Promise((r) => setTimeout(r, 20));
  }
  result.echo = echo;
  addon.ftdiClose(result.idx);
  console.log('RESULT ' + JSON.stringify(result));
})();
